// The panel's web page in Debian's Chromium: from the request to a usable window (the
// WebSocket's snapshot shown), over fresh loads with an empty cache, and what the page weighs.
// Uses tests/web's npm packages; the bridge and the simulator come from BUILD (default build).
// Usage: node bench/web_load.mjs [BUILD] [LOADS]

import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const root = resolve(new URL('..', import.meta.url).pathname);
const { chromium } = createRequire(join(root, 'tests/web/package.json'))('playwright-core');
const build = resolve(process.argv[2] ?? join(root, 'build'));
const loads = Number(process.argv[3] ?? 20);
const dir = mkdtempSync(join(tmpdir(), 'qv7-web-load-'));
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));
const port = await new Promise((done) => {
  const server = createServer().listen(0, '127.0.0.1', () => {
    const { port: free } = server.address();
    server.close(() => done(free));
  });
});

const sim = spawn(join(build, 'sim/qv7-projector-sim'), ['--link', join(dir, 'hall')]);
while (!existsSync(join(dir, 'hall'))) await sleep(20);
writeFileSync(join(dir, 'inventory.ini'), `[hall]\nport = ${join(dir, 'hall')}\n`);
const bridge = spawn(join(build, 'qv7-bridge'),
  ['--inventory', join(dir, 'inventory.ini'), '--web', String(port)], { stdio: 'ignore' });
const url = `http://127.0.0.1:${port}/projector/hall`;
for (;;) {
  try {
    if ((await fetch(url)).ok) break;
  } catch {
    await sleep(50);
  }
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'],
});
const times = [];
let bytes = 0;
for (let n = 0; n < loads; ++n) {
  const context = await browser.newContext();
  const page = await context.newPage();
  const bodies = [];
  page.on('response', (response) => bodies.push(response.body().catch(() => Buffer.alloc(0))));
  const start = performance.now();
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('link').dataset.state !== undefined);
  times.push(performance.now() - start);
  bytes = (await Promise.all(bodies)).reduce((sum, body) => sum + body.length, 0);
  await context.close();
}
await browser.close();
bridge.kill('SIGTERM');
sim.kill('SIGTERM');
rmSync(dir, { recursive: true, force: true });

times.sort((a, b) => a - b);
const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))];
console.log(`the panel's web page, ${loads} fresh loads in Debian's Chromium on loopback`);
console.log(`request to a usable window: median ${at(0.5).toFixed(1)} ms, ` +
  `p90 ${at(0.9).toFixed(1)} ms, max ${times[times.length - 1].toFixed(1)} ms`);
console.log(`the page with its scripts and styles: ${(bytes / 1024).toFixed(1)} KiB`);
