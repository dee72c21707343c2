// Binary input frames as the page sends them. Header of 14 bytes, integers big-endian:
//
//   0      1      2        3      4          8                  14
//   +------+------+--------+------+----------+------------------+---------
//   | 0xAE | 0x01 | channel| kind | seq (u32)| t (u48, 6 bytes) | payload
//   +------+------+--------+------+----------+------------------+---------
//
//   0x01 move        x (i32) y (i32)           0x11 wheel       delta (i32)
//   0x10 button      id (u8) down (u8)         0x12 keyvk       vk (u16) down (u8)
//   0x13 keyunicode  code (u32) down (u8)
//   0x30 snapshot    x, y (i32) upto (u32) button mask (u8) 0 (u8) K, C, P (u16 each),
//                    K held VKs (u16), C held characters (u32); the page sends P = 0.
//
// The state channel (0) carries pointer moves, of which the host keeps only the newest; the
// events channel (1) carries everything that must arrive in order. Each counts on its own;
// a snapshot covers the events channel up to its `upto`, which also tells the host where this
// sender's numbering stands. Nothing does that for the state channel, whose last number the
// host keeps across controllers, so state numbers follow the clock (milliseconds, 32 bits,
// rising by at least one per frame): a page that takes over control continues above the
// numbers of the page before it instead of having its moves dropped as old.

export const INPUT_MAGIC = 0xae;
export const INPUT_PROTOCOL_VERSION = 1;
export const CHANNEL_STATE = 0;
export const CHANNEL_EVENTS = 1;
export const CHANNEL_SNAPSHOT = 2;
export const BUTTON_IDS = { left: 1, right: 2, middle: 3, x1: 4, x2: 5 };

const KIND = { move: 0x01, button: 0x10, wheel: 0x11, keyvk: 0x12, keyunicode: 0x13, snapshot: 0x30 };
const HEADER_SIZE = 14;
const SNAPSHOT_FIXED_SIZE = 34;

function int32(value) {
  const n = Math.trunc(Number(value) || 0);
  return Math.max(-0x80000000, Math.min(0x7fffffff, n));
}

export class InputFrameWriter {
  // `now` gives milliseconds for the 48-bit time field (the host carries it along only).
  constructor(now = () => Date.now()) {
    this.now = now;
    this.nextState = null;  // the first state frame takes the clock as it is
    this.nextEvent = 1;
  }

  // The last number used on the events channel (0 before the first event).
  get lastEventSeq() {
    return (this.nextEvent - 1) >>> 0;
  }

  move(x, y) {
    const frame = this.header(CHANNEL_STATE, KIND.move, this.takeState(), 8);
    frame.view.setInt32(14, int32(x));
    frame.view.setInt32(18, int32(y));
    return frame.bytes;
  }

  button(name, down) {
    const id = BUTTON_IDS[name];
    if (!id) throw new RangeError(`no button ${name}`);
    const frame = this.header(CHANNEL_EVENTS, KIND.button, this.takeEvent(), 2);
    frame.view.setUint8(14, id);
    frame.view.setUint8(15, down ? 1 : 0);
    return frame.bytes;
  }

  wheel(delta) {
    const frame = this.header(CHANNEL_EVENTS, KIND.wheel, this.takeEvent(), 4);
    frame.view.setInt32(14, int32(delta));
    return frame.bytes;
  }

  keyVk(vk, down) {
    if (!(vk >= 0 && vk <= 0xffff)) throw new RangeError(`vk ${vk} out of range`);
    const frame = this.header(CHANNEL_EVENTS, KIND.keyvk, this.takeEvent(), 3);
    frame.view.setUint16(14, vk);
    frame.view.setUint8(16, down ? 1 : 0);
    return frame.bytes;
  }

  keyUnicode(code, down) {
    if (!(code >= 0 && code <= 0x10ffff)) throw new RangeError(`code ${code} out of range`);
    const frame = this.header(CHANNEL_EVENTS, KIND.keyunicode, this.takeEvent(), 5);
    frame.view.setUint32(14, code);
    frame.view.setUint8(18, down ? 1 : 0);
    return frame.bytes;
  }

  // Everything held now: {x, y, buttons: [names], keys: [vks], chars: [code points]}.
  snapshot(held) {
    const keys = held.keys ?? [];
    const chars = held.chars ?? [];
    const size = SNAPSHOT_FIXED_SIZE + 2 * keys.length + 4 * chars.length;
    const frame = this.header(CHANNEL_SNAPSHOT, KIND.snapshot, 0, size - HEADER_SIZE);
    const v = frame.view;
    v.setInt32(14, int32(held.x));
    v.setInt32(18, int32(held.y));
    v.setUint32(22, this.lastEventSeq);
    let mask = 0;
    for (const name of held.buttons ?? []) {
      if (BUTTON_IDS[name]) mask |= 1 << (BUTTON_IDS[name] - 1);
    }
    v.setUint8(26, mask);
    v.setUint16(28, keys.length);
    v.setUint16(30, chars.length);
    v.setUint16(32, 0);
    let at = SNAPSHOT_FIXED_SIZE;
    for (const vk of keys) {
      v.setUint16(at, vk);
      at += 2;
    }
    for (const c of chars) {
      v.setUint32(at, c);
      at += 4;
    }
    return frame.bytes;
  }

  takeState() {
    const clock = Math.floor(this.now()) >>> 0;
    // Serial arithmetic: the clock wins when it is ahead of the next number.
    const seq = this.nextState === null || ((clock - this.nextState) | 0) > 0 ? clock : this.nextState;
    this.nextState = (seq + 1) >>> 0;
    return seq;
  }

  takeEvent() {
    const seq = this.nextEvent;
    this.nextEvent = (this.nextEvent + 1) >>> 0;
    return seq;
  }

  header(channel, kind, seq, payloadSize) {
    const bytes = new Uint8Array(HEADER_SIZE + payloadSize);
    const view = new DataView(bytes.buffer);
    const t = Math.max(0, Math.floor(this.now())) % 2 ** 48;
    view.setUint8(0, INPUT_MAGIC);
    view.setUint8(1, INPUT_PROTOCOL_VERSION);
    view.setUint8(2, channel);
    view.setUint8(3, kind);
    view.setUint32(4, seq);
    view.setUint16(8, Math.floor(t / 2 ** 32));
    view.setUint32(10, t % 2 ** 32);
    return { bytes, view };
  }
}
