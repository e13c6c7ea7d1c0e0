#!/usr/bin/env python3
"""Memory of a headless Tidemark while its server is down.

    python3 bench/steady/server_down.py [build dir] [seconds down] [step seconds]

Starts Tidemark headless in a fresh home, lets it run 15 s, kills its TidemarkServer
(SIGKILL: nothing is restarted) and then reads the app's resident and anonymous memory
(/proc/<pid>/smaps_rollup) every step while both samplers keep failing. Samples are
never buffered, so the figures should stay flat; the last line gives the growth.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else 'build'
DOWN = float(sys.argv[2]) if len(sys.argv) > 2 else 300.0
STEP = float(sys.argv[3]) if len(sys.argv) > 3 else 30.0


def rollup(pid):
    values = {}
    with open(f'/proc/{pid}/smaps_rollup') as f:
        for line in f:
            parts = line.split()
            if parts and parts[0] in ('Rss:', 'Anonymous:'):
                values[parts[0][:-1]] = int(parts[1])
    return values


def children(pid):
    result = []
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open(f'/proc/{entry}/stat') as f:
                    if int(f.read().rsplit(')', 1)[1].split()[1]) == pid:
                        result.append(int(entry))
            except (FileNotFoundError, ProcessLookupError):
                pass
    return result


def main():
    home = tempfile.mkdtemp(prefix='tidemark-down-')
    env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'WAYLAND_DISPLAY')}
    env.update(HOME=home, XDG_DATA_HOME=home + '/data', XDG_CONFIG_HOME=home + '/config', XDG_RUNTIME_DIR=home,
               TIDEMARK_UI='headless')
    app = subprocess.Popen([os.path.join(BUILD, 'bin', 'Tidemark')], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        time.sleep(15)
        servers = [pid for pid in children(app.pid) if open(f'/proc/{pid}/comm').read().strip() == 'TidemarkServer']
        for pid in servers:
            os.kill(pid, signal.SIGKILL)
        print(f'killed TidemarkServer {servers}; app resident and anonymous memory (KiB) while it is down:')
        first = None
        start = time.time()
        while True:
            figures = rollup(app.pid)
            first = first or figures
            print(f"{time.time() - start:6.0f} s  Rss {figures['Rss']}  Anonymous {figures['Anonymous']}", flush=True)
            if time.time() - start >= DOWN:
                break
            time.sleep(STEP)
        print(f"growth over {DOWN:.0f} s: Rss {figures['Rss'] - first['Rss']:+d} KiB, "
              f"Anonymous {figures['Anonymous'] - first['Anonymous']:+d} KiB")
    finally:
        app.send_signal(signal.SIGTERM)
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == '__main__':
    main()
