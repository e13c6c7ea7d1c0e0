// The bridge: window.__tidemark.onPanelOpen/onPanelClose pause and resume every request,
// and the page honours window.__tidemarkPanelOpen at load.
import { requireChromium, ServerProcess, launchBrowser, watchErrors, sample, sleep } from './support.mjs';
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';

requireChromium();

let server;
let browser;

before(async () => {
  server = await ServerProcess.start();
  browser = await launchBrowser();
  await server.ingestSample(sample(Date.now()));
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.stop();
});

// Counts the page's requests to the server API as the network sees them.
function countRequests(page) {
  const counter = { count: 0 };
  page.on('request', (r) => { if (new URL(r.url()).pathname.startsWith('/api/')) counter.count++; });
  return counter;
}

test('closing the panel stops all requests and opening resumes them', async () => {
  const page = await browser.context.newPage();
  const errors = watchErrors(page);
  await page.goto(server.loginURL);
  const counter = countRequests(page);
  await page.waitForFunction(() => window.__tidemark && typeof window.__tidemark.onPanelClose === 'function');
  await sleep(2500);
  assert.ok(counter.count >= 2, `polling while open (${counter.count} requests)`);

  await page.evaluate(() => { window.__tidemarkPanelOpen = false; window.__tidemark.onPanelClose(); });
  await sleep(300); // a request already on the wire may still finish
  const atClose = counter.count;
  await sleep(3500);
  assert.equal(counter.count, atClose, 'no requests while the panel is closed');
  assert.equal(await page.getAttribute('#app', 'data-state'), 'paused');

  await page.evaluate(() => { window.__tidemarkPanelOpen = true; window.__tidemark.onPanelOpen(); });
  await sleep(1500);
  assert.ok(counter.count >= atClose + 3, `requests resume at once on open (${counter.count - atClose})`);

  // Repeated opens do not start a second polling loop.
  await page.evaluate(() => { window.__tidemark.onPanelOpen(); window.__tidemark.onPanelOpen(); });
  const before = counter.count;
  await sleep(3000);
  const perSecond = (counter.count - before) / 3;
  assert.ok(perSecond <= 2.5, `one polling loop after repeated opens (${perSecond.toFixed(1)}/s)`);
  assert.deepEqual(errors, []);
  await page.close();
});

test('a page loaded while the panel is closed makes no request until it opens', async () => {
  const page = await browser.context.newPage();
  const errors = watchErrors(page);
  await page.addInitScript(() => {
    window.__tidemarkPanelOpen = false;
    window.webkit = { messageHandlers: { dockQuota: { postMessage() {} } } };
  });
  const counter = countRequests(page);
  await page.goto(server.loginURL);
  await page.waitForFunction(() => window.__tidemark !== undefined);
  await sleep(2500);
  assert.equal(counter.count, 0, 'no API request before the panel opens');
  assert.equal(await page.getAttribute('#app', 'data-state'), 'paused');

  await page.evaluate(() => { window.__tidemarkPanelOpen = true; window.__tidemark.onPanelOpen(); });
  await page.locator('.card[data-metric="cpu"] [data-value]').filter({ hasText: '%' }).waitFor({ timeout: 3000 });
  assert.ok(counter.count > 0);
  assert.deepEqual(errors, []);
  await page.close();
});

test('inside the app an absent flag counts as closed; in a browser tab as open', async () => {
  const inApp = await browser.context.newPage();
  await inApp.addInitScript(() => { window.webkit = { messageHandlers: { dockQuota: { postMessage() {} } } }; });
  const appCounter = countRequests(inApp);
  await inApp.goto(server.loginURL);
  await sleep(1500);
  assert.equal(appCounter.count, 0);
  await inApp.close();

  const tab = await browser.context.newPage();
  const tabCounter = countRequests(tab);
  await tab.goto(server.loginURL);
  await sleep(1500);
  assert.ok(tabCounter.count > 0);
  await tab.close();
});
