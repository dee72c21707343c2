// Real parts for the browser tests, the page benchmark and the demo check: a private Xvfb,
// cvlrelay and cvlhost as child processes, Debian's Chromium driven by playwright-core, and
// the X test window. Every wait is for a condition, with a generous deadline.

import { spawn } from 'node:child_process';
import { mkdtempSync, openSync, readFileSync, rmSync, writeFileSync, closeSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { setTimeout as sleep } from 'node:timers/promises';

export const BUILD_DIR = process.env.CVL_BUILD_DIR ?? path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../../build');
export const BIN_DIR = path.join(BUILD_DIR, 'bin');
const NODE_MODULES = process.env.CVL_NODE_MODULES ?? path.join(BUILD_DIR, 'web-viewer-node', 'node_modules');

// Polls `condition` (sync or async) until it returns a truthy value; throws with `what` after
// `timeoutMs`.
export async function waitFor(what, condition, timeoutMs = 30000, everyMs = 50) {
  const end = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await condition();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what} (last: ${String(last)})`);
    await sleep(everyMs);
  }
}

export function tempDir(prefix = 'cvl-web-') {
  const dir = mkdtempSync(path.join(tmpdir(), prefix));
  return { path: dir, file: (name) => path.join(dir, name), remove: () => rmSync(dir, { recursive: true, force: true }) };
}

// A child process whose output is collected.
export class Child {
  constructor(program, args, { env = {}, stdin = 'ignore' } = {}) {
    this.out = '';
    this.err = '';
    this.exited = null;
    this.proc = spawn(program, args, { env: { ...process.env, ...env }, stdio: [stdin, 'pipe', 'pipe'] });
    this.proc.stdout.on('data', (d) => { this.out += d; });
    this.proc.stderr.on('data', (d) => { this.err += d; });
    this.done = new Promise((resolve) => this.proc.on('exit', (code, signal) => {
      this.exited = { code, signal };
      resolve(this.exited);
    }));
  }

  waitForOut(needle, timeoutMs = 30000) {
    return waitFor(`"${needle}" from ${this.proc.spawnfile}`, () => this.out.includes(needle), timeoutMs);
  }

  waitForErr(needle, timeoutMs = 30000) {
    return waitFor(`"${needle}" in the log of ${this.proc.spawnfile}`, () => this.err.includes(needle), timeoutMs);
  }

  count(needle, text = this.err) {
    return text.split(needle).length - 1;
  }

  async kill(signal = 'SIGKILL') {
    if (this.exited) return this.exited;
    this.proc.kill(signal);
    return this.done;
  }
}

export class Xvfb {
  static async start({ width = 1280, height = 800 } = {}) {
    const dir = tempDir('cvl-xvfb-');
    const fdFile = dir.file('display');
    const fd = openSync(fdFile, 'w+');
    const proc = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', `${width}x${height}x24`, '-nolisten', 'tcp', '-noreset'],
                       { stdio: ['ignore', 'ignore', 'ignore', fd] });
    closeSync(fd);
    const number = await waitFor('Xvfb to report its display', () => {
      const text = readFileSync(fdFile, 'utf8');
      return text.endsWith('\n') ? text.trim() : null;
    }, 30000);
    dir.remove();
    return new Xvfb(proc, `:${number}`);
  }

  constructor(proc, display) {
    this.proc = proc;
    this.display = display;
  }

  async stop() {
    this.proc.kill('SIGKILL');
  }

  // Runs an X client program to completion; its standard output.
  async run(program, args, input) {
    const child = new Child(program, args, { env: { DISPLAY: this.display }, stdin: input === undefined ? 'ignore' : 'pipe' });
    if (input !== undefined) child.proc.stdin.end(input);
    const { code } = await child.done;
    if (code !== 0) throw new Error(`${program} ${args.join(' ')} failed (${code}): ${child.err}`);
    return child.out;
  }

  clipboard() {
    return this.run('xclip', ['-selection', 'clipboard', '-o']).catch(() => '');
  }

  // xclip keeps serving the selection in the background until another client takes it.
  async setClipboard(text) {
    const child = new Child('xclip', ['-selection', 'clipboard', '-i', '-quiet'], { env: { DISPLAY: this.display }, stdin: 'pipe' });
    child.proc.stdin.end(text);
    await waitFor('the clipboard to hold the text', async () => (await this.clipboard()) === text, 20000, 100);
    return child;
  }
}

export class Relay {
  static async start(devices, dir) {
    const relay = new Relay(devices, dir);
    await relay.launch(0);
    return relay;
  }

  constructor(devices, dir) {
    this.dir = dir;
    this.config = dir.file('relay.json');
    writeFileSync(this.config, JSON.stringify({ devices }));
  }

  async launch(port) {
    this.child = new Child(path.join(BIN_DIR, 'cvlrelay'), ['--config', this.config, '--port', String(port)]);
    await this.child.waitForOut('listening on');
    this.url = this.child.out.match(/(ws:\/\/[^\s]+)/)[1];
    this.port = Number(this.url.split(':').pop());
    this.httpUrl = this.url.replace(/^ws/, 'http');
  }

  async kill() {
    await this.child.kill();
  }

  async restart() {
    await this.launch(this.port);
  }
}

export class Host {
  static async start({ relayUrl, display, device, token, dir }) {
    writeFileSync(dir.file('fabric.json'), JSON.stringify({ deviceId: device, deviceToken: token, relayUrl }));
    const host = new Host();
    host.child = new Child(path.join(BIN_DIR, 'cvlhost'), ['run'], {
      env: { FABRIC_CONFIG: dir.file('fabric.json'), DISPLAY: display, CVL_VERBOSE: '1', HOME: dir.path, XDG_CONFIG_HOME: '' },
    });
    await host.child.waitForErr('[fabric] link UP');
    return host;
  }

  // The phrase the host logged last for a client (a relay restart numbers clients afresh).
  phraseFor(clientId) {
    const all = [...this.child.err.matchAll(new RegExp(`\\[fabric\\] client ${clientId} E2E phrase: (.+)`, 'g'))];
    return all.length ? all[all.length - 1][1].trim() : null;
  }

  async stop() {
    await this.child.kill();
  }
}

// The X test window: reports its key and button events as JSON lines.
export class TestWindow {
  static async open(display, { x = 0, y = 0, width = 1280, height = 800, color = '#2080c0', animate = false } = {}) {
    const window = new TestWindow();
    const args = [String(x), String(y), String(width), String(height), color, ...(animate ? ['animate'] : [])];
    window.child = new Child(path.join(BIN_DIR, 'cvl_x_test_window'), args, { env: { DISPLAY: display } });
    await window.child.waitForOut('"ready"');
    return window;
  }

  events() {
    return this.child.out.split('\n').filter((l) => l.startsWith('{')).map((l) => JSON.parse(l));
  }

  // Text typed so far: the characters of the key presses, in order.
  typed() {
    return this.events().filter((e) => e.event === 'key' && e.down).map((e) => e.text).join('');
  }

  async close() {
    await this.child.kill();
  }
}

export function loadPlaywright() {
  const require = createRequire(path.join(NODE_MODULES, 'noop.js'));
  return require('playwright-core');
}

export async function launchChromium() {
  const { chromium } = loadPlaywright();
  return chromium.launch({
    executablePath: process.env.CVL_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
}

export function viewerAddress(relay, { device, token, role }) {
  const fragment = new URLSearchParams({ relay: relay.url, device, token, ...(role ? { role } : {}) });
  return `${relay.httpUrl}/#${fragment}`;
}

// A page that has keyed with the host; returns {page, stats()}.
export async function openViewer(context, relay, login, { confirm = true, size = { width: 1400, height: 900 } } = {}) {
  const page = await context.newPage();
  await page.setViewportSize(size);
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  await page.goto(viewerAddress(relay, login));
  const viewer = { page, errors, stats: () => page.evaluate(() => window.cvlViewer.stats()) };
  await waitFor('the page to agree keys', async () => (await viewer.stats()).keyed, 60000);
  if (confirm) {
    await page.getByRole('button', { name: /It matches/ }).click();
    await waitFor('input to be allowed', async () => (await viewer.stats()).confirmed, 30000);
  }
  return viewer;
}

export const DEVICE = 'web-e2e';
export const DEVICE_TOKEN = 'host+tok/en=';
export const VIEWER_TOKEN = 'viewer secret+1';

// Xvfb, relay, host and a browser for one test; close() ends them all.
export async function startStack({ width = 1280, height = 800, beforeHost } = {}) {
  const dir = tempDir();
  const stack = { dir, windows: [] };
  stack.close = async () => {
    for (const w of stack.windows) await w.close();
    if (stack.browser) await stack.browser.close();
    if (stack.host) await stack.host.stop();
    if (stack.relay) await stack.relay.kill();
    if (stack.x) await stack.x.stop();
    dir.remove();
  };
  try {
    stack.x = await Xvfb.start({ width, height });
    if (beforeHost) await beforeHost(stack.x);
    stack.relay = await Relay.start([{ deviceId: DEVICE, token: DEVICE_TOKEN,
                                       viewers: [{ token: VIEWER_TOKEN, roles: ['*'] }] }], dir);
    stack.host = await Host.start({ relayUrl: stack.relay.url, display: stack.x.display, device: DEVICE,
                                    token: DEVICE_TOKEN, dir });
    stack.browser = await launchChromium();
    stack.context = await stack.browser.newContext();
    stack.login = (role) => ({ device: DEVICE, token: VIEWER_TOKEN, role });
    stack.window = async (options) => {
      const w = await TestWindow.open(stack.x.display, options);
      stack.windows.push(w);
      return w;
    };
    stack.viewer = (role, options) => openViewer(stack.context, stack.relay, stack.login(role), options);
  } catch (e) {
    await stack.close();
    throw e;
  }
  return stack;
}

// Clicks the pixel (x, y) of the frame shown on the page's canvas.
export async function clickFramePixel(page, x, y, options = {}) {
  const at = await framePixelPosition(page, x, y);
  await page.mouse.click(at.x, at.y, options);
}

export async function framePixelPosition(page, x, y) {
  return page.evaluate(([fx, fy]) => {
    const canvas = document.getElementById('screen');
    const r = canvas.getBoundingClientRect();
    return { x: r.left + ((fx + 0.5) * r.width) / canvas.width, y: r.top + ((fy + 0.5) * r.height) / canvas.height };
  }, [x, y]);
}

// The colour [r, g, b] of a frame pixel as the canvas shows it.
export async function canvasColor(page, x, y) {
  return page.evaluate(([fx, fy]) => {
    const copy = document.createElement('canvas');
    copy.width = 1;
    copy.height = 1;
    const context = copy.getContext('2d');
    context.drawImage(document.getElementById('screen'), fx, fy, 1, 1, 0, 0, 1, 1);
    return [...context.getImageData(0, 0, 1, 1).data.slice(0, 3)];
  }, [x, y]);
}

// True when `color` is within `tolerance` of `expected` in every channel (JPEG is lossy);
// throws with the colour seen otherwise, so that a timed-out wait names it.
export function near(color, expected, tolerance = 16) {
  if (color.every((c, i) => Math.abs(c - expected[i]) <= tolerance)) return true;
  throw new Error(`colour ${color.join(',')}, not ${expected.join(',')}`);
}

export async function waitForDrawnFrames(viewer, more = 1, timeoutMs = 30000) {
  const start = (await viewer.stats()).drawn;
  return waitFor(`${more} more drawn frames`, async () => (await viewer.stats()).drawn >= start + more, timeoutMs);
}
