#!/usr/bin/env python3
"""Compares the candidate HTTP engines of TidemarkServer on one machine state.

    python3 bench/server_engines/measure.py [build dir] [seconds per phase]

For each engine of build/bench/server_engine_bench (and the real build/bin/TidemarkServer):
 1. idle: 8 keep-alive connections (two samplers, six of a browser) left open and silent;
 2. samplers: one POST a second and one every two seconds over kept connections, as the app does;
 3. CPU per request over 3000 sequential POSTs on one connection;
 4. 100 silent plus 100 trickling connections, then 10 ingests on fresh connections.
Context switches are summed over the server's threads (/proc/<pid>/task/*/status),
CPU is utime+stime of /proc/<pid>/stat. Loopback only.
"""
import http.client
import json
import os
import socket
import subprocess
import sys
import threading
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else 'build'
PHASE = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
TOKEN = '0123456789ABCDEF0123456789ABCDEF'
TICK = os.sysconf('SC_CLK_TCK')


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def switches(pid):
    total = 0
    for task in os.listdir(f'/proc/{pid}/task'):
        try:
            with open(f'/proc/{pid}/task/{task}/status') as f:
                for line in f:
                    if 'ctxt_switches' in line:
                        total += int(line.split()[1])
        except FileNotFoundError:
            pass
    return total


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_kib(pid):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def threads(pid):
    return len(os.listdir(f'/proc/{pid}/task'))


COUNTER = [0]


def body():
    # Fresh, distinct timestamps, so the real server stores every sample.
    COUNTER[0] += 1
    return BODY.replace('"ts": 1,', '"ts": %d,' % (int(time.time() * 1000) * 10 + COUNTER[0] % 10), 1)


BODY = json.dumps({'samples': [{'ts': 1, 'intervalMs': 1000, 'cpuUsage': 1.0, 'memoryUsed': 1, 'memoryTotal': 2,
                                'memoryPercent': 50.0, 'rxBps': 0.0, 'txBps': 0.0, 'diskUsed': 1, 'diskTotal': 2,
                                'diskPercent': 50.0}]})


class Client:
    """A kept connection that reconnects when the server closed it."""

    def __init__(self, port):
        self.port = port
        self.conn = None

    def post(self):
        for _ in range(2):
            try:
                if self.conn is None:
                    self.conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=5)
                self.conn.request('POST', '/api/metrics/ingest', body(), {
                    'Content-Type': 'application/json', 'Authorization': 'Bearer ' + TOKEN})
                r = self.conn.getresponse()
                r.read()
                if r.getheader('Connection', '').lower() == 'close':
                    self.conn.close()
                    self.conn = None
                return r.status
            except (ConnectionError, http.client.HTTPException, OSError):
                self.conn = None
        return 0

    def get(self, path):
        try:
            if self.conn is None:
                self.conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=5)
            self.conn.request('GET', path)
            r = self.conn.getresponse()
            r.read()
            return r.status
        except (ConnectionError, http.client.HTTPException, OSError):
            self.conn = None
            return 0


def start(command, env, port):
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=0.2).close()
            return process
        except OSError:
            time.sleep(0.05)
    process.kill()
    raise RuntimeError('did not start: ' + ' '.join(command))


def measure(name, command, env, port):
    process = start(command, env, port)
    pid = process.pid
    row = {'engine': name}
    try:
        # 1. idle with open connections
        idle = [Client(port) for _ in range(8)]
        for c in idle:
            c.get('/api/health')
        time.sleep(1.0)
        s0, c0 = switches(pid), cpu_seconds(pid)
        time.sleep(PHASE)
        row['idle cs/s'] = (switches(pid) - s0) / PHASE
        row['idle CPU %'] = 100 * (cpu_seconds(pid) - c0) / PHASE
        row['threads'] = threads(pid)
        # 2. the samplers' rhythm
        metrics, processes = Client(port), Client(port)
        s0, c0 = switches(pid), cpu_seconds(pid)
        began = time.time()
        tick = 0
        while time.time() - began < 2 * PHASE:
            metrics.post()
            if tick % 2 == 0:
                processes.post()
            tick += 1
            time.sleep(max(0.0, began + tick - time.time()))
        elapsed = time.time() - began
        row['sampler cs/s'] = (switches(pid) - s0) / elapsed
        row['sampler CPU %'] = 100 * (cpu_seconds(pid) - c0) / elapsed
        # 3. CPU per request
        c = Client(port)
        c0 = cpu_seconds(pid)
        t0 = time.time()
        for _ in range(3000):
            c.post()
        row['µs CPU/request'] = 1e6 * (cpu_seconds(pid) - c0) / 3000
        row['req/s'] = 3000 / (time.time() - t0)
        # 4. slow connections
        held = []
        for _ in range(100):
            held.append(socket.create_connection(('127.0.0.1', port)))
        trickling = [socket.create_connection(('127.0.0.1', port)) for _ in range(100)]
        text = f'POST /api/metrics/ingest HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nX-Slow: ' + 'a' * 200
        stop = threading.Event()

        def trickle():
            for ch in text:
                if stop.is_set():
                    return
                for s in trickling:
                    try:
                        s.send(ch.encode())
                    except OSError:
                        pass
                time.sleep(0.1)

        t = threading.Thread(target=trickle)
        t.start()
        time.sleep(0.5)
        worst = 0.0
        failures = 0
        for _ in range(10):
            t1 = time.time()
            status = Client(port).post()
            worst = max(worst, time.time() - t1)
            failures += status != 200
            time.sleep(0.1)
        stop.set()
        t.join()
        for s in held + trickling:
            s.close()
        row['ingest under 200 slow conns, worst ms'] = round(1000 * worst) if failures == 0 else f'{failures}/10 failed'
        row['RSS KiB'] = rss_kib(pid)
    finally:
        process.kill()
        process.wait()
    return row


def main():
    env = dict(os.environ)
    rows = []
    engine = os.path.join(BUILD, 'bench', 'server_engine_bench')
    for name in ['httplib-keepalive', 'httplib-close', 'microhttpd', 'beast']:
        port = free_port()
        rows.append(measure(name, [engine, name, str(port)], env, port))
    port = free_port()
    server_env = dict(env, TIDEMARK_SERVER_TOKEN=TOKEN, PORT=str(port), TIDEMARK_PORT=str(port),
                      TIDEMARK_DATA_DIR='/tmp/tidemark-engine-bench-%d' % os.getpid())
    os.makedirs(server_env['TIDEMARK_DATA_DIR'], exist_ok=True)
    rows.append(measure('TidemarkServer (microhttpd, SQLite)', [os.path.join(BUILD, 'bin', 'TidemarkServer')],
                        server_env, port))
    subprocess.run(['rm', '-rf', server_env['TIDEMARK_DATA_DIR']])
    keys = list(rows[0].keys())
    print('| ' + ' | '.join(keys) + ' |')
    print('|' + '---|' * len(keys))
    for r in rows:
        print('| ' + ' | '.join(f'{r[k]:.2f}' if isinstance(r[k], float) else str(r[k]) for k in keys) + ' |')


if __name__ == '__main__':
    main()
