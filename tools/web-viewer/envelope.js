// Sealed envelopes on the wire: an 8-byte big-endian counter, then the AES-GCM ciphertext
// with its 16-byte tag. The counter also makes the nonce.
//
//   0            8
//   +------------+---------------------------+----------+
//   | counter n  | ciphertext                | tag (16) |
//   +------------+---------------------------+----------+
//   nonce(n) = 4 zero bytes | n (8 bytes, big-endian)

import { readU64BE, writeU64BE } from './bytes.js';

export const TAG_SIZE = 16;
// Counters at or above this are never sent (the sender's limit).
export const MAX_SEND_COUNTER = 2n ** 53n;

export function encodeEnvelope(counter, ciphertext) {
  const out = new Uint8Array(8 + ciphertext.length);
  writeU64BE(out, 0, counter);
  out.set(ciphertext, 8);
  return out;
}

// {counter, ciphertext} or null when fewer than 8 bytes.
export function decodeEnvelope(bytes) {
  if (bytes.length < 8) return null;
  return { counter: readU64BE(bytes, 0), ciphertext: bytes.subarray(8) };
}

export function nonceFor(counter) {
  const nonce = new Uint8Array(12);
  writeU64BE(nonce, 4, counter);
  return nonce;
}
