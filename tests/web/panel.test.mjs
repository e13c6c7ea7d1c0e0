// The panel page in Debian's chromium: figures, charts, processes, and a screenshot.
import { requireChromium, ServerProcess, launchBrowser, watchErrors, sample, processEntry, artifactDirectory, sleep } from './support.mjs';
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import path from 'node:path';

requireChromium();

let server;
let browser;

before(async () => {
  server = await ServerProcess.start({ env: { TIDEMARK_PROCESS_METRICS: '1' } });
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (server) {
    const { code } = await server.stop();
    assert.equal(code, 0, 'server exits 0 on SIGTERM');
  }
});

async function feed(count, start = Date.now() - count * 1000) {
  for (let i = 0; i < count; i++) {
    const status = await server.ingestSample(sample(start + i * 1000, {
      cpuUsage: 20 + 15 * Math.sin(i / 4) + (i % 7),
      rxBps: 4e5 + 3e5 * Math.abs(Math.sin(i / 6)),
      txBps: 6e4 + 5e4 * Math.abs(Math.cos(i / 5)),
    }));
    assert.equal(status, 200);
  }
}

test('after a few ingests the page shows the figures and charts without console errors', async () => {
  await feed(90);
  await server.ingestSample(sample(Date.now(), { cpuUsage: 42.4, memoryPercent: 61.5, memoryUsed: 9.84e9, diskPercent: 42 }));
  await server.ingestProcesses([
    processEntry(101, 'chromium', { cpuPercent: 48.2, memoryBytes: 1.2e9, downloadBps: 2e5 }),
    processEntry(202, 'tidemark-nettop', { cpuPercent: 3.1, memoryBytes: 8e6, diskWriteBps: 9e6 }),
    processEntry(303, 'postgres', { cpuPercent: 12.5, memoryBytes: 4.1e9, uploadBps: 7e6 }),
  ]);

  const page = await browser.context.newPage();
  const errors = watchErrors(page);
  const response = await page.goto(server.loginURL);
  assert.equal(response.status(), 200);
  assert.match(page.url(), /\/\?surface=panel$/);

  const cpu = page.locator('.card[data-metric="cpu"] [data-value]');
  await cpu.filter({ hasText: '42%' }).waitFor({ timeout: 5000 });
  assert.equal(await page.locator('.card[data-metric="memory"] [data-value]').textContent(), '62%');
  assert.match(await page.locator('.card[data-metric="memory"] [data-detail]').textContent(), /9\.8 GB of 16\.0 GB/);
  assert.match(await page.locator('.card[data-metric="disk"] [data-detail]').textContent(), /210 GB of 500 GB/);
  assert.match(await page.locator('.card[data-metric="network"] [data-down]').textContent(), /MB\/s|KB\/s/);

  // Each card draws a chart canvas with the history it got.
  for (const metric of ['cpu', 'memory', 'disk', 'network']) {
    const canvas = page.locator(`.card[data-metric="${metric}"] canvas`);
    await canvas.waitFor({ timeout: 5000 });
    const painted = await canvas.evaluate((c) => {
      const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let lit = 0;
      for (let i = 3; i < data.length; i += 4) if (data[i] > 0) lit++;
      return lit;
    });
    assert.ok(painted > 200, `${metric} chart has drawn pixels (${painted})`);
  }

  // A new ingest shows within about a second.
  await server.ingestSample(sample(Date.now() + 10, { cpuUsage: 77.7 }));
  await cpu.filter({ hasText: '78%' }).waitFor({ timeout: 2500 });

  // Processes, switchable between the four measures.
  const names = () => page.locator('#process-list .name').allTextContents();
  await page.locator('#process-list .process').first().waitFor();
  assert.deepEqual(await names(), ['chromium', 'postgres', 'tidemark-nettop']);
  await page.click('#process-sort button[data-sort="memory"]');
  assert.deepEqual(await names(), ['postgres', 'chromium', 'tidemark-nettop']);
  await page.click('#process-sort button[data-sort="disk"]');
  assert.equal((await names())[0], 'tidemark-nettop');
  await page.click('#process-sort button[data-sort="network"]');
  assert.equal((await names())[0], 'postgres');
  assert.match(await page.locator('#process-list .figure').first().textContent(), /7\.0 MB\/s/);
  assert.equal(await page.locator('#process-list .pid').first().textContent(), '303');
  // Per-process network counts TCP only, and the page says so where it shows it.
  assert.equal(await page.locator('#process-network-note').textContent(), 'TCP only');
  assert.ok(await page.locator('#process-network-note').isVisible());
  await page.click('#process-sort button[data-sort="cpu"]');
  assert.ok(await page.locator('#process-network-note').isHidden());

  // Ranges fetch the history of each span.
  const historyRequest = page.waitForRequest((r) => r.url().includes('/api/history?range=24h'));
  await page.click('#ranges button[data-range="24h"]');
  await historyRequest;
  await page.click('#ranges button[data-range="5m"]');
  await sleep(1200);

  const dir = artifactDirectory();
  mkdirSync(dir, { recursive: true });
  await page.screenshot({ path: path.join(dir, 'panel-420x640.png') });
  await page.setViewportSize({ width: 420, height: 1100 });
  await sleep(300);
  await page.screenshot({ path: path.join(dir, 'panel-420x1100.png') });

  assert.deepEqual(errors, []);
  await page.close();
});

test('without TIDEMARK_PROCESS_METRICS the processes stay hidden, and no cookie means no page', async () => {
  const plain = await ServerProcess.start();
  try {
    const denied = await fetch(`${plain.baseURL}/?surface=panel`);
    assert.equal(denied.status, 401);
    await plain.ingestSample(sample(Date.now()));
    await plain.ingestProcesses([processEntry(1, 'init', { cpuPercent: 1 })]);
    const page = await browser.context.newPage();
    const errors = watchErrors(page);
    await page.goto(plain.loginURL);
    await page.locator('.card[data-metric="cpu"] [data-value]').filter({ hasText: '%' }).waitFor({ timeout: 5000 });
    await sleep(1200);
    assert.equal(await page.locator('#processes').isHidden(), true);
    assert.deepEqual(errors, []);
    await page.close();
  } finally {
    await plain.stop();
  }
});
