// What the tests of the bridge's faces in Node.js share: waiting for an event with a generous
// timeout, a free port on loopback, the processes a test starts, stopped at its end, and
// Debian's Chromium.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { chromium } from 'playwright-core';

export const timeout = 10000;

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function until(what, check) {
  const end = Date.now() + timeout;
  while (Date.now() < end) {
    if (await check()) return;
    await sleep(50);
  }
  assert.fail('gave up waiting for ' + what);
}

export function freePort() {
  return new Promise((resolve) => {
    const server = createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const processes = [];

export function start(program, args, stdio = ['ignore', 'pipe', 'pipe']) {
  const child = spawn(program, args, { stdio });
  processes.push(child);
  return child;
}

// The last started first: the bridge before the simulators and the broker it uses.
export function stopAll() {
  for (const child of processes.reverse()) child.kill('SIGTERM');
}

// Debian's Chromium, headless, which reaches out to nothing but the pages under test.
export function launchChromium() {
  return chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}
