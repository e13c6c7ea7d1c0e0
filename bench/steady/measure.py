#!/usr/bin/env python3
"""Steady-state cost of Tidemark beside `top`, side by side on one machine state.

    python3 bench/steady/measure.py [build dir] [window seconds] [warm-up seconds] [processes]

Starts `top -b -d 2`, Tidemark headless (app, TidemarkServer and its tidemark-nettop runs)
and Glances when it is installed, each under build/bench/tree_counter, which counts the
context switches and CPU time of the whole process tree with inherited kernel counters
(children that exited and were reaped are included). After the warm-up it reads the
counters at the start and the end of one window, the resident memory of each tree at the
end, and prints one table with ratios to top. A cross-check of the CPU figure from
/proc/<pid>/stat (utime+stime+cutime+cstime over the live tree) is printed beside it.

Tidemark's runtime folder (XDG_RUNTIME_DIR) is made on /dev/shm when it exists: on a desktop
it is /run/user/<uid>, a tmpfs, and the network tool rewrites its state file there every
run. Set TIDEMARK_BENCH_RUNTIME=disk to keep it beside the rest, on /tmp.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else 'build'
WINDOW = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
WARMUP = float(sys.argv[3]) if len(sys.argv) > 3 else 20.0
PROCESSES = int(sys.argv[4]) if len(sys.argv) > 4 else 0
TICK = os.sysconf('SC_CLK_TCK')


def children_map():
    parents = {}
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/stat') as f:
                fields = f.read().rsplit(')', 1)[1].split()
            parents.setdefault(int(fields[1]), []).append(int(entry))
        except (FileNotFoundError, ProcessLookupError, IndexError):
            pass
    return parents


def tree(root):
    parents = children_map()
    result, todo = [], [root]
    while todo:
        pid = todo.pop()
        result.append(pid)
        todo.extend(parents.get(pid, []))
    return result


def stat_cpu(pid, fields_from=11, fields_to=15):
    """utime+stime+cutime+cstime by default; (11, 13) for the process's own time only."""
    try:
        with open(f'/proc/{pid}/stat') as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return sum(int(x) for x in fields[fields_from:fields_to]) / TICK
    except FileNotFoundError:
        return 0.0


def breakdown(root):
    """Own CPU of each long-lived member and the CPU of its reaped children, by name."""
    result = {}
    for pid in tree(root)[1:]:
        if name(pid) == 'tidemark-nettop':
            continue
        result[name(pid)] = stat_cpu(pid, 11, 13)
        result[name(pid) + ' reaped children'] = stat_cpu(pid, 13, 15)
    return result


def rss_kib(pid):
    try:
        with open(f'/proc/{pid}/status') as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1])
    except FileNotFoundError:
        pass
    return 0


def name(pid):
    try:
        with open(f'/proc/{pid}/comm') as f:
            return f.read().strip()
    except FileNotFoundError:
        return '?'


def thread_switches(pid):
    """Per thread of one process: (name, voluntary + involuntary context switches)."""
    result = {}
    try:
        tids = os.listdir(f'/proc/{pid}/task')
    except FileNotFoundError:
        return result
    for tid in tids:
        try:
            with open(f'/proc/{pid}/task/{tid}/status') as f:
                fields = dict(line.split(':', 1) for line in f if ':' in line)
            result[tid] = (fields['Name'].strip(), int(fields['voluntary_ctxt_switches']) +
                           int(fields['nonvoluntary_ctxt_switches']))
        except (FileNotFoundError, KeyError, ValueError):
            pass
    return result


def members_switches(root):
    """Per long-lived member of a tree: its threads' switch counts."""
    return {(pid, name(pid)): thread_switches(pid) for pid in tree(root)[1:] if name(pid) != 'tidemark-nettop'}


def threads(pid):
    try:
        return len(os.listdir(f'/proc/{pid}/task'))
    except FileNotFoundError:
        return 0


class Counted:
    """One program started under the tree counter."""

    def __init__(self, label, command, env, workdir):
        self.label = label
        self.readings = os.path.join(workdir, label.split()[0] + '.readings')
        self.process = subprocess.Popen([os.path.join(BUILD, 'bench', 'tree_counter'), self.readings] + command,
                                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def read(self):
        before = self._lines()
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.time() + 5
        while self._lines() == before and time.time() < deadline:
            time.sleep(0.01)
        switches, ns = open(self.readings).read().splitlines()[-1].split()
        root = tree(self.process.pid)[1:]  # without the counter itself
        return int(switches), int(ns) / 1e9, sum(stat_cpu(p) for p in root)

    def _lines(self):
        try:
            return len(open(self.readings).read().splitlines())
        except FileNotFoundError:
            return 0

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            for pid in reversed(tree(self.process.pid)):
                os.kill(pid, signal.SIGKILL)
            self.process.wait()


def main():
    workdir = tempfile.mkdtemp(prefix='tidemark-steady-')
    present = sum(1 for e in os.listdir('/proc') if e.isdigit())
    fillers = [subprocess.Popen(['sleep', '3600']) for _ in range(max(PROCESSES - present - 3, 0))]
    env = dict(os.environ)
    env.pop('DISPLAY', None)
    env.pop('WAYLAND_DISPLAY', None)
    runtime = workdir
    if os.environ.get('TIDEMARK_BENCH_RUNTIME') != 'disk' and os.path.isdir('/dev/shm'):
        runtime = tempfile.mkdtemp(prefix='tidemark-steady-runtime-', dir='/dev/shm')
    app_env = dict(env, HOME=workdir, XDG_DATA_HOME=workdir + '/data', XDG_CONFIG_HOME=workdir + '/config',
                   XDG_RUNTIME_DIR=runtime, TIDEMARK_UI='headless')
    programs = [Counted('top -b -d 2', ['top', '-b', '-d', '2'], env, workdir),
                Counted('Tidemark (app + server + tool runs)', [os.path.join(BUILD, 'bin', 'Tidemark')], app_env, workdir)]
    if shutil.which('glances'):
        programs.append(Counted('Glances --stdout cpu.total -t 2', ['glances', '--stdout', 'cpu.total', '-t', '2'],
                                env, workdir))
    try:
        time.sleep(WARMUP)
        processes = sum(1 for e in os.listdir('/proc') if e.isdigit())
        start = [p.read() for p in programs]
        parts0 = breakdown(programs[1].process.pid)
        wakes0 = members_switches(programs[1].process.pid)
        t0 = time.time()
        time.sleep(WINDOW)
        end = [p.read() for p in programs]
        parts1 = breakdown(programs[1].process.pid)
        wakes1 = members_switches(programs[1].process.pid)
        elapsed = time.time() - t0
        rows = []
        for p, a, b in zip(programs, start, end):
            members = [pid for pid in tree(p.process.pid)[1:] if name(pid) != 'tidemark-nettop']
            rows.append({
                'program': p.label,
                'cpu': 100 * (b[1] - a[1]) / elapsed,
                'cpu_stat': 100 * (b[2] - a[2]) / elapsed,
                'rss': sum(rss_kib(pid) for pid in members) / 1024,
                'cs': (b[0] - a[0]) / elapsed,
                'threads': ', '.join(f'{name(pid)} {threads(pid)}' for pid in members),
            })
    finally:
        for p in programs:
            p.stop()
        for filler in fillers:
            filler.kill()
            filler.wait()
        shutil.rmtree(workdir, ignore_errors=True)
        shutil.rmtree(runtime, ignore_errors=True)
    top = rows[0]
    print(f'{processes} processes on the machine, window {elapsed:.0f} s after {WARMUP:.0f} s of warm-up, '
          f'load average {os.getloadavg()[0]:.2f}, runtime folder {"on /dev/shm" if runtime != workdir else "on disk"}')
    print('| program | CPU of one core | × top | CPU (/proc cross-check) | resident memory | context switches/s | '
          '× top | threads |')
    print('|---|---|---|---|---|---|---|---|')
    for r in rows:
        print(f"| {r['program']} | {r['cpu']:.3f} % | {r['cpu'] / top['cpu']:.2f} | {r['cpu_stat']:.2f} % | "
              f"{r['rss']:.1f} MiB | {r['cs']:.2f} | {r['cs'] / max(top['cs'], 1e-9):.2f} | {r['threads']} |")
    print()
    print('Where Tidemark\'s CPU goes (/proc, 10-ms ticks):')
    for key in parts1:
        print(f'- {key}: {100 * (parts1[key] - parts0.get(key, 0.0)) / elapsed:.2f} % of one core')
    print()
    print('Context switches per second of each long-lived thread (/proc/<pid>/task/*/status):')
    for member, threads_now in wakes1.items():
        before = wakes0.get(member, {})
        per_thread = []
        for tid, (thread, count) in sorted(threads_now.items(), key=lambda item: int(item[0])):
            per_thread.append(f'{thread} {(count - before.get(tid, (thread, 0))[1]) / elapsed:.2f}')
        print(f'- {member[1]}: ' + ', '.join(per_thread))


if __name__ == '__main__':
    main()
