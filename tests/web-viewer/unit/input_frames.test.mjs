// Binary input frames as the page writes them, byte for byte, and their numbering.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { bytesToHex } from '../../../tools/web-viewer/bytes.js';
import { InputFrameWriter } from '../../../tools/web-viewer/input_frames.js';

const hex = (frame) => bytesToHex(frame).toUpperCase();
const writerAt = (t = 1000) => new InputFrameWriter(() => t);

test('each kind of frame has the layout the host decodes', () => {
  const cases = [
    // header: magic, version, channel, kind, seq, t (48 bits); then the payload
    [(w) => w.move(100, -2), 'AE010001' + '000003E8' + '0000000003E8' + '00000064FFFFFFFE'],
    [(w) => w.button('middle', true), 'AE010110' + '00000001' + '0000000003E8' + '0301'],
    [(w) => w.button('x2', false), 'AE010110' + '00000001' + '0000000003E8' + '0500'],
    [(w) => w.wheel(-120), 'AE010111' + '00000001' + '0000000003E8' + 'FFFFFF88'],
    [(w) => w.keyVk(0xa0, true), 'AE010112' + '00000001' + '0000000003E8' + '00A001'],
    [(w) => w.keyUnicode(0x1f600, false), 'AE010113' + '00000001' + '0000000003E8' + '0001F60000'],
  ];
  for (const [write, expected] of cases) assert.equal(hex(write(writerAt())), expected);
});

test('coordinates beyond 32 bits are clamped, a 48-bit time wraps', () => {
  assert.equal(hex(writerAt().move(2 ** 40, -(2 ** 40))).slice(28), '7FFFFFFF80000000');
  assert.equal(hex(writerAt(2 ** 48 + 5).move(0, 0)).slice(16, 28), '000000000005');
});

const seq = (frame) => new DataView(frame.buffer).getUint32(4);

test('state numbers follow the clock and rise by at least one, also across a wrap', () => {
  let now = 2 ** 32 - 10;  // any clock value, even one just below the wrap, starts the count
  const w = new InputFrameWriter(() => now);
  assert.equal(seq(w.move(1, 1)), 2 ** 32 - 10);
  assert.equal(seq(w.move(1, 1)), 2 ** 32 - 9, 'the clock did not move');
  now = 2 ** 32 + 3;  // the 32-bit clock wrapped: still newer in serial arithmetic
  assert.equal(seq(w.move(1, 1)), 3);
  now = 2 ** 32 - 100;  // a clock that went back: the numbers keep rising instead
  assert.equal(seq(w.move(1, 1)), 4);
  now = 2 ** 32 + 5000;
  assert.equal(seq(w.move(1, 1)), 5000);
});

test('state and events channels count on their own; a snapshot covers the events sent', () => {
  const w = writerAt();
  assert.equal(seq(w.move(1, 1)), 1000);
  assert.equal(seq(w.move(2, 2)), 1001);
  assert.equal(seq(w.keyVk(0x41, true)), 1);
  assert.equal(seq(w.keyVk(0x41, false)), 2);
  assert.equal(seq(w.button('left', true)), 3);
  const snap = w.snapshot({ x: 5, y: -1, buttons: ['left', 'x2'], keys: [0xa0, 0x41], chars: [0xe9] });
  assert.equal(hex(snap),
    'AE010230' + '00000000' + '0000000003E8' +
    '00000005' + 'FFFFFFFF' + '00000003' +  // x, y, upto = the last events number
    '11' + '00' + '0002' + '0001' + '0000' +  // mask: left (bit 0) and x2 (bit 4); K, C, P
    '00A0' + '0041' + '000000E9');
  assert.equal(snap.length, 34 + 2 * 2 + 4);
  // An empty snapshot before any event covers nothing.
  assert.equal(hex(writerAt().snapshot({ x: 0, y: 0 })).slice(44, 52), '00000000');
});

test('sequence numbers wrap from 0xFFFFFFFF to 0', () => {
  const w = writerAt();
  w.nextEvent = 0xffffffff;
  const a = w.wheel(1);
  const b = w.wheel(1);
  assert.equal(hex(a).slice(8, 16), 'FFFFFFFF');
  assert.equal(hex(b).slice(8, 16), '00000000');
  assert.equal(w.lastEventSeq, 0);
});

test('values the format cannot carry are refused', () => {
  const w = writerAt();
  assert.throws(() => w.button('fourth', true), RangeError);
  assert.throws(() => w.keyVk(0x10000, true), RangeError);
  assert.throws(() => w.keyUnicode(0x110000, true), RangeError);
  assert.equal(w.nextEvent, 1, 'a refused frame uses no number');
});
