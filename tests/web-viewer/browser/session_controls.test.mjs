// Everything else the host offers, used from the page as a person would: picture size,
// view-only, the monitor, the clipboard both ways, and handing control between two pages.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { clickFramePixel, startStack, waitFor, waitForDrawnFrames } from '../support/harness.mjs';

const frameSize = async (viewer) => {
  const s = await viewer.stats();
  return `${s.frameWidth}x${s.frameHeight}`;
};

test('the monitor and view-only settings take effect on the host', async (t) => {
  const s = await startStack({
    beforeHost: async (x) => {
      await x.run('xrandr', ['--setmonitor', 'left', '800/200x800/200+0+0', 'screen']);
      await x.run('xrandr', ['--setmonitor', 'right', '480/120x800/200+800+0', 'none']);
    },
  });
  t.after(() => s.close());
  const window = await s.window({ color: '#507050' });
  const viewer = await s.viewer('owner');
  const { page } = viewer;
  await page.getByRole('button', { name: 'Session' }).click();
  await waitForDrawnFrames(viewer, 1);
  await waitFor('the first screen', async () => (await frameSize(viewer)) === '800x800');

  // The monitors report fills the screen list; picking the second one switches the picture.
  await waitFor('two screens to choose from', async () => (await page.locator('#set-monitor option').count()) === 2);
  assert.match(await page.locator('#set-monitor option').nth(1).textContent(), /Screen 2 — 480 × 800/);
  await page.locator('#set-monitor').selectOption('1');
  await waitFor('frames of the second screen', async () => (await frameSize(viewer)) === '480x800');

  await page.locator('#set-monitor').selectOption('0');
  await waitFor('frames of the first screen again', async () => (await frameSize(viewer)) === '800x800');

  // View-only: the host drops input while it is on; the page says so.
  await page.locator('#opt-viewonly').check();
  await waitFor('view-only from the host', async () => (await viewer.stats()).viewOnly);
  assert.match(await page.locator('#status-text').textContent(), /View only/);
  await clickFramePixel(page, 10, 10);
  await page.locator('#opt-viewonly').uncheck();
  await waitFor('view-only off', async () => !(await viewer.stats()).viewOnly);
  await clickFramePixel(page, 30, 40);
  const first = await waitFor('a click in the X window', () => window.events().find((e) => e.event === 'button'));
  assert.deepEqual([first.x, first.y], [30, 40]);
  assert.deepEqual(viewer.errors, []);
});

test('the smaller picture size scales the frames', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const viewer = await s.viewer('owner');
  const { page } = viewer;
  await page.getByRole('button', { name: 'Session' }).click();
  await waitFor('full-size frames', async () => (await frameSize(viewer)) === '1280x800');
  await page.locator('#set-size').selectOption('960');
  await waitFor('frames at most 960 wide', async () => (await frameSize(viewer)) === '960x600');
  // Clicks still land on the host's own pixels.
  const window = await s.window({ color: '#605040' });
  await clickFramePixel(page, 480, 300);
  const click = await waitFor('the click', () => window.events().find((e) => e.event === 'button'));
  assert.deepEqual([click.x, click.y], [640, 400]);
});

test('the clipboard goes both ways', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  await s.context.grantPermissions(['clipboard-read', 'clipboard-write']);
  const viewer = await s.viewer('owner');
  const { page } = viewer;
  await page.getByRole('button', { name: 'Session' }).click();

  const server = await s.x.setClipboard('from the host ✓');
  t.after(() => server.kill());
  await page.getByRole('button', { name: 'Get the host\'s' }).click();
  await waitFor('the host clipboard in the box', async () => (await page.locator('#clip-text').inputValue()) === 'from the host ✓');
  await waitFor('the host clipboard on this computer', async () =>
    (await page.evaluate(() => navigator.clipboard.readText())) === 'from the host ✓');

  await page.locator('#clip-text').fill('from the page — é');
  await page.getByRole('button', { name: 'Send to the host' }).click();
  await waitFor('the page text on the host', async () => (await s.x.clipboard()) === 'from the page — é');
  await waitFor('the confirmation', async () => /Sent to the host/.test(await page.locator('#clip-note').textContent()));
});

test('control passes between two pages, and only the controller drives', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const window = await s.window({ color: '#705060' });
  const owner = await s.viewer('owner');
  const helper = await s.viewer('trusted');
  for (const v of [owner, helper]) await v.page.getByRole('button', { name: 'Session' }).click();

  await waitFor('the owner in control', async () => (await owner.stats()).driving);
  // The owner drives for a while, so the host's input numbering has moved on.
  await clickFramePixel(owner.page, 20, 30);
  await owner.page.keyboard.type('abc');
  await waitFor('the owner\'s input', () => window.typed() === 'abc');
  const buttons = () => window.events().filter((e) => e.event === 'button');
  await waitFor('the second page watching', async () =>
    /Watching — Remote \(owner\) is in control/.test(await helper.page.locator('#status-text').textContent()));
  assert.equal((await helper.stats()).inputAllowed, false);

  // The second page takes control; both see one participant in control.
  await helper.page.getByRole('button', { name: 'Take control' }).click();
  await waitFor('the second page in control', async () => (await helper.stats()).driving);
  await waitFor('the owner no longer in control', async () => !(await owner.stats()).driving);
  for (const v of [owner, helper]) {
    await waitFor('one participant in control', async () => (await v.page.locator('#participants .badge').count()) === 1);
    assert.match(await v.page.locator('#participants li', { has: v.page.locator('.badge') }).textContent(), /Remote \(trusted\)/);
  }
  await clickFramePixel(owner.page, 50, 50);   // not sent: the owner no longer drives
  await clickFramePixel(helper.page, 60, 70);
  const next = await waitFor('the helper\'s click', () => buttons()[2]);
  assert.deepEqual([next.x, next.y], [60, 70]);

  // The owner reclaims it, and drives again; then passes it back to the helper by name.
  await owner.page.getByRole('button', { name: 'Reclaim control' }).click();
  await waitFor('the owner in control again', async () => (await owner.stats()).driving);
  await clickFramePixel(owner.page, 80, 90);
  const reclaimed = await waitFor('the owner\'s click after reclaiming', () => buttons()[4]);
  assert.deepEqual([reclaimed.x, reclaimed.y], [80, 90]);
  await owner.page.getByRole('button', { name: 'Pass control' }).click();
  await waitFor('the helper in control again', async () => (await helper.stats()).driving);
  assert.deepEqual([...owner.errors, ...helper.errors], []);
});
