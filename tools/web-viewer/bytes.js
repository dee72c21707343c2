// Byte helpers shared by the page's modules: hex, base64, UTF-8 and big-endian integers.

const utf8Encoder = new TextEncoder();
const utf8Decoder = new TextDecoder('utf-8', { fatal: false });

export function utf8Bytes(text) {
  return utf8Encoder.encode(text);
}

export function utf8Text(bytes) {
  return utf8Decoder.decode(bytes);
}

export function concatBytes(...parts) {
  let size = 0;
  for (const part of parts) size += part.length;
  const out = new Uint8Array(size);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

export function bytesToHex(bytes) {
  let text = '';
  for (const b of bytes) text += b.toString(16).padStart(2, '0');
  return text;
}

export function hexToBytes(hex) {
  if (hex.length % 2 !== 0 || /[^0-9a-fA-F]/.test(hex)) throw new Error('not hexadecimal');
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(i * 2, 2), 16);
  return out;
}

// Standard base64 with padding, as the host sends frames. Null for text that is not base64.
export function base64ToBytes(text) {
  try {
    if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
    const binary = atob(text);
    const out = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) out[i] = binary.charCodeAt(i);
    return out;
  } catch {
    return null;
  }
}

export function readU32BE(bytes, offset) {
  return ((bytes[offset] << 24) | (bytes[offset + 1] << 16) | (bytes[offset + 2] << 8) | bytes[offset + 3]) >>> 0;
}

// The eight bytes at `offset` as an unsigned 64-bit BigInt.
export function readU64BE(bytes, offset) {
  return (BigInt(readU32BE(bytes, offset)) << 32n) | BigInt(readU32BE(bytes, offset + 4));
}

export function writeU64BE(bytes, offset, value) {
  writeU32BE(bytes, offset, Number((value >> 32n) & 0xffffffffn));
  writeU32BE(bytes, offset + 4, Number(value & 0xffffffffn));
}

export function writeU32BE(bytes, offset, value) {
  bytes[offset] = (value >>> 24) & 0xff;
  bytes[offset + 1] = (value >>> 16) & 0xff;
  bytes[offset + 2] = (value >>> 8) & 0xff;
  bytes[offset + 3] = value & 0xff;
}
