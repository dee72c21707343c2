// The page: connection form, status line, verification phrase, screen, input and the
// session panel (participants, picture settings, view-only, clipboard), wired to one
// ViewerSession at a time.

import {
  DRIVING_ROLES, fragmentFor, parseFragment, servingRelay, viewerUrl,
} from './connection_params.js';
import { InputCapture } from './input_capture.js';
import { InputFrameWriter } from './input_frames.js';
import { VK } from './key_map.js';
import { ScreenView } from './screen_view.js';
import { SessionStatus, ViewerSession } from './session.js';

const $ = (id) => document.getElementById(id);

// Settings the page always asks for: frames only when the picture changed (plus a keep-alive
// every 2 s), and one sharper frame once the picture has been still for a moment.
const STANDING_SETTINGS = { skipUnchanged: true, refreshQuality: 90 };

const KEY_COMBINATIONS = [
  ['Ctrl+Alt+Del', [VK.ctrl, VK.alt, VK.del]],
  ['Alt+Tab', [VK.alt, VK.tab]],
  ['Alt+F4', [VK.alt, VK.f4]],
  ['Ctrl+W', [VK.ctrl, VK.w]],
  ['Ctrl+T', [VK.ctrl, VK.t]],
  ['Ctrl+N', [VK.ctrl, VK.n]],
  ['Ctrl+L', [VK.ctrl, VK.l]],
  ['Logo key', [VK.logo]],
  ['Escape', [VK.esc]],
  ['F11', [VK.f11]],
];

class ViewerPage {
  constructor() {
    this.params = null;
    this.session = null;
    this.writer = new InputFrameWriter();
    this.confirmedKeys = new Set();  // host keys whose phrase the person confirmed
    this.participantId = null;
    this.sessionInfo = null;
    this.wasController = false;
    this.canInject = true;
    this.viewOnly = false;
    this.phrase = null;
    this.monitors = null;
    this.inputFramesSent = 0;
    this.resyncRequests = 0;
    this.screen = new ScreenView($('screen'), $('stage'));
    this.screen.onFirstFrame = () => this.render();
    this.input = new InputCapture(this.screen, $('keyboard-sink'), {
      enabled: () => this.inputAllowed(),
      events: (events) => this.sendEvents(events),
      snapshot: (held) => this.session?.sendInput(this.writer.snapshot(held)),
    });
    this.bindControls();
    window.cvlViewer = this;  // for the browser tests and the page benchmark
  }

  // ---- connection ----

  begin() {
    const fromFragment = parseFragment(location.hash);
    const params = { ...fromFragment, relay: fromFragment.relay || servingRelay(location) };
    $('f-relay').value = params.relay;
    $('f-device').value = params.device;
    $('f-token').value = params.token;
    $('f-role').value = params.role;
    if (viewerUrl(params)) this.connect(params);
    else this.showForm();
  }

  showForm(message = '') {
    $('connect').hidden = false;
    $('connect-error').textContent = message;
    this.render();
    (!$('f-relay').value ? $('f-relay') : !$('f-device').value ? $('f-device') : $('f-token')).focus();
  }

  connect(params) {
    const url = viewerUrl(params);
    if (!url) {
      this.showForm('Enter a ws:// or wss:// relay address, the device id and a viewer token.');
      return;
    }
    this.params = params;
    $('connect').hidden = true;
    history.replaceState(null, '', fragmentFor(params));
    if (this.session) this.session.stop();
    const session = new ViewerSession(url);
    this.session = session;
    session.on('status', () => this.onStatus(session));
    session.on('keyed', (phrase, hostKey) => this.onKeyed(phrase, hostKey));
    session.on('message', (message, timing) => this.onMessage(message, timing));
    session.on('rejected', () => this.render());
    session.on('welcome', () => this.render());
    session.start();
    this.render();
  }

  onStatus(session) {
    if (session !== this.session) return;
    if (session.status !== SessionStatus.keyed) {
      this.participantId = null;
      this.sessionInfo = null;
      this.phrase = null;
      this.wasController = false;
      $('trust').hidden = true;
    }
    if (session.status === SessionStatus.offline || session.status === SessionStatus.stopped) {
      this.screen.clear();
    }
    if (session.status === SessionStatus.offline) this.startCountdown(session);
    this.render();
  }

  startCountdown(session) {
    clearInterval(this.countdown);
    const until = performance.now() + (session.retryDelayMs ?? 1000);
    this.countdown = setInterval(() => {
      if (session.status !== SessionStatus.offline) clearInterval(this.countdown);
      this.retryIn = Math.max(0, Math.ceil((until - performance.now()) / 1000));
      this.render();
    }, 250);
  }

  onKeyed(phrase, hostKey) {
    this.phrase = phrase;
    this.hostKey = hostKey;
    this.writer = new InputFrameWriter();  // the host's receiver starts afresh with new keys
    $('trust-words').textContent = phrase.words.join(' ');
    $('trust-digits').textContent = phrase.digits;
    $('trust-client').textContent = String(this.session.clientId ?? '?');
    $('trust').hidden = this.confirmedKeys.has(hostKey);
    if (!$('trust').hidden) $('trust-yes').focus();
    this.session.sendJson({ type: 'monitors' });
    this.sendSettings({ fps: Number($('set-fps').value), quality: Number($('set-quality').value),
                        maxEdge: Number($('set-size').value) });
    this.render();
  }

  get confirmed() {
    return Boolean(this.hostKey) && this.confirmedKeys.has(this.hostKey) && this.session?.keyed;
  }

  get driving() {
    return Boolean(this.sessionInfo && this.participantId &&
                   this.sessionInfo.controllerId === this.participantId);
  }

  get mayDrive() {
    return DRIVING_ROLES.has(this.session?.role ?? '');
  }

  inputAllowed() {
    return Boolean(this.session?.keyed && this.confirmed && this.driving && !this.viewOnly && this.mayDrive);
  }

  sendEvents(events) {
    for (const e of events) {
      let frame;
      if (e.type === 'move') frame = this.writer.move(e.x, e.y);
      else if (e.type === 'button') frame = this.writer.button(e.button, e.down);
      else if (e.type === 'wheel') frame = this.writer.wheel(e.delta);
      else if (e.type === 'keyvk') frame = this.writer.keyVk(e.vk, e.down);
      else if (e.type === 'keyunicode') frame = this.writer.keyUnicode(e.code, e.down);
      if (frame && this.session.sendInput(frame)) this.inputFramesSent++;
    }
  }

  sendSettings(values) {
    this.session?.sendJson({ type: 'settings', ...values, ...STANDING_SETTINGS });
  }

  // ---- host messages ----

  onMessage(message, timing) {
    switch (message.type) {
      case 'frame':
        this.screen.show(message, timing.parseMs);
        return;
      case 'you':
        this.participantId = message.participantId;
        break;
      case 'session': {
        const wasDriving = this.driving;
        this.sessionInfo = message.session;
        if (this.driving) this.wasController = true;
        // The host keeps one input order for whoever drives: a new controller first sends a
        // snapshot, which also tells the host where this page's numbering stands.
        if (this.driving && !wasDriving) this.input.resync();
        break;
      }
      case 'input-status':
        this.canInject = message.canInject !== false;
        this.wasController = true;
        this.input.resync();
        break;
      case 'resync-please':
        this.resyncRequests++;
        this.input.resync();
        return;
      case 'monitors':
        this.monitors = message;
        this.renderMonitors();
        return;
      case 'fps-applied':
        $('fps-note').textContent = message.applied !== message.asked
          ? `The host sends at most ${message.applied} frames per second.` : '';
        return;
      case 'viewonly':
        this.viewOnly = Boolean(message.on);
        break;
      case 'clipboard':
        this.receivedClipboard(String(message.text ?? ''));
        return;
      case 'clipboard-set':
        $('clip-note').textContent = 'Sent to the host\u2019s clipboard.';
        return;
      default:
        return;
    }
    this.render();
  }

  async receivedClipboard(text) {
    $('clip-text').value = text;
    try {
      await navigator.clipboard.writeText(text);
      $('clip-note').textContent = 'The host\u2019s clipboard is now on this computer\u2019s clipboard too.';
    } catch {
      $('clip-note').textContent = 'The host\u2019s clipboard is in the box above.';
    }
  }

  async sendClipboard() {
    let text = $('clip-text').value;
    if (!text) {
      try {
        text = await navigator.clipboard.readText();
        $('clip-text').value = text;
      } catch {
        $('clip-note').textContent = 'Type or paste the text into the box, then send it.';
        return;
      }
    }
    this.session?.sendJson({ type: 'clipset', text });
  }

  // ---- controls ----

  bindControls() {
    $('connect').addEventListener('submit', (e) => {
      e.preventDefault();
      this.connect({ relay: $('f-relay').value.trim(), device: $('f-device').value.trim(),
                     token: $('f-token').value.trim(), role: $('f-role').value });
    });
    $('trust-yes').addEventListener('click', () => {
      if (this.hostKey) this.confirmedKeys.add(this.hostKey);
      $('trust').hidden = true;
      this.input.focusKeyboard();
      this.input.resync();
      this.render();
    });
    $('trust-no').addEventListener('click', () => {
      $('trust').hidden = true;
      this.session?.stop('The phrases did not match, so the page disconnected: someone may be ' +
                         'relaying between you and the host. Tell the host\u2019s owner.');
      this.render();
    });
    $('phrase-chip').addEventListener('click', () => {
      if (this.phrase) {
        $('trust').hidden = false;
        $('trust-yes').focus();
      }
    });
    $('btn-control').addEventListener('click', () => {
      this.session?.sendJson({ type: this.wasController ? 'control-reclaim' : 'control-request' });
    });
    $('btn-scale').addEventListener('click', () => {
      this.screen.setMode(this.screen.mode === 'fit' ? 'actual' : 'fit');
      this.render();
    });
    $('btn-fullscreen').addEventListener('click', () => this.toggleFullscreen());
    document.addEventListener('fullscreenchange', () => {
      if (!document.fullscreenElement) navigator.keyboard?.unlock?.();
      this.render();
    });
    $('btn-panel').addEventListener('click', () => {
      document.body.classList.toggle('panel-open');
      this.screen.layout();  // at once, so that the next click lands where the picture is
      this.render();
    });
    const menu = $('keys-menu');
    for (const [label, vks] of KEY_COMBINATIONS) {
      const item = document.createElement('button');
      item.type = 'button';
      item.setAttribute('role', 'menuitem');
      item.textContent = label;
      item.addEventListener('click', () => {
        menu.hidden = true;
        this.input.sendCombination(vks);
        this.input.focusKeyboard();
      });
      menu.append(item);
    }
    $('btn-keys').addEventListener('click', (e) => {
      e.stopPropagation();
      menu.hidden = !menu.hidden;
    });
    document.addEventListener('click', () => { menu.hidden = true; });
    $('set-fps').addEventListener('change', () => this.sendSettings({ fps: Number($('set-fps').value) }));
    $('set-quality').addEventListener('input', () => { $('quality-value').textContent = $('set-quality').value; });
    $('set-quality').addEventListener('change', () => this.sendSettings({ quality: Number($('set-quality').value) }));
    $('set-size').addEventListener('change', () => this.sendSettings({ maxEdge: Number($('set-size').value) }));
    $('set-monitor').addEventListener('change', () => {
      this.sendSettings({ monitor: Number($('set-monitor').value) });
      this.session?.sendJson({ type: 'monitors' });
    });
    $('opt-viewonly').addEventListener('change', () => {
      this.session?.sendJson({ type: 'viewonly', on: $('opt-viewonly').checked });
    });
    $('btn-clip-get').addEventListener('click', () => this.session?.sendJson({ type: 'clip-request' }));
    $('btn-clip-send').addEventListener('click', () => this.sendClipboard());
    $('btn-disconnect').addEventListener('click', () => {
      this.session?.stop('You disconnected.');
      this.showForm();
    });
    $('stage').addEventListener('pointerdown', () => this.input.focusKeyboard());
  }

  async toggleFullscreen() {
    if (document.fullscreenElement) {
      await document.exitFullscreen();
      return;
    }
    try {
      await $('stage').requestFullscreen();
      // Keeps Escape, Alt+Tab and friends for the host where the browser allows it.
      await navigator.keyboard?.lock?.();
    } catch {
      // Full screen refused (for example inside a frame): stay as we are.
    }
    this.input.focusKeyboard();
  }

  renderMonitors() {
    const select = $('set-monitor');
    select.replaceChildren();
    for (const m of this.monitors?.monitors ?? []) {
      const option = document.createElement('option');
      option.value = String(m.index);
      option.textContent = `Screen ${m.index + 1} \u2014 ${m.w} \u00d7 ${m.h}${m.primary ? ' (main)' : ''}`;
      select.append(option);
    }
    select.value = String(this.monitors?.selected ?? 0);
    select.disabled = select.options.length < 2;
  }

  // ---- rendering ----

  statusText() {
    const s = this.session;
    if (!s) return ['idle', 'Not connected'];
    switch (s.status) {
      case SessionStatus.connecting: return ['busy', 'Connecting to the relay\u2026'];
      case SessionStatus.waiting: return ['busy', 'Connected \u2014 waiting for the host to come online\u2026'];
      case SessionStatus.keying: return ['busy', 'Agreeing keys with the host\u2026'];
      case SessionStatus.offline:
        return ['bad', `${s.failures > 0 ? 'Cannot reach the relay' : 'Connection lost'} \u2014 ` +
                       `trying again in ${this.retryIn ?? 1} s\u2026`];
      case SessionStatus.stopped: return ['idle', 'Disconnected'];
      default: break;
    }
    if (!this.confirmed) return ['warn', 'Keyed \u2014 compare the verification phrase to turn input on'];
    if (!this.mayDrive) return ['ok', 'Watching (this link may only watch)'];
    if (this.driving && this.viewOnly) return ['ok', 'View only \u2014 the host ignores input'];
    if (this.driving && !this.canInject) return ['warn', 'In control, but the host may not post input (no permission)'];
    if (this.driving) return ['ok', 'You are in control'];
    const controller = this.sessionInfo?.participants?.find((p) => p.driving);
    return ['ok', controller ? `Watching \u2014 ${controller.name} is in control` : 'Watching'];
  }

  render() {
    const [tone, text] = this.statusText();
    $('status').dataset.tone = tone;
    $('status-text').textContent = text;
    $('status-error').textContent = this.session?.lastError && this.session.status !== SessionStatus.keyed
      ? this.session.lastError : '';

    const keyed = Boolean(this.session?.keyed);
    const chip = $('phrase-chip');
    chip.hidden = !this.phrase;
    if (this.phrase) {
      $('chip-phrase').textContent = this.phrase.short;
      chip.dataset.verified = this.confirmed ? 'yes' : 'no';
      chip.title = this.confirmed ? 'Verification phrase, confirmed' : 'Verification phrase, not yet confirmed';
    }
    const control = $('btn-control');
    control.hidden = !keyed || !this.mayDrive || this.driving || !this.participantId;
    control.textContent = this.wasController ? 'Reclaim control' : 'Take control';
    $('btn-keys').disabled = !this.inputAllowed();
    $('btn-scale').textContent = this.screen.mode === 'fit' ? '1:1' : 'Fit';
    $('btn-scale').title = this.screen.mode === 'fit' ? 'Show the screen pixel for pixel' : 'Fit the screen to the window';
    $('btn-fullscreen').textContent = document.fullscreenElement ? 'Exit full screen' : 'Full screen';
    $('btn-panel').setAttribute('aria-expanded', String(document.body.classList.contains('panel-open')));

    const stage = $('stage');
    stage.classList.toggle('input-on', this.inputAllowed());
    $('placeholder-text').textContent = keyed ? 'Waiting for the first picture\u2026' : text;

    for (const el of document.querySelectorAll('[data-needs-keys]')) el.disabled = !keyed;
    for (const el of document.querySelectorAll('[data-needs-control]')) el.disabled = !(keyed && this.driving && this.confirmed);
    $('opt-viewonly').checked = this.viewOnly;
    $('opt-viewonly').disabled = !keyed;
    this.renderParticipants();
    this.renderConnection();
  }

  renderParticipants() {
    const list = $('participants');
    list.replaceChildren();
    for (const p of this.sessionInfo?.participants ?? []) {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.className = 'who';
      name.textContent = p.name + (p.id === this.participantId ? ' \u2014 you' : '');
      item.append(name);
      if (p.driving) {
        const badge = document.createElement('span');
        badge.className = 'badge';
        badge.textContent = 'in control';
        item.append(badge);
      } else if (this.driving && this.confirmed && p.id !== this.participantId && DRIVING_ROLES.has(p.role)) {
        const pass = document.createElement('button');
        pass.type = 'button';
        pass.className = 'small';
        pass.textContent = 'Pass control';
        pass.addEventListener('click', () => this.session?.sendJson({ type: 'control-pass', to: p.id }));
        item.append(pass);
      }
      list.append(item);
    }
    $('participants-empty').hidden = list.children.length > 0;
  }

  renderConnection() {
    const s = this.session;
    $('conn-relay').textContent = this.params?.relay || '\u2014';
    $('conn-device').textContent = this.params?.device || '\u2014';
    $('conn-role').textContent = s?.role || this.params?.role || '\u2014';
    $('conn-client').textContent = s?.clientId != null ? String(s.clientId) : '\u2014';
    $('conn-dropped').textContent = String(s?.rejectedEnvelopes ?? 0);
  }

  // Figures for the tests and the benchmark.
  stats() {
    return { ...this.screen.stats, rejectedEnvelopes: this.session?.rejectedEnvelopes ?? 0,
             status: this.session?.status ?? 'idle', keyed: Boolean(this.session?.keyed),
             phrase: this.phrase?.short ?? null, confirmed: this.confirmed, driving: this.driving,
             inputAllowed: this.inputAllowed(), viewOnly: this.viewOnly, clientId: this.session?.clientId ?? null,
             participantId: this.participantId, inputFramesSent: this.inputFramesSent,
             resyncRequests: this.resyncRequests, frameWidth: this.screen.canvas.width,
             frameHeight: this.screen.canvas.height };
  }
}

new ViewerPage().begin();
