// Input from the page reaches an X window on the host: clicks where they were made, typed
// text through the character path (also what a French layout and composed text give),
// shortcuts through the virtual-key path, and nothing stays held when the page loses focus.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { clickFramePixel, startStack, waitFor, waitForDrawnFrames } from '../support/harness.mjs';

const CONTROL_MASK = 4;
const ALT_MASK = 8;  // Mod1

test('clicks, text, accented characters and shortcuts reach the host; focus loss releases held keys', async (t) => {
  const s = await startStack();
  t.after(() => s.close());
  const window = await s.window({ color: '#406080' });
  const viewer = await s.viewer('owner');
  const { page } = viewer;
  await waitForDrawnFrames(viewer, 1);
  const keys = () => window.events().filter((e) => e.event === 'key');

  // A left click and a right click, at the frame pixels where they were made.
  await clickFramePixel(page, 200, 150);
  await clickFramePixel(page, 900, 600, { button: 'right' });
  await waitFor('four button events', () => window.events().filter((e) => e.event === 'button').length >= 4);
  assert.deepEqual(window.events().filter((e) => e.event === 'button').map((e) => [e.button, e.down, e.x, e.y]),
                   [[1, true, 200, 150], [1, false, 200, 150], [3, true, 900, 600], [3, false, 900, 600]]);

  // Plain text goes as characters.
  await page.keyboard.type('Hi there');
  await waitFor('the typed text', () => window.typed() === 'Hi there');

  // A French keyboard's 2 key prints é: the character goes, not the key.
  const cdp = await page.context().newCDPSession(page);
  const french = { code: 'Digit2', key: 'é', text: 'é', unmodifiedText: 'é', windowsVirtualKeyCode: 50 };
  await cdp.send('Input.dispatchKeyEvent', { type: 'keyDown', ...french });
  await cdp.send('Input.dispatchKeyEvent', { type: 'keyUp', ...french });
  await waitFor('é in the window', () => window.typed() === 'Hi thereé');
  // Text a dead key or an input method composed arrives as characters too.
  await page.keyboard.insertText('ü');
  await waitFor('ü in the window', () => window.typed() === 'Hi thereéü');

  // Ctrl+A goes as virtual keys: the window sees the a key with Control held.
  const before = keys().length;
  await page.keyboard.press('Control+a');
  const ctrlA = await waitFor('Ctrl+A', () => keys().slice(before).find((e) => e.keysym === 'a' && e.down));
  assert.ok(ctrlA.state & CONTROL_MASK, `state ${ctrlA.state}`);
  await waitFor('Control released', () => keys().slice(before).some((e) => e.keysym === 'Control_L' && !e.down));

  // The menu sends the keys a browser keeps to itself.
  const beforeMenu = keys().length;
  await page.getByRole('button', { name: /Keys/ }).click();
  await page.getByRole('menuitem', { name: 'Ctrl+Alt+Del' }).click();
  const del = await waitFor('Delete with Control and Alt', () =>
    keys().slice(beforeMenu).find((e) => e.keysym === 'Delete' && e.down));
  assert.ok(del.state & CONTROL_MASK && del.state & ALT_MASK, `state ${del.state}`);
  await waitFor('all three released', () => ['Control_L', 'Alt_L', 'Delete'].every((k) =>
    keys().slice(beforeMenu).some((e) => e.keysym === k && !e.down)));

  // A key held while the page loses focus is released on the host.
  await page.keyboard.down('Shift');
  await waitFor('Shift down on the host', () => keys().some((e) => e.keysym === 'Shift_L' && e.down));
  await page.evaluate(() => window.dispatchEvent(new Event('blur')));
  await waitFor('Shift released on the host', () => keys().some((e) => e.keysym === 'Shift_L' && !e.down));
  await page.keyboard.up('Shift');
  assert.deepEqual(viewer.errors, []);
});
