// The bridge's web pages in Debian's Chromium, driven by playwright-core, against the bridge,
// a simulated projector on a pseudo-terminal and mosquitto, all on loopback: the login, a
// click and a hold and their bytes on the line, a page that goes away mid-hold, a command from
// the broker seen on the page, a page in the background, a foreign page refused, axe-core's
// findings, and a phone.
//
// Run by CTest with QV7BRIDGE and QV7SIM naming the programs; QV7_SCREENSHOTS, when set, is
// where the phone's and the desktop's screenshots go.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { freePort, launchChromium, sleep, start, stopAll, timeout, until } from './support.mjs';

const require = createRequire(import.meta.url);
const axeSource = readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');
const dir = mkdtempSync(join(tmpdir(), 'qv7-web-'));
let browser;
let webPort;
let brokerPort;
let simLog = '';

// Commands the projector took, as the simulator logs them: "C09" for "in  C 0 9 CR".
function taken(code) {
  const spaced = code.split('').join(' ');
  return simLog.split('\n').filter((line) => line.endsWith('in  ' + spaced + ' CR')).length;
}

const url = (path) => `http://127.0.0.1:${webPort}${path}`;

async function logIn(context, password = 'sesame') {
  const page = await context.newPage();
  await page.goto(url('/projector/hall'));
  await page.getByLabel('Password').fill(password);
  await page.getByRole('button', { name: 'Log in' }).click();
  return page;
}

async function panel(context) {
  const page = await logIn(context);
  await page.goto(url('/projector/hall'));
  await until('the snapshot', async () => (await page.locator('#link').textContent()).includes('link up'));
  return page;
}

// The projector switched on, then a volume button held down with the mouse until the line has
// carried its code more than sends times.
async function holdDown(page, name, code, sends) {
  await page.getByRole('button', { name: 'POWER ON' }).click();
  await until('power on', async () => (await page.locator('#link').textContent()).includes('power on'));
  await page.getByRole('button', { name }).hover();
  const before = taken(code);
  await page.mouse.down();
  await until('the volume repeating', () => taken(code) >= before + sends);
}

async function seriousFindings(page) {
  await page.addScriptTag({ content: axeSource });
  const results = await page.evaluate(() => window.axe.run());
  return results.violations
    .filter((violation) => violation.impact === 'serious' || violation.impact === 'critical')
    .map((violation) => `${violation.id}: ${violation.nodes.map((node) => node.target).join(' ')}`);
}

before(async () => {
  brokerPort = await freePort();
  webPort = await freePort();
  writeFileSync(join(dir, 'mosquitto.conf'),
    `listener ${brokerPort} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
  start('mosquitto', ['-c', join(dir, 'mosquitto.conf')]);
  const sim = start(process.env.QV7SIM, ['--link', join(dir, 'hall'), '--warm-up', '1']);
  sim.stdout.on('data', (data) => { simLog += data; });
  await until('the simulator', () => existsSync(join(dir, 'hall')));
  writeFileSync(join(dir, 'inventory.ini'), `[hall]\nport = ${join(dir, 'hall')}\n`);
  writeFileSync(join(dir, 'password'), 'sesame\n');
  start(process.env.QV7BRIDGE, ['--inventory', join(dir, 'inventory.ini'), '--broker',
    `mqtt://127.0.0.1:${brokerPort}`, '--web', String(webPort), '--web-password-file',
    join(dir, 'password')]);
  browser = await launchChromium();
  await until('the bridge', async () => {
    try {
      return (await fetch(url('/login'))).ok;
    } catch {
      return false;
    }
  });
});

after(async () => {
  await browser?.close();
  stopAll();
  rmSync(dir, { recursive: true, force: true });
});

describe('the login', () => {
  test('a wrong password is refused and says so', async () => {
    const context = await browser.newContext();
    const page = await logIn(context, 'open');
    await until('the refusal', async () => (await page.getByRole('alert').count()) === 1);
    assert.match(await page.getByRole('alert').textContent(), /wrong/);
    assert.deepEqual(await context.cookies(), []);
    await context.close();
  });

  test('the right one opens the list, live', async () => {
    const context = await browser.newContext();
    const page = await logIn(context);
    await until('the list', () => page.url() === url('/'));
    const power = page.locator('tr[data-projector="hall"] td[data-field="power"]');
    await until('the power', async () => /standby|on|warming/.test(await power.textContent()));
    const [cookie] = await context.cookies();
    assert.equal(cookie.httpOnly, true);
    assert.equal(cookie.sameSite, 'Strict');
    await context.close();
  });

  test('no session is sent to the login', async () => {
    const context = await browser.newContext();
    const page = await context.newPage();
    await page.goto(url('/projector/hall'));
    assert.equal(page.url(), url('/login'));
    await context.close();
  });
});

describe('the window', () => {
  test('a click goes on the line and its reply shows', async () => {
    const context = await browser.newContext();
    const page = await panel(context);
    const before = taken('CR0');
    await page.getByRole('button', { name: 'STATUS', exact: true }).click();
    await until('CR0 on the line', () => taken('CR0') > before);
    await until('the status line', async () =>
      /Stand by|Power ON|Count down/.test(await page.getByRole('status', { name: 'Status' }).textContent()));
    await context.close();
  });

  test('a held button repeats until it is let go', async () => {
    const context = await browser.newContext();
    const page = await panel(context);
    await holdDown(page, 'VOL +', 'C09', 3);
    await page.mouse.up();
    await sleep(300);
    const released = taken('C09');
    await sleep(1000);
    assert.equal(taken('C09'), released);
    await context.close();
  });

  test('a page that goes away mid-hold lets the button go', async () => {
    const context = await browser.newContext();
    const page = await panel(context);
    await holdDown(page, 'VOL -', 'C0A', 2);
    await page.close({ runBeforeUnload: false });
    let last = -1;
    await until('the volume to stop', async () => {
      const now = taken('C0A');
      await sleep(600);
      return now === taken('C0A') && (last = now) >= 0;
    });
    await sleep(600);
    assert.equal(taken('C0A'), last);
    await context.close();
  });

  test('a command from the broker shows on the page', async () => {
    const context = await browser.newContext();
    const page = await panel(context);
    const published = spawnSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(brokerPort),
      '-t', 'qv7/hall/command', '-m', 'lamp-hours']);
    assert.equal(published.status, 0, String(published.stderr));
    await until('the TXD line', async () =>
      (await page.getByRole('status', { name: 'TXD' }).textContent()).includes('C R 3'));
    await context.close();
  });

  test('a page in the background is sent no traffic, and catches up when it is back', async () => {
    const context = await browser.newContext();
    const page = await panel(context);
    const txd = page.getByRole('status', { name: 'TXD' });
    const show = (state) => page.evaluate((value) => {
      Object.defineProperty(document, 'visibilityState', { value, configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    }, state);
    await page.getByRole('button', { name: 'STATUS', exact: true }).click();
    await until('CR0 on the TXD line', async () => (await txd.textContent()).includes('C R 0'));
    await show('hidden');
    await sleep(300);
    const before = taken('CR3');
    const polls = taken('CR0');
    const published = spawnSync('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(brokerPort),
      '-t', 'qv7/hall/command', '-m', 'lamp-hours']);
    assert.equal(published.status, 0, String(published.stderr));
    await until('CR3 on the line', () => taken('CR3') > before);
    await sleep(300);
    assert.ok(!(await txd.textContent()).includes('C R 3'));
    await show('visible');
    // A power poll after the command may have taken the line's last word.
    await until('the TXD line to catch up', async () =>
      (await txd.textContent()).includes('C R 3') || taken('CR0') > polls);
    await context.close();
  });

  test('a foreign page gets no socket and cannot read the list', async () => {
    const foreign = createServer((request, response) => {
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end('<!DOCTYPE html><title>elsewhere</title>');
    });
    await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
    const context = await browser.newContext();
    await logIn(context);
    const page = await context.newPage();
    await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
    const outcome = await page.evaluate(async (target) => {
      const socket = await new Promise((resolve) => {
        const ws = new WebSocket(target.replace('http', 'ws') + '/projector/hall/socket');
        ws.onopen = () => resolve('opened');
        ws.onclose = () => resolve('refused');
      });
      let read;
      try {
        await (await fetch(target + '/', { credentials: 'include' })).text();
        read = 'read';
      } catch {
        read = 'blocked';
      }
      return { socket, read };
    }, url(''));
    assert.deepEqual(outcome, { socket: 'refused', read: 'blocked' });
    await context.close();
    foreign.close();
  });
});

describe('accessibility and a phone', () => {
  test('axe-core finds nothing serious on the pages', async () => {
    const context = await browser.newContext({ bypassCSP: true });
    const page = await panel(context);
    assert.deepEqual(await seriousFindings(page), []);
    for (const path of ['/', '/login']) {
      await page.goto(url(path));
      assert.deepEqual(await seriousFindings(page), [], path);
    }
    await context.close();
  });

  test('the window fits a phone and a tap works', async () => {
    const context = await browser.newContext({
      viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true,
    });
    const page = await panel(context);
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
    assert.ok(widths[0] <= widths[1], `the page is ${widths[0]} px wide on a ${widths[1]} px screen`);
    const before = taken('CR3');
    await page.getByRole('button', { name: 'L-TIME' }).tap();
    await until('CR3 on the line', () => taken('CR3') > before);
    if (process.env.QV7_SCREENSHOTS) {
      await page.screenshot({ path: join(process.env.QV7_SCREENSHOTS, 'web-phone.png') });
      const desktop = await browser.newContext({ viewport: { width: 1000, height: 760 } });
      const wide = await panel(desktop);
      await wide.getByRole('button', { name: 'STATUS', exact: true }).click();
      await wide.evaluate(() => window.scrollTo(0, 0));
      await sleep(200);
      await wide.screenshot({ path: join(process.env.QV7_SCREENSHOTS, 'web-desktop.png') });
      await desktop.close();
    }
    await context.close();
  });
});
