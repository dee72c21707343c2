// The web viewer's own cost, in Debian's Chromium against the real relay and host on a
// 1920x1080 Xvfb whose picture changes all the time, with the host asked for 30 frames per
// second at quality 60. Reports, over one measured stretch of one run:
//   - frames per second the page received and drew;
//   - main-thread milliseconds per drawn frame from arrival to drawn: opening the message,
//     base64, starting the decode, drawing (the page's own count), and all main-thread task
//     time per frame as Chromium counts it;
//   - the host's CPU milliseconds per frame (capture, scale, encode, seal, send), and the ratio.
// Run: cmake --build build --target bench_web_viewer   (or node bench/web_viewer_page.mjs)
import { readFileSync } from 'node:fs';
import { setTimeout as sleep } from 'node:timers/promises';

import {
  Host, launchChromium, openViewer, Relay, tempDir, TestWindow, waitFor, Xvfb,
} from '../tests/web-viewer/support/harness.mjs';

const WARM_UP_MS = Number(process.env.CVL_BENCH_WARMUP_MS ?? 4000);
const MEASURE_MS = Number(process.env.CVL_BENCH_MEASURE_MS ?? 15000);
const TICKS_PER_SECOND = 100;  // USER_HZ on Linux

function cpuMs(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / TICKS_PER_SECOND;  // utime + stime
}

const dir = tempDir('cvl-bench-');
const x = await Xvfb.start({ width: 1920, height: 1080 });
const cleanup = [];
try {
  const screen = await TestWindow.open(x.display, { width: 1920, height: 1080, animate: true });
  cleanup.push(() => screen.close());
  const relay = await Relay.start([{ deviceId: 'bench', token: 'bench-host', viewers: [{ token: 'bench-view', roles: ['*'] }] }], dir);
  cleanup.push(() => relay.kill());
  const host = await Host.start({ relayUrl: relay.url, display: x.display, device: 'bench', token: 'bench-host', dir });
  cleanup.push(() => host.stop());
  const browser = await launchChromium();
  cleanup.push(() => browser.close());
  const context = await browser.newContext();
  const viewer = await openViewer(context, relay, { device: 'bench', token: 'bench-view', role: 'owner' },
                                  { size: { width: 1920, height: 1200 } });
  const { page } = viewer;
  await page.evaluate(() => window.cvlViewer.sendSettings({ fps: 30, quality: 60, maxEdge: 0 }));
  await waitFor('1080p frames', async () => (await viewer.stats()).frameWidth === 1920);
  const cdp = await context.newCDPSession(page);
  await cdp.send('Performance.enable');
  const taskMs = async () => {
    const { metrics } = await cdp.send('Performance.getMetrics');
    return metrics.find((m) => m.name === 'TaskDuration').value * 1000;
  };
  await sleep(WARM_UP_MS);

  const s0 = await viewer.stats();
  const t0 = await taskMs();
  const h0 = cpuMs(host.child.proc.pid);
  const w0 = Date.now();
  await sleep(MEASURE_MS);
  const s1 = await viewer.stats();
  const t1 = await taskMs();
  const h1 = cpuMs(host.child.proc.pid);
  const seconds = (Date.now() - w0) / 1000;

  const received = s1.received - s0.received;
  const drawn = s1.drawn - s0.drawn;
  const pageMs = (s1.mainThreadMs - s0.mainThreadMs) / drawn;
  const taskPerFrame = (t1 - t0) / drawn;
  const hostMs = (h1 - h0) / received;
  const row = (label, value) => console.log(`${label.padEnd(52)} ${value}`);
  console.log(`web viewer page, 1920x1080, host asked for 30 fps at quality 60, ${seconds.toFixed(1)} s measured`);
  row('frames received per second', (received / seconds).toFixed(1));
  row('frames drawn per second', (drawn / seconds).toFixed(1));
  row('frames dropped while the previous one decoded', String(s1.dropped - s0.dropped));
  row('page main thread per drawn frame (open, decode, draw)', `${pageMs.toFixed(2)} ms`);
  row('all main-thread tasks per drawn frame (Chromium)', `${taskPerFrame.toFixed(2)} ms`);
  row('host CPU per frame sent (capture, encode, seal, send)', `${hostMs.toFixed(2)} ms`);
  row('page main thread / host CPU per frame', (pageMs / hostMs).toFixed(2));
  row('all main-thread tasks / host CPU per frame', (taskPerFrame / hostMs).toFixed(2));
} finally {
  for (const step of cleanup.reverse()) await step().catch(() => {});
  await x.stop();
  dir.remove();
}
