#!/bin/bash
# Idle cost of the quota icon's 8-second rotation on the desktop: wake-ups (context
# switches) per minute of Tidemark's main thread and of all its threads, with the quota
# item rotating between two providers ("auto") and, as the reference, the same two
# providers with a fixed selection (no timer). Panel never opened. Private Xvfb, bus and
# test watcher.
# Usage: bash bench/desktop/rotation-wakeups.sh BUILD-DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"

switches() { awk '/ctxt_switches/{s+=$2} END{print s}' "$@" 2>/dev/null; }
# Voluntary switches only: the thread went to sleep and was woken (preemption excluded).
wakeups() { awk '/^voluntary_ctxt_switches/{s+=$2} END{print s}' "$@" 2>/dev/null; }

measure() {  # selection → one line of figures
  local selection=$1 home=$work/home-$1
  mkdir -p "$home/config/Tidemark"
  local state='{"enabled":true,"selection":"'"$selection"'","providers":[{"id":"alpha","name":"Alpha","color":"#2f9bff","status":"ok","percent":60,"displayValue":"60%"},{"id":"beta","name":"Beta","color":"#ff8a00","status":"ok","percent":25,"displayValue":"25%"}]}'
  printf '{"Tidemark.dynamicDockIconEnabled": true, "Tidemark.dynamicDockIconState": {"data": "%s"}}\n' \
    "$(printf '%s' "$state" | base64 -w0)" > "$home/config/Tidemark/defaults.json"
  local before; before=$(grep -c '^registered' "$work/watcher" || true)
  HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_RUNTIME_DIR=$home/run TIDEMARK_UI=desktop \
    "$build/bin/Tidemark" > "$work/app-$1.log" 2>&1 & local app=$!
  pids+=($app)
  until [ "$(grep -c '^registered' "$work/watcher")" -ge $((before + 2)) ]; do sleep 0.05; done
  until grep -q "Tidemark Server\] .*listening" "$work/app-$1.log"; do sleep 0.05; done
  sleep 10  # the placeholder page and the server settle
  if ! kill -0 "$app" 2>/dev/null; then echo "Tidemark ended early:"; cat "$work/app-$1.log"; exit 1; fi
  local m0 v0 a0 c0 m1 v1 a1 c1
  m0=$(switches /proc/$app/task/$app/status); v0=$(wakeups /proc/$app/task/$app/status)
  a0=$(switches /proc/$app/task/*/status); c0=$(awk '{print $14 + $15}' /proc/$app/stat)
  sleep "$seconds"
  m1=$(switches /proc/$app/task/$app/status); v1=$(wakeups /proc/$app/task/$app/status)
  a1=$(switches /proc/$app/task/*/status); c1=$(awk '{print $14 + $15}' /proc/$app/stat)
  echo "selection $selection: main thread $(( (v1 - v0) * 60 / seconds )) wake-ups/min" \
       "($(( (m1 - m0) * 60 / seconds )) context switches/min), all threads $(( (a1 - a0) * 60 / seconds ))/min," \
       "CPU $(( (c1 - c0) * 1000 / $(getconf CLK_TCK) )) ms"
  kill "$app"; wait "$app" 2>/dev/null || true
}

mkdir -p "$work"/home-{auto,alpha}/run && chmod 700 "$work"/home-{auto,alpha}/run
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
measure auto
measure alpha
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
