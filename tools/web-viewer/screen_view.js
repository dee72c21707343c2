// The host's screen on a canvas. Each frame's JPEG is decoded off the main thread with
// createImageBitmap and drawn when ready; a frame that arrives while the previous one is
// still decoding is dropped rather than queued, so the picture never falls behind.
// Fit-to-window scales the picture down (never up) to the stage; 1:1 shows frame pixels
// as CSS pixels with scroll bars. Pointer positions map back to frame pixels.

import { base64ToBytes } from './bytes.js';

export class ScreenView {
  constructor(canvas, stage, { now = () => performance.now() } = {}) {
    this.canvas = canvas;
    this.stage = stage;
    this.now = now;
    this.context = canvas.getContext('2d', { alpha: false });
    this.mode = 'fit';
    this.decoding = false;
    this.hasFrame = false;
    this.stats = { received: 0, drawn: 0, dropped: 0, undecodable: 0, mainThreadMs: 0, lastDrawnAt: 0 };
    this.onFirstFrame = null;
    new ResizeObserver(() => this.layout()).observe(stage);
  }

  // A "frame" message; `parseMs` is the main-thread time already spent opening it.
  show(message, parseMs = 0) {
    const started = this.now();
    this.stats.received++;
    if (this.decoding) {
      this.stats.dropped++;
      return;
    }
    const bytes = typeof message.data === 'string' ? base64ToBytes(message.data) : null;
    if (!bytes) {
      this.stats.undecodable++;
      return;
    }
    this.decoding = true;
    let spent = parseMs + (this.now() - started);
    createImageBitmap(new Blob([bytes], { type: 'image/jpeg' })).then((bitmap) => {
      const drawStart = this.now();
      if (this.canvas.width !== bitmap.width || this.canvas.height !== bitmap.height) {
        this.canvas.width = bitmap.width;
        this.canvas.height = bitmap.height;
        this.layout();
      }
      this.context.drawImage(bitmap, 0, 0);
      bitmap.close();
      const end = this.now();
      spent += end - drawStart;
      this.stats.drawn++;
      this.stats.mainThreadMs += spent;
      this.stats.lastDrawnAt = end;
      this.decoding = false;
      if (!this.hasFrame) {
        this.hasFrame = true;
        this.stage.classList.add('has-frame');
        if (this.onFirstFrame) this.onFirstFrame();
      }
    }, () => {
      this.stats.undecodable++;
      this.decoding = false;
    });
  }

  clear() {
    this.hasFrame = false;
    this.stage.classList.remove('has-frame');
  }

  setMode(mode) {
    this.mode = mode;
    this.stage.classList.toggle('actual-size', mode === 'actual');
    this.layout();
  }

  layout() {
    const w = this.canvas.width;
    const h = this.canvas.height;
    if (!w || !h) return;
    if (this.mode === 'actual') {
      this.canvas.style.width = `${w}px`;
      this.canvas.style.height = `${h}px`;
      return;
    }
    const box = this.stage.getBoundingClientRect();
    const scale = Math.min(1, box.width / w, box.height / h);
    this.canvas.style.width = `${Math.floor(w * scale)}px`;
    this.canvas.style.height = `${Math.floor(h * scale)}px`;
  }

  // Frame pixel under a client position, clamped to the frame.
  framePoint(clientX, clientY) {
    const rect = this.canvas.getBoundingClientRect();
    const w = this.canvas.width;
    const h = this.canvas.height;
    const x = Math.floor(((clientX - rect.left) / rect.width) * w);
    const y = Math.floor(((clientY - rect.top) / rect.height) * h);
    return { x: Math.max(0, Math.min(w - 1, x)), y: Math.max(0, Math.min(h - 1, y)) };
  }
}
