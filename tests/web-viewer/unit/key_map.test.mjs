// Which keys go as virtual keys and which as characters, and what is held for snapshots.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { HeldInput } from '../../../tools/web-viewer/held_input.js';
import { CODE_TO_VK, classifyKeyDown } from '../../../tools/web-viewer/key_map.js';

function key(code, key, mods = {}) {
  const altGraph = Boolean(mods.altGraph);
  return { code, key, ctrlKey: false, altKey: false, metaKey: false, keyCode: 0, isComposing: false,
           ...mods, getModifierState: (m) => m === 'AltGraph' && altGraph };
}

test('a table of keyboard events and what the host is sent', () => {
  const cases = [
    ['US a', key('KeyA', 'a'), { char: 0x61 }],
    ['US Shift+a', key('KeyA', 'A', { shiftKey: true }), { char: 0x41 }],
    ['French é on the 2 key', key('Digit2', 'é'), { char: 0xe9 }],
    ['German ö', key('Semicolon', 'ö'), { char: 0xf6 }],
    ['German z on the Y key', key('KeyY', 'z'), { char: 0x7a }],
    ['AltGr+E gives €', key('KeyE', '€', { ctrlKey: true, altKey: true, altGraph: true }), { char: 0x20ac }],
    ['emoji from an input device', key('', '😀'), { char: 0x1f600 }],
    ['Ctrl+A', key('KeyA', 'a', { ctrlKey: true }), { vk: 0x41 }],
    ['Ctrl+A on French AZERTY (physical Q key)', key('KeyQ', 'a', { ctrlKey: true }), { vk: 0x51 }],
    ['Alt+F', key('KeyF', 'f', { altKey: true }), { vk: 0x46 }],
    ['Ctrl+Shift+2', key('Digit2', '@', { ctrlKey: true, shiftKey: true }), { vk: 0x32 }],
    ['Enter', key('Enter', 'Enter'), { vk: 0x0d }],
    ['keypad Enter', key('NumpadEnter', 'Enter'), { vk: 0x0d }],
    ['Space', key('Space', ' '), { vk: 0x20 }],
    ['Tab', key('Tab', 'Tab'), { vk: 0x09 }],
    ['Backspace', key('Backspace', 'Backspace'), { vk: 0x08 }],
    ['Escape', key('Escape', 'Escape'), { vk: 0x1b }],
    ['F5', key('F5', 'F5'), { vk: 0x74 }],
    ['arrow up', key('ArrowUp', 'ArrowUp'), { vk: 0x26 }],
    ['Delete', key('Delete', 'Delete'), { vk: 0x2e }],
    ['left Shift', key('ShiftLeft', 'Shift'), { vk: 0xa0 }],
    ['right Control', key('ControlRight', 'Control'), { vk: 0xa3 }],
    ['left Alt', key('AltLeft', 'Alt'), { vk: 0xa4 }],
    ['logo key', key('MetaLeft', 'Meta'), { vk: 0x5b }],
    ['Caps Lock', key('CapsLock', 'CapsLock'), { vk: 0x14 }],
    ['a dead key', key('BracketLeft', 'Dead'), { compose: true }],
    ['input method composing', key('KeyN', 'Process', { keyCode: 229 }), { compose: true }],
    ['during composition', key('KeyA', 'a', { isComposing: true }), { compose: true }],
    ['AltGraph on its own', key('AltRight', 'AltGraph', { altGraph: true }), null],
    ['a key the host does not know', key('Insert', 'Insert'), null],
  ];
  for (const [name, event, expected] of cases) assert.deepEqual(classifyKeyDown(event), expected, name);
});

test('every virtual key the page sends is one the host maps', () => {
  const hostKeys = new Set([
    ...Array.from({ length: 26 }, (_, i) => 0x41 + i), ...Array.from({ length: 10 }, (_, i) => 0x30 + i),
    ...Array.from({ length: 12 }, (_, i) => 0x70 + i), ...Array.from({ length: 10 }, (_, i) => 0x60 + i),
    0x08, 0x09, 0x0d, 0x1b, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x2e, 0x6a, 0x6b, 0x6d,
    0x6e, 0x6f, 0xba, 0xbb, 0xbc, 0xbd, 0xbe, 0xbf, 0xc0, 0xdb, 0xdc, 0xdd, 0xde, 0x10, 0xa0, 0xa1, 0x11,
    0xa2, 0xa3, 0x12, 0xa4, 0xa5, 0x5b, 0x5c, 0x14,
  ]);
  for (const [code, vk] of Object.entries(CODE_TO_VK)) assert.ok(hostKeys.has(vk), `${code} -> ${vk}`);
});

test('a keyup releases what its keydown pressed, whatever the modifiers did meanwhile', () => {
  const held = new HeldInput();
  assert.deepEqual(held.keyDown(key('ShiftLeft', 'Shift', { shiftKey: true })), [{ type: 'keyvk', vk: 0xa0, down: true }]);
  assert.deepEqual(held.keyDown(key('Digit1', '!', { shiftKey: true })), [{ type: 'keyunicode', code: 0x21, down: true }]);
  assert.deepEqual(held.snapshot(), { x: 0, y: 0, buttons: [], keys: [0xa0], chars: [0x21] });
  assert.deepEqual(held.keyUp(key('ShiftLeft', 'Shift')), [{ type: 'keyvk', vk: 0xa0, down: false }]);
  assert.deepEqual(held.keyUp(key('Digit1', '1')), [{ type: 'keyunicode', code: 0x21, down: false }]);
  assert.deepEqual(held.keyUp(key('Digit1', '1')), [], 'a second keyup releases nothing');
});

test('a key whose meaning changed while held is released before it is pressed again', () => {
  const held = new HeldInput();
  held.keyDown(key('KeyA', 'a'));
  assert.deepEqual(held.keyDown(key('KeyA', 'a', { ctrlKey: true })),
                   [{ type: 'keyunicode', code: 0x61, down: false }, { type: 'keyvk', vk: 0x41, down: true }]);
  assert.deepEqual(held.keyDown(key('KeyA', 'a', { ctrlKey: true })), [{ type: 'keyvk', vk: 0x41, down: true }],
                   'auto-repeat');
});

test('composed text is typed as characters; nothing stays held', () => {
  const held = new HeldInput();
  assert.equal(held.keyDown(key('BracketLeft', 'Dead')), null);
  assert.deepEqual(held.typed('ê\n'), [{ type: 'keyunicode', code: 0xea, down: true }, { type: 'keyunicode', code: 0xea, down: false }]);
  assert.deepEqual(held.typed('日本').map((e) => e.code), [0x65e5, 0x65e5, 0x672c, 0x672c]);
  assert.deepEqual(held.snapshot().chars, []);
});

test('losing focus forgets everything held; the snapshot is then empty', () => {
  const held = new HeldInput();
  held.keyDown(key('ControlLeft', 'Control'));
  held.keyDown(key('KeyC', 'c', { ctrlKey: true }));
  held.buttonDown('left');
  held.moveTo(10, 20);
  assert.deepEqual(held.snapshot(), { x: 10, y: 20, buttons: ['left'], keys: [0x43, 0xa2], chars: [] });
  held.clear();
  assert.deepEqual(held.snapshot(), { x: 10, y: 20, buttons: [], keys: [], chars: [] });
  assert.equal(held.buttonUp('left'), false, 'a release after the focus loss is not sent');
});
