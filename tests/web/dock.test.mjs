// The dockQuota shim: every payload the page posts must pass the native parseState, and
// the "Show in Dock" switch and the selection are kept by the server across restarts.
import { requireChromium, ServerProcess, launchBrowser, watchErrors, sample, sleep, testBinDirectory, temporaryDirectory } from './support.mjs';
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { chmodSync, existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';

requireChromium();

const checker = path.join(testBinDirectory(), 'dock_payload_check');

let dataDir;
let browser;

before(async () => {
  dataDir = temporaryDirectory();
  const tool = path.join(dataDir, 'quota-tool');
  writeFileSync(tool, '#!/bin/sh\necho \'{"status":"ok","percent":71.5,"displayValue":"$14.30 left"}\'\n');
  chmodSync(tool, 0o755);
  const failing = path.join(dataDir, 'quota-broken');
  writeFileSync(failing, '#!/bin/sh\necho "not json"\n');
  chmodSync(failing, 0o755);
  writeFileSync(path.join(dataDir, 'quotas.json'), JSON.stringify([
    { id: 'api-credits', name: 'API credits', color: '#E07BF0', command: [tool] },
    { id: 'broken', name: 'Broken tool', color: '#ff5566', command: [failing] },
    { id: 'missing', name: 'Missing tool', color: '#888888', command: ['/nonexistent/quota-tool'] },
  ]));
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (dataDir) rmSync(dataDir, { recursive: true, force: true });
});

function validate(payloads) {
  const input = payloads.map((p) => JSON.stringify(p)).join('\n') + '\n';
  const result = spawnSync(checker, { input, encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
  return result.stdout.trim().split('\n');
}

async function openPage(server) {
  const page = await browser.context.newPage();
  const errors = watchErrors(page);
  await page.addInitScript(() => {
    window.__tidemarkPanelOpen = true;
    window.__posted = [];
    window.webkit = { messageHandlers: { dockQuota: { postMessage(body) { window.__posted.push(JSON.parse(JSON.stringify(body))); } } } };
  });
  await page.goto(server.loginURL);
  return { page, errors };
}

test('payloads posted on load and on every change pass the native validation', async (t) => {
  if (!existsSync(checker)) {
    t.skip(`${checker} is not built (the Dock library is not part of this build)`);
    return;
  }
  const server = await ServerProcess.start({ dataDir });
  try {
    await server.ingestSample(sample(Date.now(), { cpuUsage: 12.5 }));
    const { page, errors } = await openPage(server);
    await page.waitForFunction(() => window.__posted.length >= 1, null, { timeout: 5000 });
    let posted = await page.evaluate(() => window.__posted);
    assert.equal(posted[0].enabled, false);

    // The command providers come in once their commands ran.
    await page.locator('.quota .qname', { hasText: 'API credits' }).waitFor({ timeout: 5000 });
    await page.locator('.quota', { hasText: '$14.30 left' }).waitFor({ timeout: 8000 });
    await page.locator('.quota', { hasText: 'Broken tool' }).locator('.qvalue.error').waitFor({ timeout: 8000 });
    assert.match(await page.locator('.quota', { hasText: 'Missing tool' }).textContent(), /Not set up/);

    await page.click('.switch');
    await page.waitForFunction(() => window.__posted.some((p) => p.enabled === true), null, { timeout: 3000 });
    await page.selectOption('#dock-selection', 'api-credits');
    await page.waitForFunction(() => window.__posted.some((p) => p.selection === 'api-credits'), null, { timeout: 3000 });

    posted = await page.evaluate(() => window.__posted);
    const verdicts = validate(posted);
    assert.equal(verdicts.length, posted.length);
    for (const verdict of verdicts) assert.match(verdict, /^valid /);
    const last = posted[posted.length - 1];
    assert.equal(verdicts[verdicts.length - 1], 'valid enabled=true selection=api-credits providers=6');
    const credits = last.providers.find((p) => p.id === 'api-credits');
    assert.deepEqual(credits, { id: 'api-credits', name: 'API credits', color: '#E07BF0', status: 'ok', percent: 71.5, displayValue: '$14.30 left' });
    assert.equal(last.providers.find((p) => p.id === 'broken').status, 'error');
    assert.equal(last.providers.find((p) => p.id === 'missing').status, 'not_configured');

    // The checker does reject what the native side would.
    assert.deepEqual(validate([{ enabled: true, selection: 'Auto', providers: [] }, { enabled: 2 }]), ['invalid', 'invalid']);
    assert.deepEqual(errors, []);
    await page.close();
  } finally {
    await server.stop();
  }
});

test('the switch and the selection survive a server restart', async () => {
  const first = await ServerProcess.start({ dataDir });
  try {
    const login = await fetch(first.loginURL, { redirect: 'manual' });
    assert.equal(login.status, 303);
    const cookie = login.headers.get('set-cookie').split(';')[0];
    const put = await fetch(`${first.baseURL}/api/dock`, {
      method: 'PUT',
      headers: { Cookie: cookie, 'Content-Type': 'application/json', Origin: first.baseURL },
      body: JSON.stringify({ showInDock: true, selection: 'api-credits' }),
    });
    assert.equal(put.status, 200);
  } finally {
    await first.stop();
  }
  const settings = JSON.parse(readFileSync(path.join(dataDir, 'dock.json'), 'utf8'));
  assert.deepEqual(settings, { selection: 'api-credits', showInDock: true });
  const server = await ServerProcess.start({ dataDir });
  try {
    const { page, errors } = await openPage(server);
    await page.waitForFunction(() => window.__posted.length >= 1, null, { timeout: 5000 });
    const first = await page.evaluate(() => window.__posted[0]);
    assert.equal(first.enabled, true);
    assert.equal(first.selection, 'api-credits');
    assert.equal(await page.isChecked('#show-in-dock'), true);
    assert.equal(await page.inputValue('#dock-selection'), 'api-credits');

    await page.click('.switch');
    await page.waitForFunction(() => window.__posted.some((p) => p.enabled === false), null, { timeout: 3000 });
    await sleep(200);
    assert.equal(JSON.parse(readFileSync(path.join(dataDir, 'dock.json'), 'utf8')).showInDock, false);
    assert.equal(await page.locator('#dock-select-row').isHidden(), true);
    assert.deepEqual(errors, []);
    await page.close();
  } finally {
    await server.stop();
  }
});
