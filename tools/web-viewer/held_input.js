// What the page has pressed on the host and not yet released: keys by their physical code
// (so that the keyup releases exactly what its keydown pressed, whatever the modifiers did
// to the key's meaning meanwhile), mouse buttons, and the last pointer position. It turns
// browser input into input events and gives the held lists a snapshot carries.

import { classifyKeyDown } from './key_map.js';

export class HeldInput {
  constructor() {
    this.x = 0;
    this.y = 0;
    this.keys = new Map();  // KeyboardEvent.code -> {vk} | {char}
    this.buttons = new Set();
  }

  // Events for a keydown: [] when nothing is to be sent, or null when the browser should
  // keep the key (a composition in progress).
  keyDown(e) {
    const what = classifyKeyDown(e);
    if (!what) return [];
    if (what.compose) return null;
    const events = [];
    const previous = this.keys.get(e.code);
    if (previous && !sameKey(previous, what)) events.push(release(previous));
    this.keys.set(e.code, what);
    events.push(press(what));  // auto-repeat presses again, as a held key does
    return events;
  }

  keyUp(e) {
    const what = this.keys.get(e.code);
    if (!what) return [];
    this.keys.delete(e.code);
    return [release(what)];
  }

  // Text that the browser composed (dead keys, input methods): each character pressed and
  // released.
  typed(text) {
    const events = [];
    for (const ch of text) {
      const code = ch.codePointAt(0);
      if (code < 0x20 || code === 0x7f) continue;
      events.push({ type: 'keyunicode', code, down: true }, { type: 'keyunicode', code, down: false });
    }
    return events;
  }

  buttonDown(name) {
    this.buttons.add(name);
  }

  buttonUp(name) {
    return this.buttons.delete(name);
  }

  moveTo(x, y) {
    this.x = x;
    this.y = y;
  }

  // The held lists for a snapshot.
  snapshot() {
    const keys = new Set();
    const chars = new Set();
    for (const what of this.keys.values()) {
      if ('vk' in what) keys.add(what.vk);
      else chars.add(what.char);
    }
    return {
      x: this.x, y: this.y, buttons: [...this.buttons],
      keys: [...keys].sort((a, b) => a - b), chars: [...chars].sort((a, b) => a - b),
    };
  }

  // Forgets everything held (the page has lost focus); the caller sends an empty snapshot.
  clear() {
    this.keys.clear();
    this.buttons.clear();
  }
}

function sameKey(a, b) {
  return a.vk === b.vk && a.char === b.char;
}

function press(what) {
  return 'vk' in what ? { type: 'keyvk', vk: what.vk, down: true } : { type: 'keyunicode', code: what.char, down: true };
}

function release(what) {
  return 'vk' in what ? { type: 'keyvk', vk: what.vk, down: false } : { type: 'keyunicode', code: what.char, down: false };
}
