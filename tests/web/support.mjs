// Helpers for the browser tests: a real TidemarkServer on a free port with a fresh data
// directory, ingest posts as the native samplers send them, and Debian's chromium.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const repoRoot = path.resolve(here, '../..');
export const chromiumPath = '/usr/bin/chromium';
export const SKIP = 77;

// Skips the whole file (CTest reads the exit code) when the browser is truly missing.
export function requireChromium() {
  if (!existsSync(chromiumPath)) {
    console.log(`SKIP: ${chromiumPath} is not installed (Debian package chromium)`);
    process.exit(SKIP);
  }
}

export function binDirectory() {
  return process.env.TIDEMARK_BIN_DIR || path.join(repoRoot, 'build', 'bin');
}

export function testBinDirectory() {
  return process.env.TIDEMARK_TEST_BIN_DIR || path.join(repoRoot, 'build', 'tests');
}

export function artifactDirectory() {
  return process.env.TIDEMARK_WEB_ARTIFACTS || path.join(path.dirname(binDirectory()), 'web-artifacts');
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export function temporaryDirectory(prefix = 'tidemark-web-') {
  return mkdtempSync(path.join(tmpdir(), prefix));
}

export class ServerProcess {
  static async start({ env = {}, dataDir } = {}) {
    const token = 'A1B2C3D4E5F60718293A4B5C6D7E8F90';
    const port = await freePort();
    const dir = dataDir || temporaryDirectory();
    // setpriv (util-linux) gives the server a parent-death signal: it ends with this
    // process even when nothing here gets to stop it (playwright-core may exit at once).
    const child = spawn('setpriv', ['--pdeathsig', 'SIGTERM', '--', path.join(binDirectory(), 'TidemarkServer')], {
      cwd: dir,
      env: {
        PATH: process.env.PATH,
        TIDEMARK_SERVER_TOKEN: token,
        PORT: String(port),
        TIDEMARK_PORT: String(port),
        TIDEMARK_DATA_DIR: dir,
        ...env,
      },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    const server = new ServerProcess(child, port, token, dir, !dataDir);
    await server.waitForLine(/listening on/, 10000);
    return server;
  }

  constructor(child, port, token, dataDir, ownsDir) {
    this.child = child;
    this.port = port;
    this.token = token;
    this.dataDir = dataDir;
    this.ownsDir = ownsDir;
    this.output = '';
    this.exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
    child.stdout.on('data', (d) => { this.output += d; });
    child.stderr.on('data', (d) => { this.output += d; });
  }

  get baseURL() { return `http://127.0.0.1:${this.port}`; }
  get loginURL() { return `${this.baseURL}/login?token=${this.token}`; }

  waitForLine(pattern, timeoutMs) {
    return new Promise((resolve, reject) => {
      const check = () => {
        if (pattern.test(this.output)) {
          clearInterval(timer);
          clearTimeout(deadline);
          resolve();
        }
      };
      const timer = setInterval(check, 10);
      const deadline = setTimeout(() => {
        clearInterval(timer);
        reject(new Error(`server did not print ${pattern} in time; output: ${this.output}`));
      }, timeoutMs);
      this.child.once('exit', () => {
        clearInterval(timer);
        clearTimeout(deadline);
        reject(new Error(`server exited early; output: ${this.output}`));
      });
      check();
    });
  }

  async post(pathName, body) {
    const response = await fetch(this.baseURL + pathName, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${this.token}` },
      body: JSON.stringify(body),
    });
    await response.arrayBuffer();
    return response.status;
  }

  ingestSample(sample) { return this.post('/api/metrics/ingest', { samples: [sample] }); }
  ingestProcesses(processes, sampledAt = Date.now()) {
    return this.post('/api/processes/ingest', { sampledAt, processes });
  }

  async stop() {
    if (this.child.exitCode === null && this.child.signalCode === null) this.child.kill('SIGTERM');
    const result = await this.exited;
    if (this.ownsDir) rmSync(this.dataDir, { recursive: true, force: true });
    return result;
  }
}

// A sample with the eleven keys of the native system sampler.
export function sample(ts, overrides = {}) {
  const memoryTotal = 16e9;
  const diskTotal = 500e9;
  const s = {
    ts,
    intervalMs: 1000,
    cpuUsage: 37.5,
    memoryUsed: 9.6e9,
    memoryTotal,
    memoryPercent: 60,
    rxBps: 1.25e6,
    txBps: 2.5e5,
    diskUsed: 210e9,
    diskTotal,
    diskPercent: 42,
    ...overrides,
  };
  return s;
}

export function processEntry(pid, name, overrides = {}) {
  return {
    pid,
    name,
    cpuPercent: 0,
    memoryBytes: 0,
    memoryPercent: 0,
    diskReadBps: 0,
    diskWriteBps: 0,
    downloadBps: 0,
    uploadBps: 0,
    ...overrides,
  };
}

export async function launchBrowser() {
  const require = createRequire(path.join(repoRoot, 'webapp', 'package.json'));
  const { chromium } = require('playwright-core');
  const userDataDir = temporaryDirectory('tidemark-chromium-');
  const context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 420, height: 640 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const close = async () => {
    await context.close();
    rmSync(userDataDir, { recursive: true, force: true });
  };
  return { context, close };
}

// Collects console errors and uncaught exceptions of a page.
export function watchErrors(page) {
  const errors = [];
  page.on('console', (message) => { if (message.type() === 'error') errors.push(message.text()); });
  page.on('pageerror', (error) => errors.push(String(error)));
  return errors;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
