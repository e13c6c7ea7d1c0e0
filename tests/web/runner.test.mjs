// The isolated runner of the browser tests: whatever way a test ends, nothing it started
// (its TidemarkServer, chromium) outlives it.
import { requireChromium, sleep } from './support.mjs';
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

requireChromium();

const here = path.dirname(fileURLToPath(import.meta.url));
const runner = path.join(here, 'run-isolated.sh');
const fixture = path.join(here, 'fixtures', 'abandon.mjs');

// Starts the runner on the fixture; `started` resolves with the fixture's JSON line.
function runIsolated(mode, env = {}) {
  const child = spawn('bash', [runner, process.execPath, fixture, mode], {
    env: { ...process.env, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  let stdout = '';
  let stderr = '';
  let reportStarted;
  const started = new Promise((resolve) => { reportStarted = resolve; });
  child.stdout.on('data', (data) => {
    stdout += data;
    const line = stdout.split('\n').find((l) => l.startsWith('{'));
    if (line) reportStarted(JSON.parse(line));
  });
  child.stderr.on('data', (data) => { stderr += data; });
  const ended = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal, stdout, stderr })));
  const endedEarly = ended.then(({ code }) => { throw new Error(`the fixture ended (${code}) before it started: ${stderr}`); });
  return { child, started: Promise.race([started, endedEarly]), ended };
}

function alive(pid) {
  try {
    const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

async function expectAllGone(pids, withinMs) {
  const deadline = Date.now() + withinMs;
  while (pids.some(alive) && Date.now() < deadline) await sleep(50);
  assert.deepEqual(pids.filter(alive), [], 'no process is left');
}

test('a test that exits at once leaves neither its server nor chromium behind', { timeout: 60000 }, async () => {
  const run = runIsolated('exit');
  const { server, all } = await run.started;
  const { code, stderr } = await run.ended;
  assert.equal(code, 3, stderr);
  assert.ok(all.includes(server));
  assert.ok(all.length >= 3, `the server and chromium's processes were started (${all})`);
  await expectAllGone(all, 2000);
});

test('a process that leaves the group and ignores SIGTERM is ended, and the run fails', { timeout: 60000 }, async () => {
  const run = runIsolated('escape', { TIDEMARK_ISOLATED_GRACE: '1' });
  const { escaped } = await run.started;
  const { code, stderr } = await run.ended;
  assert.equal(code, 1);
  assert.match(stderr, new RegExp(`left processes behind[^]*\\n  ${escaped} sleep 600`));
  await expectAllGone([escaped], 2000);
});

test('when the runner itself is killed, the test and everything it started end', { timeout: 60000 }, async () => {
  const run = runIsolated('hang');
  const { all } = await run.started;
  assert.ok(all.every(alive));
  run.child.kill('SIGKILL');
  await run.ended;
  await expectAllGone(all, 15000);
});
