// The venue in Chromium: host 4's list of every host's projectors, and host 1's h1-stage driven
// from host 4's page through the broker. tests/venue/venue.py runs this in host 4's network
// namespace with QV7_WEB and QV7_PASSWORD, and counts the bytes on h1-stage's line itself.

import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchChromium, sleep, until } from './support.mjs';

const url = (path) => process.env.QV7_WEB + path;
let browser, page;

before(async () => {
  browser = await launchChromium();
  page = await browser.newPage();
  await page.goto(url('/'));
  await page.getByLabel('Password').fill(process.env.QV7_PASSWORD);
  await page.getByRole('button', { name: 'Log in' }).click();
  await until('the list', () => page.url() === url('/'));
});

after(() => browser?.close());

test('the list shows every host\'s projectors in their groups', async () => {
  for (const room of ['hall', 'stage']) {
    const rows = page.locator(`tbody[data-group="${room}s"] tr[data-projector]`);
    await until(`the ${room}s`, async () => (await rows.count()) === 4);
    const hosts = await rows.evaluateAll((trs) => trs.map((tr) =>
      `${tr.dataset.projector} ${tr.querySelector('[data-field="host"]').textContent}`));
    assert.deepEqual(hosts.sort(), [1, 2, 3, 4].map((n) => `h${n}-${room} host${n}`));
  }
  assert.equal(await page.locator('tr[data-projector]').count(), 8);
});

test('a host-1 projector\'s page takes a tap and a hold', async () => {
  await page.locator('tr[data-projector="h1-stage"] a').click();
  await until('its page', () => page.url() === url('/projector/h1-stage'));
  const link = page.locator('#link');
  await until('link up', async () => (await link.textContent()).includes('link up'));
  await page.getByRole('button', { name: 'POWER ON' }).click();
  await until('power on', async () => (await link.textContent()).includes('power on'));
  await page.getByRole('button', { name: 'VOL +' }).hover();
  await page.mouse.down();
  // Host 1's traffic reaches this page through the broker too.
  await until('VOL + on the TXD line', async () =>
    (await page.getByRole('status', { name: 'TXD' }).textContent()).includes('C 0 9'));
  await sleep(1000);
  await page.mouse.up();
});
