// The page against the real relay and host: keys, shows the host's phrase, draws the screen,
// and sends input only once the person has confirmed the phrase.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import {
  BIN_DIR, BUILD_DIR, canvasColor, Child, clickFramePixel, DEVICE, near, openViewer, startStack, VIEWER_TOKEN,
  waitFor, waitForDrawnFrames,
} from '../support/harness.mjs';

test('keys with the host, shows its phrase, draws its screen, and waits for the confirmation before input', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const window = await s.window({ color: '#2080c0' });
  const viewer = await s.viewer('owner', { confirm: false });
  const { page } = viewer;

  // The phrase is shown large, and it is the one the host logged for this client.
  const stats = await viewer.stats();
  const hostPhrase = await waitFor('the host to log the phrase', () => s.host.phraseFor(stats.clientId));
  assert.equal(stats.phrase, hostPhrase);
  const [words, digits] = hostPhrase.split(' / ');
  assert.equal(await page.locator('#trust-words').textContent(), words.replaceAll('-', ' '));
  assert.equal(await page.locator('#trust-digits').textContent(), digits);
  assert.ok(await page.getByRole('dialog').isVisible());
  assert.match(await page.locator('#status-text').textContent(), /compare the verification phrase/);

  // Frames arrive with the screen's colours (away from the pointer, which starts mid-screen).
  await waitForDrawnFrames(viewer, 2);
  const drawn = await viewer.stats();
  assert.deepEqual([drawn.frameWidth, drawn.frameHeight], [1280, 800]);
  await waitFor('the canvas to show the window colour', async () => near(await canvasColor(page, 400, 300), [0x20, 0x80, 0xc0]));

  // Input waits for the person's confirmation.
  assert.equal((await viewer.stats()).inputAllowed, false);
  await page.getByRole('button', { name: /It matches/ }).click();
  await waitFor('the dialog to close', async () => !(await page.getByRole('dialog').isVisible()));
  assert.equal((await viewer.stats()).confirmed, true);
  await clickFramePixel(page, 300, 200);
  const click = await waitFor('the click in the X window', () => window.events().find((e) => e.event === 'button'));
  assert.deepEqual([click.x, click.y, click.button], [300, 200, 1]);
  assert.match(await page.locator('#status-text').textContent(), /You are in control/);
  assert.deepEqual(viewer.errors, []);
});

test('a click before the confirmation is never sent', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const window = await s.window({ color: '#304050' });
  const viewer = await s.viewer('owner', { confirm: false });
  const { page } = viewer;
  await waitForDrawnFrames(viewer, 1);
  // The dialog covers the middle; click a corner of the screen it leaves free.
  await page.evaluate(() => { document.getElementById('trust').style.pointerEvents = 'none'; });
  await clickFramePixel(page, 20, 780);
  await page.evaluate(() => { document.getElementById('trust').style.pointerEvents = ''; });
  await page.getByRole('button', { name: /It matches/ }).click();
  await clickFramePixel(page, 40, 760);
  const first = await waitFor('a click in the X window', () => window.events().find((e) => e.event === 'button'));
  assert.deepEqual([first.x, first.y], [40, 760]);
});

test('the page served at / is the one whose hash cvlrelay prints, and it also works from disk', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const response = await fetch(`${s.relay.httpUrl}/`);
  assert.equal(response.status, 200);
  assert.match(response.headers.get('content-type'), /^text\/html/);
  assert.match(response.headers.get('content-security-policy'), /script-src 'sha256-[^']+'; .*frame-ancestors 'none'/);
  const served = Buffer.from(await response.arrayBuffer());
  const hash = new Child(path.join(BIN_DIR, 'cvlrelay'), ['--viewer-sha256']);
  await hash.done;
  const builtFile = path.join(BUILD_DIR, 'web-viewer', 'corvello-viewer.html');
  assert.equal(hash.out.trim(), createHash('sha256').update(served).digest('hex'));
  assert.deepEqual(served, readFileSync(builtFile));

  // From disk, with everything in the fragment.
  const fragment = new URLSearchParams({ relay: s.relay.url, device: DEVICE, token: VIEWER_TOKEN, role: 'viewer' });
  const page = await s.context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.goto(`file://${builtFile}#${fragment}`);
  await waitFor('the page from disk to key', () => page.evaluate(() => window.cvlViewer.stats().keyed));
  assert.match(await page.locator('#status-text').textContent(), /compare the verification phrase/);

  // Without a fragment the page asks; a watch-only role never offers control.
  const asked = await s.context.newPage();
  await asked.goto(`${s.relay.httpUrl}/`);
  assert.ok(await asked.locator('#connect').isVisible());
  assert.equal(await asked.locator('#f-relay').inputValue(), s.relay.url);
  await asked.locator('#f-device').fill(DEVICE);
  await asked.locator('#f-token').fill(VIEWER_TOKEN);
  await asked.locator('#f-role').selectOption('viewer');
  await asked.getByRole('button', { name: 'Connect' }).click();
  await waitFor('the asked page to key', () => asked.evaluate(() => window.cvlViewer.stats().keyed));
  await asked.getByRole('button', { name: /It matches/ }).click();
  await waitFor('the watcher status', async () => /Watching/.test(await asked.locator('#status-text').textContent()));
  assert.equal(await asked.locator('#btn-control').isVisible(), false);
  assert.match(asked.url(), /#relay=.*device=.*token=/);
  assert.deepEqual(errors, []);

  // A wrong token is refused by the relay; the page says so and keeps trying.
  const refused = await openViewerExpectingRefusal(s);
  assert.match(refused, /refused this device or token/);
});

async function openViewerExpectingRefusal(s) {
  const page = await s.context.newPage();
  const fragment = new URLSearchParams({ relay: s.relay.url, device: DEVICE, token: 'wrong', role: 'owner' });
  await page.goto(`${s.relay.httpUrl}/#${fragment}`);
  return waitFor('the refusal on the status line', async () => {
    const text = await page.locator('#status').textContent();
    return /refused/.test(text) ? text : null;
  });
}

export { openViewer };
