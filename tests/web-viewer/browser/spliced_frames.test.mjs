// Frames spliced from changed rows (restart markers after every 16-pixel row, most rows kept
// from earlier frames) decode in Chromium exactly as the browser viewer decodes frames
// (createImageBitmap), to the pixels TurboJPEG gives for the same bytes.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { BIN_DIR, launchChromium, tempDir } from '../support/harness.mjs';

test('spliced frames decode in Chromium to the reference pixels', async (t) => {
  const dir = tempDir('cvl-spliced-');
  t.after(() => dir.remove());
  execFileSync(path.join(BIN_DIR, 'cvl_spliced_jpeg'), [dir.path]);
  const browser = await launchChromium();
  t.after(() => browser.close());
  const page = await browser.newPage();

  for (const name of ['screen', 'odd', 'small']) {
    const info = JSON.parse(readFileSync(dir.file(`${name}.json`), 'utf8'));
    assert.ok(info.rowsEncoded > 0 && info.rowsEncoded < info.rows, `${name}: a spliced frame`);
    const jpeg = readFileSync(dir.file(`${name}.jpg`)).toString('base64');
    const reference = readFileSync(dir.file(`${name}.bgra`)).toString('base64');
    const result = await page.evaluate(async ({ jpeg, reference }) => {
      const bytes = Uint8Array.from(atob(jpeg), (c) => c.charCodeAt(0));
      const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/jpeg' }));
      const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
      const context = canvas.getContext('2d');
      context.drawImage(bitmap, 0, 0);
      const rgba = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
      const bgra = Uint8Array.from(atob(reference), (c) => c.charCodeAt(0));
      let max = 0;
      let sum = 0;
      for (let i = 0; i < rgba.length; i += 4) {
        for (const [ours, theirs] of [[rgba[i], bgra[i + 2]], [rgba[i + 1], bgra[i + 1]], [rgba[i + 2], bgra[i]]]) {
          const d = Math.abs(ours - theirs);
          max = Math.max(max, d);
          sum += d;
        }
      }
      return { width: bitmap.width, height: bitmap.height, max, mean: sum / (rgba.length / 4 * 3) };
    }, { jpeg, reference });
    assert.deepEqual([result.width, result.height], [info.width, info.height], name);
    // The same decoder family: at most a level of difference from rounding in the colour
    // conversion; a broken splice would show as whole rows of wrong colour.
    assert.ok(result.max <= 2, `${name}: largest difference ${result.max}`);
    assert.ok(result.mean < 0.5, `${name}: mean difference ${result.mean}`);
  }
});
