// The bridge's PJLink face as a third-party Class 1 controller sees it: the npm pjlink library
// against the bridge and two simulated projectors on pseudo-terminals, all on loopback. One
// projector takes no password and goes through standby, warm-up, on and cooling down; the other
// one takes a password and reports a temperature abnormality.
//
// Run by CTest with QV7BRIDGE and QV7SIM naming the programs.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import PJLink from 'pjlink';
import { freePort, start as startWith, stopAll, timeout, until } from './support.mjs';

// Nothing read of their output, which would fill a pipe.
const start = (program, args) => startWith(program, args, ['ignore', 'ignore', 'inherit']);

const dir = mkdtempSync(join(tmpdir(), 'qv7-pjlink-'));
const clients = [];
let hallPort;
let lobbyPort;
let hall;

const listening = (host, port) => new Promise((resolve) => {
  const socket = connect({ host, port }, () => { socket.destroy(); resolve(true); });
  socket.on('error', () => resolve(false));
});

// The library's socket timeout fails a request the bridge leaves unanswered.
function client(host, port, password) {
  const projector = new PJLink({ host, port, password, timeout });
  clients.push(projector);
  return projector;
}

// One of the library's calls as a promise: its error, or the value (or values) it passes on.
const ask = (projector, method, ...args) => new Promise((resolve, reject) => {
  projector[method](...args, (error, ...values) => {
    if (error) reject(error);
    else resolve(values.length > 1 ? values : values[0]);
  });
});

const refusal = (message) => (error) => error.message === message;

before(async () => {
  hallPort = await freePort();
  lobbyPort = await freePort();
  start(process.env.QV7SIM, ['--link', join(dir, 'hall'), '--warm-up', '3', '--cool-down', '1',
    '--lamp-hours', '1500']);
  start(process.env.QV7SIM, ['--link', join(dir, 'lobby'), '--fault', 'temperature']);
  await until('the simulators', () => existsSync(join(dir, 'hall')) && existsSync(join(dir, 'lobby')));
  writeFileSync(join(dir, 'lobby.pjlink'), 'sesame\n', { mode: 0o600 });
  writeFileSync(join(dir, 'inventory.ini'), `[hall]
port = ${join(dir, 'hall')}
pjlink = 127.0.0.1:${hallPort}
manufacturer = Orba
info = Ceiling

[lobby]
port = ${join(dir, 'lobby')}
pjlink = 127.0.0.2:${lobbyPort}
pjlink-password-file = ${join(dir, 'lobby.pjlink')}
`);
  start(process.env.QV7BRIDGE, ['--inventory', join(dir, 'inventory.ini'), '--pjlink-udp', '0']);
  await until('the bridge', async () =>
    await listening('127.0.0.1', hallPort) && await listening('127.0.0.2', lobbyPort));
  hall = client('127.0.0.1', hallPort);
});

after(() => {
  for (const projector of clients) projector.disconnect();
  stopAll();
  rmSync(dir, { recursive: true, force: true });
});

describe('without a password', () => {
  test('what the projector is', async () => {
    assert.equal(await ask(hall, 'getName'), 'hall');
    assert.equal(await ask(hall, 'getManufacturer'), 'Orba');
    assert.equal(await ask(hall, 'getModel'), 'QV7');
    assert.equal(await ask(hall, 'getInfo'), 'Ceiling');
    assert.equal(await ask(hall, 'getClass'), '2');
    assert.deepEqual((await ask(hall, 'getInputs')).map((input) => input.code), ['11', '12', '21']);
  });

  test('in standby: power, lamp and errors; an input or a mute is refused', async () => {
    await until('the projector known', () => ask(hall, 'getPowerState').then(() => true, () => false));
    assert.equal(await ask(hall, 'getPowerState'), PJLink.POWER.STANDBY);
    assert.deepEqual(await ask(hall, 'getLamps'), [{ hours: 1500, on: false }]);
    assert.equal(await ask(hall, 'getErrors'), null);
    await assert.rejects(ask(hall, 'setInput', 'video', 1), refusal('Unavailable time'));
    await assert.rejects(ask(hall, 'setMute', { video: true, audio: true }), refusal('Unavailable time'));
  });

  test('power on warms up, refuses power off meanwhile, then is on with the lamp lit', async () => {
    await ask(hall, 'powerOn');
    const states = [await ask(hall, 'getPowerState')];
    assert.equal(states[0], PJLink.POWER.WARMING_UP);
    await assert.rejects(ask(hall, 'powerOff'), refusal('Unavailable time'));
    await until('power on', async () => {
      states.push(await ask(hall, 'getPowerState'));
      return states.at(-1) === PJLink.POWER.ON;
    });
    assert.deepEqual([...new Set(states)], [PJLink.POWER.WARMING_UP, PJLink.POWER.ON]);
    assert.deepEqual(await ask(hall, 'getLamps'), [{ hours: 1500, on: true }]);
  });

  test('an input set is read back', async () => {
    await ask(hall, 'setInput', { source: 'video', channel: 1 });
    assert.deepEqual(await ask(hall, 'getInput'),
      { source: PJLink.INPUT.VIDEO, channel: 1, code: '21', name: 'VIDEO - 1' });
    await ask(hall, 'setInput', 'rgb', 2);
    assert.equal((await ask(hall, 'getInput')).code, '12');
    await assert.rejects(ask(hall, 'setInput', 'digital', 1), refusal('Out of parameter'));
  });

  // The library sends 11 for video alone, 31 for both and 30 for neither; 11 leaves audio be.
  test('mutes set are read back, from none after the power on', async () => {
    const mutes = [];
    for (const mute of [true, { video: true, audio: true }, true, false]) {
      await ask(hall, 'setMute', mute);
      mutes.push(await ask(hall, 'getMute'));
    }
    assert.deepEqual(mutes, [{ video: true, audio: false }, { video: true, audio: true },
      { video: true, audio: true }, { video: false, audio: false }]);
  });

  test('power off cools down to standby', async () => {
    await ask(hall, 'powerOff');
    await until('standby', async () => await ask(hall, 'getPowerState') === PJLink.POWER.STANDBY);
    assert.deepEqual(await ask(hall, 'getLamps'), [{ hours: 1500, on: false }]);
  });
});

// The wrong password last: the bridge makes every digest from this address wait after it.
describe('with a password', () => {
  test('the right one is taken, on every connection, and the projector answers', async () => {
    const lobby = client('127.0.0.2', lobbyPort, 'sesame');
    await until('the fault known', () => ask(lobby, 'getErrors').then((errors) => errors !== null, () => false));
    assert.deepEqual(await ask(lobby, 'getErrors'), { fan: false, lamp: false, temperature: 'error',
      cover: false, filter: false, other: false });
    await assert.rejects(ask(lobby, 'getPowerState'), refusal('Projector/Display failure'));
    lobby.disconnect();
    assert.equal(await ask(lobby, 'getName'), 'lobby');
    assert.equal(await ask(lobby, 'getManufacturer'), undefined);
  });

  test('a wrong one is an authentication error', async () => {
    const lobby = client('127.0.0.2', lobbyPort, 'open sesame');
    await assert.rejects(ask(lobby, 'getPowerState'), refusal('Authorization failed'));
  });
});
