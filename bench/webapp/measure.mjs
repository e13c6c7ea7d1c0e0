// Whole-process measurements of TidemarkServer and its page:
//   node bench/webapp/measure.mjs [build dir]
// 1. a day of 1 Hz samples ingested at full speed (one sample per request, as the app sends
//    them), then the server's resident memory; 2. the 24-hour history query; 3. page load
//    in chromium until the first figures show.
import { ServerProcess, launchBrowser, sample } from '../../tests/web/support.mjs';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';

if (process.argv[2]) process.env.TIDEMARK_BIN_DIR = path.resolve(process.argv[2], 'bin');

const agent = new http.Agent({ keepAlive: true, maxSockets: 4 });
function post(server, body) {
  return new Promise((resolve, reject) => {
    const data = JSON.stringify(body);
    const req = http.request({ host: '127.0.0.1', port: server.port, path: '/api/metrics/ingest', method: 'POST', agent,
      headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${server.token}`, 'Content-Length': Buffer.byteLength(data) } },
    (res) => { res.resume(); res.on('end', () => (res.statusCode === 200 ? resolve() : reject(new Error(`HTTP ${res.statusCode}`)))); });
    req.on('error', reject);
    req.end(data);
  });
}
function get(server, pathName, cookie) {
  return new Promise((resolve, reject) => {
    http.get({ host: '127.0.0.1', port: server.port, path: pathName, agent, headers: { Cookie: cookie } }, (res) => {
      let body = '';
      res.on('data', (d) => { body += d; });
      res.on('end', () => resolve(body));
    }).on('error', reject);
  });
}
const rssKiB = (pid) => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
const median = (xs) => { const s = [...xs].sort((a, b) => a - b); return s[Math.floor(s.length / 2)]; };

const server = await ServerProcess.start({ env: { TIDEMARK_PROCESS_METRICS: '1' } });
const cookie = `tidemark_token=${server.token}`;
try {
  const rssStart = rssKiB(server.child.pid);
  const day = 86400;
  const start = Date.now() - day * 1000;
  const t0 = performance.now();
  const lanes = 4;
  await Promise.all(Array.from({ length: lanes }, async (_, lane) => {
    for (let i = lane; i < day; i += lanes) {
      await post(server, { samples: [sample(start + i * 1000, { cpuUsage: (i % 100), rxBps: i })] });
    }
  }));
  const ingestSeconds = (performance.now() - t0) / 1000;
  const rssAfter = rssKiB(server.child.pid);
  console.log(`ingest: ${day} samples in ${ingestSeconds.toFixed(1)} s (${Math.round(day / ingestSeconds)} samples/s)`);
  console.log(`server RSS: ${(rssStart / 1024).toFixed(1)} MiB at start, ${(rssAfter / 1024).toFixed(1)} MiB after a day of samples`);

  const times = [];
  let points = 0;
  for (let i = 0; i < 21; i++) {
    const q0 = performance.now();
    const body = JSON.parse(await get(server, '/api/history?range=24h', cookie));
    times.push(performance.now() - q0);
    points = body.t.length;
  }
  console.log(`24 h history query: median ${median(times).toFixed(2)} ms over 21 runs, ${points} points`);
  const month = [];
  for (let i = 0; i < 11; i++) {
    const q0 = performance.now();
    await get(server, '/api/history?range=30d', cookie);
    month.push(performance.now() - q0);
  }
  console.log(`30 d history query: median ${median(month).toFixed(2)} ms over 11 runs`);

  agent.destroy();
  const browser = await launchBrowser();
  const loads = [];
  for (let i = 0; i < 7; i++) {
    const page = await browser.context.newPage();
    const l0 = performance.now();
    await page.goto(server.loginURL);
    await page.locator('.card[data-metric="cpu"] [data-value]').filter({ hasText: '%' }).waitFor();
    await page.locator('.card[data-metric="cpu"] canvas').waitFor();
    loads.push(performance.now() - l0);
    await page.close();
  }
  await browser.close();
  console.log(`page load until the first figures show: median ${median(loads).toFixed(0)} ms over 7 runs (${loads.map((x) => x.toFixed(0)).join(', ')})`);
} finally {
  agent.destroy();
  await server.stop();
}
