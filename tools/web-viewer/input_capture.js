// Browser input on the shown screen, turned into input events for the host. Pointer moves
// are coalesced to one per animation frame; buttons, wheel and keys go out as they happen.
// Keyboard input is read from a hidden text box that holds the focus while the screen is
// active, so that dead keys and input methods compose there and their text arrives as
// characters. When the page loses focus everything held is forgotten and the host is sent an
// empty snapshot, so that nothing stays pressed on the host; regaining focus sends a fresh one.

import { HeldInput } from './held_input.js';

const BUTTON_NAMES = ['left', 'middle', 'right', 'x1', 'x2'];  // by MouseEvent.button
const WHEEL_NOTCH = 120;

export class InputCapture {
  // sink: {enabled(): bool, events(list), snapshot(held)}
  constructor(screen, keyboardBox, sink) {
    this.screen = screen;
    this.canvas = screen.canvas;
    this.keyboardBox = keyboardBox;
    this.sink = sink;
    this.held = new HeldInput();
    this.pendingMove = null;
    this.wheelRest = 0;
    this.attach();
  }

  attach() {
    const canvas = this.canvas;
    canvas.addEventListener('pointermove', (e) => this.onMove(e));
    canvas.addEventListener('pointerdown', (e) => this.onButton(e, true));
    canvas.addEventListener('pointerup', (e) => this.onButton(e, false));
    canvas.addEventListener('contextmenu', (e) => e.preventDefault());
    canvas.addEventListener('wheel', (e) => this.onWheel(e), { passive: false });
    const box = this.keyboardBox;
    box.addEventListener('keydown', (e) => this.onKeyDown(e));
    box.addEventListener('keyup', (e) => this.onKeyUp(e));
    box.addEventListener('compositionend', (e) => this.onTyped(e.data));
    box.addEventListener('input', (e) => {
      // Text we did not send key by key (dead keys, pasted or inserted text).
      if (!e.isComposing && (e.inputType === 'insertText' || e.inputType === 'insertReplacementText')) {
        this.onTyped(e.data ?? box.value);
      }
      if (!e.isComposing) box.value = '';
    });
    // A key released while another element has the focus would never reach the host.
    box.addEventListener('blur', () => this.focusLost());
    window.addEventListener('blur', () => this.focusLost());
    window.addEventListener('focus', () => this.focusRegained());
    document.addEventListener('visibilitychange', () => {
      if (document.hidden) this.focusLost();
    });
  }

  focusKeyboard() {
    this.keyboardBox.focus({ preventScroll: true });
  }

  send(events) {
    if (events.length && this.sink.enabled()) this.sink.events(events);
  }

  onMove(e) {
    if (!this.screen.hasFrame) return;
    const p = this.screen.framePoint(e.clientX, e.clientY);
    this.held.moveTo(p.x, p.y);
    if (this.pendingMove) {
      this.pendingMove = p;
      return;
    }
    this.pendingMove = p;
    requestAnimationFrame(() => {
      const q = this.pendingMove;
      this.pendingMove = null;
      if (q) this.send([{ type: 'move', x: q.x, y: q.y }]);
    });
  }

  onButton(e, down) {
    if (!this.screen.hasFrame) return;
    const name = BUTTON_NAMES[e.button];
    if (!name) return;
    e.preventDefault();
    if (down) {
      this.focusKeyboard();
      this.canvas.setPointerCapture?.(e.pointerId);
    }
    const p = this.screen.framePoint(e.clientX, e.clientY);
    this.held.moveTo(p.x, p.y);
    this.pendingMove = null;
    if (down) {
      this.held.buttonDown(name);
    } else if (!this.held.buttonUp(name)) {
      return;  // a release of a press the host never saw
    }
    this.send([{ type: 'move', x: p.x, y: p.y }, { type: 'button', button: name, down }]);
  }

  onWheel(e) {
    if (!this.screen.hasFrame) return;
    e.preventDefault();
    // One notch is 120 units, positive away from the user; pixels count as a 100-pixel notch.
    const scale = e.deltaMode === 1 ? WHEEL_NOTCH / 3 : e.deltaMode === 2 ? WHEEL_NOTCH * 3 : WHEEL_NOTCH / 100;
    this.wheelRest += -e.deltaY * scale;
    const delta = Math.trunc(this.wheelRest);
    if (delta === 0) return;
    this.wheelRest -= delta;
    this.send([{ type: 'wheel', delta }]);
  }

  onKeyDown(e) {
    const events = this.held.keyDown(e);
    if (events === null) return;  // composing: the browser keeps the key
    e.preventDefault();
    this.send(events);
  }

  onKeyUp(e) {
    const events = this.held.keyUp(e);
    if (events.length) e.preventDefault();
    this.send(events);
  }

  onTyped(text) {
    if (text) this.send(this.held.typed(text));
    this.keyboardBox.value = '';
  }

  // A key combination the browser would keep to itself: presses in order, releases reversed.
  sendCombination(vks) {
    const events = vks.map((vk) => ({ type: 'keyvk', vk, down: true }));
    for (const vk of [...vks].reverse()) events.push({ type: 'keyvk', vk, down: false });
    this.send(events);
  }

  focusLost() {
    this.held.clear();
    if (this.sink.enabled()) this.sink.snapshot(this.held.snapshot());
  }

  focusRegained() {
    if (this.sink.enabled()) this.sink.snapshot(this.held.snapshot());
  }

  // The host asked for a snapshot ("resync-please").
  resync() {
    if (this.sink.enabled()) this.sink.snapshot(this.held.snapshot());
  }
}
