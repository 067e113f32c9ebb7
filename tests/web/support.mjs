// What the tests of the bridge's faces in Node.js share: waiting for an event with a generous
// timeout, a free port on loopback, and the processes a test starts, stopped at its end.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';

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
