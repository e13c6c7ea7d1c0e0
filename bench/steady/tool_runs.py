#!/usr/bin/env python3
"""CPU of one tidemark-nettop run, two builds alternating run by run.

    python3 bench/steady/tool_runs.py <tool A> <tool B> [runs] [block]

Runs each build `runs` times (600 by default), in turns of `block` runs (1 by default), so
that both see the same machine state; the order flips every round. With blocks longer than
one run, a tool sees its own previous run as the last process started before it, as it does
under Tidemark, where nothing else starts between two runs on a quiet machine. Each build keeps its own state file in a runtime
directory of its own on /dev/shm (tmpfs, as /run/user/<uid> is). Prints the user+system
CPU of a run for each, from the children's resource usage.
"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile

ARGUMENTS = ['-P', '-L', '1', '-x', '-J', 'bytes_in,bytes_out']


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    tools = sys.argv[1:3]
    if len(tools) != 2:
        sys.exit(__doc__)
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 600
    block = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    directories = [tempfile.mkdtemp(prefix='tidemark-tool-', dir='/dev/shm') for _ in tools]
    spent = [0.0, 0.0]
    try:
        for round_ in range((runs + block - 1) // block):
            for index in ((0, 1) if round_ % 2 == 0 else (1, 0)):
                for _ in range(min(block, runs - round_ * block)):
                    before = children_cpu()
                    subprocess.run([tools[index]] + ARGUMENTS, stdout=subprocess.DEVNULL, check=True,
                                   env=dict(os.environ, XDG_RUNTIME_DIR=directories[index]))
                    spent[index] += children_cpu() - before
    finally:
        for directory in directories:
            shutil.rmtree(directory, ignore_errors=True)
    processes = sum(1 for entry in os.listdir('/proc') if entry.isdigit())
    print(f'{runs} runs each in blocks of {block}, {processes} processes, load average {os.getloadavg()[0]:.2f}')
    for tool, seconds in zip(tools, spent):
        print(f'{tool}: {1000 * seconds / runs:.3f} ms of CPU a run')


if __name__ == '__main__':
    main()
