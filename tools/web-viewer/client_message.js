// Client messages between the page and the host, as the relay carries them: one tag byte,
// then the body. Inside a sealed envelope the plaintext starts with a kind byte.
//
//   hello   01 | 32-byte X25519 public key      (unsealed, both ways)
//   sealed  02 | envelope                       plaintext: 00 + JSON text, or 01 + input frame

import { concatBytes, utf8Bytes, utf8Text } from './bytes.js';

export const TAG_HELLO = 1;
export const TAG_SEALED = 2;
export const KIND_TEXT = 0;
export const KIND_BIN = 1;

export function helloMessage(publicKey) {
  return concatBytes(Uint8Array.of(TAG_HELLO), publicKey);
}

export function sealedMessage(envelope) {
  return concatBytes(Uint8Array.of(TAG_SEALED), envelope);
}

// {tag, body} or null for an empty message.
export function parseClientMessage(bytes) {
  if (bytes.length === 0) return null;
  return { tag: bytes[0], body: bytes.subarray(1) };
}

export function jsonPlaintext(message) {
  return concatBytes(Uint8Array.of(KIND_TEXT), utf8Bytes(JSON.stringify(message)));
}

export function inputPlaintext(frame) {
  return concatBytes(Uint8Array.of(KIND_BIN), frame);
}

// The application message of a host plaintext: a JSON object, or null.
export function parseHostPlaintext(plain) {
  if (plain.length === 0 || plain[0] === KIND_BIN) return null;
  try {
    const value = JSON.parse(utf8Text(plain.subarray(1)));
    return value && typeof value === 'object' && !Array.isArray(value) ? value : null;
  } catch {
    return null;
  }
}
