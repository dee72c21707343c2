// The viewer's end of the end-to-end channel, on WebCrypto: an ephemeral X25519 key
// agreement (the viewer is the initiator), HKDF-SHA256 for the two directional AES-256-GCM
// keys and the verification bytes, and a channel that seals and opens envelopes with a
// send counter and a replay high-water mark. The relay only ever sees public keys.

import { concatBytes, utf8Bytes } from './bytes.js';
import { decodeEnvelope, encodeEnvelope, MAX_SEND_COUNTER, nonceFor, TAG_SIZE } from './envelope.js';
import { phraseFromVerificationBytes } from './phrase.js';

const subtle = globalThis.crypto.subtle;

export const HKDF_SALT = utf8Bytes('kvt-strand-p2p-salt-09');
export const LABEL_INITIATOR_TO_RESPONDER = 'corvello/e2e v1|dir:initiator->responder';
export const LABEL_RESPONDER_TO_INITIATOR = 'corvello/e2e v1|dir:responder->initiator';
export const LABEL_VERIFY = 'corvello/e2e v1|verify:short-authentication-string';

// PKCS#8 wrapping of a raw X25519 private key (WebCrypto imports private keys only so).
const PKCS8_X25519_PREFIX = new Uint8Array([
  0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x6e, 0x04, 0x22, 0x04, 0x20,
]);

export class E2EError extends Error {}

async function hkdf(secret, label, length) {
  const base = await subtle.importKey('raw', secret, 'HKDF', false, ['deriveBits']);
  const bits = await subtle.deriveBits(
    { name: 'HKDF', hash: 'SHA-256', salt: HKDF_SALT, info: utf8Bytes(label) }, base, length * 8);
  return new Uint8Array(bits);
}

async function aesKey(raw, usage) {
  return subtle.importKey('raw', raw, { name: 'AES-GCM' }, false, [usage]);
}

export class Handshake {
  // A fresh random key pair, or (for known-answer tests) one from a 32-byte raw private key.
  // The page is always the initiator; tests also build the host's mirror image.
  static async create(privateKeyRaw = null, role = 'initiator') {
    let privateKey;
    let publicKey;
    if (privateKeyRaw) {
      privateKey = await subtle.importKey('pkcs8', concatBytes(PKCS8_X25519_PREFIX, privateKeyRaw),
                                          { name: 'X25519' }, true, ['deriveBits']);
      const jwk = await subtle.exportKey('jwk', privateKey);
      const x = atob(jwk.x.replace(/-/g, '+').replace(/_/g, '/'));
      publicKey = Uint8Array.from(x, (c) => c.charCodeAt(0));
    } else {
      const pair = await subtle.generateKey({ name: 'X25519' }, false, ['deriveBits']);
      privateKey = pair.privateKey;
      publicKey = new Uint8Array(await subtle.exportKey('raw', pair.publicKey));
    }
    return new Handshake(privateKey, publicKey, role);
  }

  constructor(privateKey, publicKey, role) {
    this.role = role;
    this.privateKey = privateKey;
    this.publicKey = publicKey;  // 32 raw bytes, sent in the hello
  }

  // The channel for the host's 32-byte public key; throws E2EError for a key of the wrong
  // length or a degenerate (all-zero) shared secret.
  async complete(peerPublicKey) {
    if (peerPublicKey.length !== 32) throw new E2EError('the host key is not 32 bytes');
    const peer = await subtle.importKey('raw', peerPublicKey, { name: 'X25519' }, false, []);
    let secret;
    try {
      secret = new Uint8Array(await subtle.deriveBits({ name: 'X25519', public: peer }, this.privateKey, 256));
    } catch {
      throw new E2EError('degenerate key agreement');
    }
    if (secret.every((b) => b === 0)) throw new E2EError('degenerate key agreement');
    const kir = await hkdf(secret, LABEL_INITIATOR_TO_RESPONDER, 32);
    const kri = await hkdf(secret, LABEL_RESPONDER_TO_INITIATOR, 32);
    const verification = await hkdf(secret, LABEL_VERIFY, 8);
    secret.fill(0);
    const initiator = this.role === 'initiator';
    const channel = new Channel(await aesKey(initiator ? kir : kri, 'encrypt'),
                                await aesKey(initiator ? kri : kir, 'decrypt'),
                                phraseFromVerificationBytes(verification));
    kir.fill(0);
    kri.fill(0);
    return channel;
  }
}

// One keyed direction pair. seal() and open() are asynchronous: callers keep each of them in
// order (the session chains its sends and its receipts), because the host accepts only
// rising counters.
export class Channel {
  constructor(sendKey, recvKey, phrase) {
    this.sendKey = sendKey;
    this.recvKey = recvKey;
    this.phrase = phrase;
    this.sendCtr = 0n;
    this.lastRecv = -1n;
    this.opened = 0;    // envelopes that authenticated
    this.rejected = 0;  // envelopes dropped: malformed, replayed or forged
  }

  // The encoded envelope of `plaintext`. The counter is taken before the cipher runs.
  async seal(plaintext) {
    const counter = this.sendCtr;
    if (counter >= MAX_SEND_COUNTER) throw new E2EError('send counter exhausted');
    this.sendCtr = counter + 1n;
    const sealed = await subtle.encrypt({ name: 'AES-GCM', iv: nonceFor(counter) }, this.sendKey, plaintext);
    return encodeEnvelope(counter, new Uint8Array(sealed));
  }

  // The plaintext of an encoded envelope, or null (counted) when it is short, not newer than
  // the last one accepted, or does not authenticate. Only an authentic envelope moves the
  // high-water mark, so forged bytes cannot lock genuine traffic out.
  async open(bytes) {
    const envelope = decodeEnvelope(bytes);
    if (!envelope || envelope.counter >= 2n ** 63n || envelope.counter <= this.lastRecv ||
        envelope.ciphertext.length < TAG_SIZE) {
      this.rejected++;
      return null;
    }
    let plain;
    try {
      plain = await subtle.decrypt({ name: 'AES-GCM', iv: nonceFor(envelope.counter) }, this.recvKey,
                                   envelope.ciphertext);
    } catch {
      this.rejected++;
      return null;
    }
    if (envelope.counter <= this.lastRecv) {  // a later envelope was opened meanwhile
      this.rejected++;
      return null;
    }
    this.lastRecv = envelope.counter;
    this.opened++;
    return new Uint8Array(plain);
  }
}
