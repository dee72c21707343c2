// The page survives a relay restart (it reconnects and keys afresh, and asks for the new
// phrase), and a tampered envelope is dropped and counted, never shown.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  canvasColor, clickFramePixel, near, startStack, viewerAddress, waitFor, waitForDrawnFrames,
} from '../support/harness.mjs';

test('a relay killed and restarted: the page reconnects, keys again and asks for the new phrase', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const window = await s.window({ color: '#446688' });
  const viewer = await s.viewer('owner');
  const { page } = viewer;
  await waitForDrawnFrames(viewer, 1);
  const firstPhrase = (await viewer.stats()).phrase;

  await s.relay.kill();
  await waitFor('the page to notice', async () =>
    /Connection lost|Cannot reach the relay/.test(await page.locator('#status-text').textContent()));
  assert.equal((await viewer.stats()).inputAllowed, false);
  await s.relay.restart();

  // The host rejoins on its own (every 4 s); the page keys with the new host record.
  await waitFor('the page to key again', async () => {
    const st = await viewer.stats();
    return st.keyed && st.phrase && st.phrase !== firstPhrase;
  }, 60000);
  const again = await viewer.stats();
  await waitFor('the host to log the same new phrase', () => s.host.phraseFor(again.clientId) === again.phrase);
  assert.ok(await page.getByRole('dialog').isVisible(), 'new keys need a new confirmation');
  assert.equal(again.confirmed, false);
  await page.getByRole('button', { name: /It matches/ }).click();
  await waitForDrawnFrames(viewer, 1);
  await clickFramePixel(page, 111, 222);
  const click = await waitFor('the click after the restart', () => window.events().find((e) => e.event === 'button'));
  assert.deepEqual([click.x, click.y], [111, 222]);
});

test('a tampered envelope is dropped and counted, never shown', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  let tamper = false;
  const page = await s.context.newPage();
  await page.setViewportSize({ width: 1400, height: 900 });
  // Between the page and the relay: flip one bit of every sealed host message while asked to.
  await page.routeWebSocket(/\/view\?/, (ws) => {
    const server = ws.connectToServer();
    ws.onMessage((m) => server.send(m));
    server.onMessage((m) => {
      if (tamper && typeof m !== 'string' && m[0] === 2) {
        m = Buffer.from(m);
        m[m.length - 1] ^= 0x01;
      }
      ws.send(m);
    });
  });
  await page.goto(viewerAddress(s.relay, s.login('owner')));
  const stats = () => page.evaluate(() => window.cvlViewer.stats());
  await waitFor('keys', async () => (await stats()).keyed);
  let blue = await s.window({ color: '#2050d0' });
  await waitFor('the blue screen', async () => near(await canvasColor(page, 200, 200), [0x20, 0x50, 0xd0]));
  assert.equal((await stats()).rejectedEnvelopes, 0);

  tamper = true;
  const before = (await stats()).rejectedEnvelopes;
  await blue.close();
  blue = await s.window({ color: '#d03020' });
  // Frames keep coming and are all dropped: the picture stays blue.
  await waitFor('tampered envelopes to be counted', async () => (await stats()).rejectedEnvelopes >= before + 5);
  assert.ok(near(await canvasColor(page, 200, 200), [0x20, 0x50, 0xd0]));
  const shown = await page.locator('#conn-dropped').textContent();
  assert.ok(Number(shown) >= before + 5, `the panel says ${shown}`);

  tamper = false;
  await waitFor('the red screen once the envelopes are genuine', async () =>
    near(await canvasColor(page, 200, 200), [0xd0, 0x30, 0x20]));
});
