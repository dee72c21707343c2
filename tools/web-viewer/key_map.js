// Which keyboard events go to the host as virtual keys and which as characters.
//
// Shortcuts (with Ctrl, Alt or the logo key) and keys that print nothing go as virtual keys
// (Windows numbering) taken from KeyboardEvent.code, the physical key, so they do not depend
// on the local layout. Printed characters go as Unicode characters taken from
// KeyboardEvent.key, so a French or German keyboard types what its labels say; dead keys and
// input methods are left to the browser, whose composed text arrives as characters too.

const letters = {};
for (let i = 0; i < 26; i++) letters[`Key${String.fromCharCode(65 + i)}`] = 0x41 + i;
const digits = {};
for (let i = 0; i < 10; i++) {
  digits[`Digit${i}`] = 0x30 + i;
  digits[`Numpad${i}`] = 0x60 + i;
}
const functionKeys = {};
for (let i = 1; i <= 12; i++) functionKeys[`F${i}`] = 0x6f + i;

export const MODIFIER_VKS = {
  ShiftLeft: 0xa0, ShiftRight: 0xa1, ControlLeft: 0xa2, ControlRight: 0xa3,
  AltLeft: 0xa4, AltRight: 0xa5, MetaLeft: 0x5b, MetaRight: 0x5c, OSLeft: 0x5b, OSRight: 0x5c,
  CapsLock: 0x14,
};

export const CODE_TO_VK = {
  ...letters, ...digits, ...functionKeys, ...MODIFIER_VKS,
  Backspace: 0x08, Tab: 0x09, Enter: 0x0d, NumpadEnter: 0x0d, Escape: 0x1b, Space: 0x20,
  PageUp: 0x21, PageDown: 0x22, End: 0x23, Home: 0x24,
  ArrowLeft: 0x25, ArrowUp: 0x26, ArrowRight: 0x27, ArrowDown: 0x28, Delete: 0x2e,
  NumpadMultiply: 0x6a, NumpadAdd: 0x6b, NumpadSubtract: 0x6d, NumpadDecimal: 0x6e,
  NumpadDivide: 0x6f,
  Semicolon: 0xba, Equal: 0xbb, Comma: 0xbc, Minus: 0xbd, Period: 0xbe, Slash: 0xbf,
  Backquote: 0xc0, BracketLeft: 0xdb, Backslash: 0xdc, BracketRight: 0xdd, Quote: 0xde,
};

// Virtual keys by name, for the menu of keys a browser keeps to itself.
export const VK = {
  ctrl: 0xa2, alt: 0xa4, shift: 0xa0, logo: 0x5b, del: 0x2e, tab: 0x09, esc: 0x1b,
  f4: 0x73, f11: 0x7a, w: 0x57, t: 0x54, n: 0x4e, l: 0x4c, backspace: 0x08,
};

function isOneCharacter(key) {
  if (typeof key !== 'string' || key.length === 0 || key.length > 2) return false;
  const cp = key.codePointAt(0);
  if (key.length === 2 && cp <= 0xffff) return false;  // two separate characters
  return cp >= 0x20 && cp !== 0x7f;
}

// What a keydown should send: {vk}, {char}, or {compose: true} for a dead key or input-method
// composition (the browser composes; nothing is sent for the key itself), or null when the
// key has no meaning for the host (AltGraph on its own, unknown keys).
export function classifyKeyDown(e) {
  if (e.isComposing || e.key === 'Process' || e.keyCode === 229) return { compose: true };
  if (e.key === 'Dead') return { compose: true };
  if (e.key === 'AltGraph') return null;  // a level shift; its characters come as characters
  if (e.code in MODIFIER_VKS) return { vk: MODIFIER_VKS[e.code] };
  const altGraph = typeof e.getModifierState === 'function' && e.getModifierState('AltGraph');
  const shortcut = (e.ctrlKey || e.altKey || e.metaKey) && !altGraph;
  const printable = isOneCharacter(e.key) && e.code !== 'Space';
  if (printable && !shortcut) return { char: e.key.codePointAt(0) };
  if (e.code in CODE_TO_VK) return { vk: CODE_TO_VK[e.code] };
  if (printable) return { char: e.key.codePointAt(0) };
  return null;
}
