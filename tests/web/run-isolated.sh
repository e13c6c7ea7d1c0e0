#!/usr/bin/env bash
# Runs one browser test (node FILE) so that nothing it starts outlives it, whatever way it
# ends: playwright-core may exit the process before any cleanup hook runs.
#   - the test runs in its own session and process group, and is killed if this runner
#     dies (parent-death signal), e.g. when CTest kills it at its timeout (SIGKILL:
#     playwright-core catches SIGTERM to close its browsers and keeps running);
#   - every process it starts inherits a marker in its environment; once the test has
#     ended, the group is killed, and any process still carrying the marker (chromium
#     puts itself in a group of its own) is reported, killed, and fails the run.
# Exit status: the test's own (77 = skipped), or 1 when something was left behind.
set -uo pipefail
if (($# < 1)); then
  echo "usage: run-isolated.sh COMMAND [ARG...]" >&2
  exit 2
fi
marker="TIDEMARK_ISOLATED_RUN=$$.$(date +%s%N)"
grace_seconds="${TIDEMARK_ISOLATED_GRACE:-10}"

# The processes whose environment holds the marker (zombies aside: their parent reaps them).
marked() {
  local file pid
  for file in $(grep -lzxF "$marker" /proc/[0-9]*/environ 2>/dev/null); do
    pid="${file#/proc/}"
    pid="${pid%/environ}"
    [[ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" == Z ]] || echo "$pid"
  done
}

child=""
finish() {
  local status="$1" pid waited=0 left
  [[ -n "$child" ]] && kill -KILL -- "-$child" 2>/dev/null
  # Processes told to stop when the test ended (SIGTERM through their parent-death signal)
  # get a moment to do so; what is still there afterwards was leaked.
  while left="$(marked)" && [[ -n "$left" ]] && ((waited < grace_seconds * 10)); do
    sleep 0.1
    waited=$((waited + 1))
  done
  if [[ -n "$left" ]]; then
    echo "run-isolated: the test left processes behind; ending them:" >&2
    for pid in $left; do
      echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | cut -c1-160)" >&2
    done
    kill -KILL $left 2>/dev/null
    status=1
  fi
  exit "$status"
}
trap 'finish 143' TERM
trap 'finish 130' INT
trap 'finish 129' HUP

env "$marker" setsid setpriv --pdeathsig SIGKILL -- "$@" &
child=$!
wait "$child"
status=$?
# wait returns early (above 128) when a trapped signal arrives; the trap has run then.
finish "$status"
