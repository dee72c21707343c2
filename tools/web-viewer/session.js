// One viewer's connection to a host through the relay: the WebSocket to the relay's viewer
// endpoint, the relay's notices, a fresh key agreement after every "host-online", and sealed
// application messages and input frames in both directions. It reconnects on its own after
// the connection drops. No DOM: the page listens to its events.
//
// Relay notices (text): {"t":"welcome","clientId":N,"role":R}, {"t":"host-online"},
// {"t":"host-offline"}. Everything else is a binary client message (client_message.js).

import { bytesToHex } from './bytes.js';
import {
  helloMessage, inputPlaintext, jsonPlaintext, parseClientMessage, parseHostPlaintext, sealedMessage,
  TAG_HELLO, TAG_SEALED,
} from './client_message.js';
import { Handshake } from './e2e.js';

// connecting: dialing the relay; waiting: connected, no host; keying: hello sent;
// keyed: channel ready; offline: connection lost, retrying; stopped: ended by the page.
export const SessionStatus = Object.freeze({
  connecting: 'connecting', waiting: 'waiting', keying: 'keying', keyed: 'keyed',
  offline: 'offline', stopped: 'stopped',
});

const RETRY_DELAYS_MS = [1000, 2000, 3000, 5000];

export class ViewerSession {
  constructor(url, { makeSocket = (u) => new WebSocket(u), now = () => performance.now() } = {}) {
    this.url = url;
    this.makeSocket = makeSocket;
    this.now = now;
    this.listeners = new Map();
    this.status = SessionStatus.connecting;
    this.socket = null;
    this.generation = 0;       // one per key agreement (and per socket)
    this.clientId = null;
    this.role = null;
    this.channel = null;
    this.hostKey = '';         // hex of the host's public key for the current channel
    this.failures = 0;         // connections in a row that never got a welcome
    this.retryTimer = null;
    this.receiving = Promise.resolve();
    this.sending = Promise.resolve();
    this.rejectedBefore = 0;   // envelopes dropped by earlier channels
    this.lastError = '';
  }

  on(type, listener) {
    if (!this.listeners.has(type)) this.listeners.set(type, []);
    this.listeners.get(type).push(listener);
  }

  emit(type, ...args) {
    for (const listener of this.listeners.get(type) ?? []) {
      try {
        listener(...args);
      } catch (e) {
        console.error(e);
      }
    }
  }

  // Envelopes from the host that were dropped (malformed, replayed or forged), all channels.
  get rejectedEnvelopes() {
    return this.rejectedBefore + (this.channel ? this.channel.rejected : 0);
  }

  setStatus(status, error = '') {
    this.status = status;
    if (error) this.lastError = error;
    this.emit('status', status);
  }

  start() {
    if (this.status === SessionStatus.stopped) return;
    this.dial();
  }

  stop(reason = '') {
    this.dropChannel();
    clearTimeout(this.retryTimer);
    const socket = this.socket;
    this.socket = null;
    this.setStatus(SessionStatus.stopped, reason);
    if (socket) socket.close(1000);
  }

  dial() {
    this.generation++;
    this.setStatus(SessionStatus.connecting);
    let socket;
    try {
      socket = this.makeSocket(this.url);
    } catch (e) {
      this.setStatus(SessionStatus.stopped, `The relay address cannot be used: ${e.message}`);
      return;
    }
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    let welcomed = false;
    socket.onmessage = (event) => {
      if (this.socket !== socket) return;
      if (typeof event.data === 'string') {
        if (this.onNotice(event.data)) welcomed = true;
      } else {
        this.onBinary(new Uint8Array(event.data));
      }
    };
    socket.onclose = () => {
      if (this.socket !== socket) return;
      this.socket = null;
      this.dropChannel();
      this.failures = welcomed ? 0 : this.failures + 1;
      const delay = RETRY_DELAYS_MS[Math.min(this.failures, RETRY_DELAYS_MS.length - 1)];
      // A browser does not say why an upgrade failed: a refused token looks like a relay that
      // is down.
      this.lastError = welcomed ? '' : 'The relay cannot be reached, or it refused this device or token.';
      this.setStatus(SessionStatus.offline);
      this.retryDelayMs = delay;
      this.retryTimer = setTimeout(() => this.dial(), delay);
    };
  }

  // True for the relay's welcome.
  onNotice(text) {
    let notice;
    try {
      notice = JSON.parse(text);
    } catch {
      return false;
    }
    if (!notice || typeof notice !== 'object') return false;
    if (notice.t === 'welcome') {
      this.clientId = notice.clientId ?? null;
      this.role = typeof notice.role === 'string' ? notice.role : null;
      this.failures = 0;
      this.lastError = '';
      this.setStatus(SessionStatus.waiting);
      this.emit('welcome', this.clientId, this.role);
      return true;
    }
    if (notice.t === 'host-online') {
      this.agreeKeys();
    } else if (notice.t === 'host-offline') {
      this.dropChannel();
      this.setStatus(SessionStatus.waiting);
    }
    return false;
  }

  // A host that comes (back) online has a fresh record for this viewer: new keys every time.
  async agreeKeys() {
    this.dropChannel();
    const generation = ++this.generation;
    this.setStatus(SessionStatus.keying);
    const handshake = await Handshake.create();
    if (generation !== this.generation || !this.socket) return;
    this.handshake = handshake;
    this.socket.send(helloMessage(handshake.publicKey));
  }

  dropChannel() {
    if (this.channel) this.rejectedBefore += this.channel.rejected;
    this.channel = null;
    this.handshake = null;
    this.hostKey = '';
    this.generation++;
  }

  // Host messages are handled one at a time, in arrival order: opening is asynchronous and
  // the channel accepts only rising counters.
  onBinary(bytes) {
    const generation = this.generation;
    const arrived = this.now();
    this.receiving = this.receiving.then(() => this.handleBinary(bytes, generation, arrived))
      .catch((e) => console.error(e));
  }

  async handleBinary(bytes, generation, arrived) {
    if (generation !== this.generation) return;
    const message = parseClientMessage(bytes);
    if (!message) return;
    if (message.tag === TAG_HELLO) {
      if (this.channel || !this.handshake) return;  // only the first hello counts
      let channel;
      try {
        channel = await this.handshake.complete(message.body);
      } catch (e) {
        if (generation === this.generation) this.setStatus(SessionStatus.waiting, `Key agreement failed: ${e.message}`);
        return;
      }
      if (generation !== this.generation) return;
      this.channel = channel;
      this.hostKey = bytesToHex(message.body);
      this.setStatus(SessionStatus.keyed);
      this.emit('keyed', channel.phrase, this.hostKey);
    } else if (message.tag === TAG_SEALED && this.channel) {
      const channel = this.channel;
      const plain = await channel.open(message.body);
      if (!plain) {
        this.emit('rejected', this.rejectedEnvelopes);
        return;
      }
      if (generation !== this.generation) return;
      const opened = this.now();
      const value = parseHostPlaintext(plain);
      if (!value) return;
      const parsed = this.now();
      this.emit('message', value, { arrived, opened, parseMs: parsed - opened });
    }
  }

  get keyed() {
    return Boolean(this.channel);
  }

  sendJson(message) {
    this.sendSealed(jsonPlaintext(message));
  }

  sendInput(frame) {
    return this.sendSealed(inputPlaintext(frame));
  }

  // Sealed sends leave in the order they were asked for; nothing is sent without keys.
  sendSealed(plaintext) {
    const channel = this.channel;
    const socket = this.socket;
    if (!channel || !socket) return false;
    this.sending = this.sending.then(async () => {
      if (this.channel !== channel || this.socket !== socket) return;
      const envelope = await channel.seal(plaintext);
      if (this.channel === channel && socket.readyState === 1) socket.send(sealedMessage(envelope));
    }).catch((e) => console.error(e));
    return true;
  }
}
