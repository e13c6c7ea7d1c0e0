#!/usr/bin/env bash
# Starts Tidemark headless from <bin dir> in a scratch home and prints the resident (RSS),
# proportional (PSS) and anonymous memory of the app and its server, in KiB, 20 s after
# the start and then every <interval> seconds until <seconds> have passed.
#   bash bench/steady/memory_over_time.sh build/bin 3600 300
set -euo pipefail
bin="${1:?usage: memory_over_time.sh <bin dir> [seconds] [interval]}"
seconds="${2:-3600}"
interval="${3:-300}"
home="$(mktemp -d)"
env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
  XDG_RUNTIME_DIR="$home" TIDEMARK_UI=headless "$bin/Tidemark" >"$home/log" 2>&1 &
app=$!
trap 'kill $app 2>/dev/null; wait $app 2>/dev/null; rm -rf "$home"' EXIT
start=$(date +%s)
sleep 20
while :; do
  line="$(date +%T) t=$(($(date +%s) - start))s"
  for pid in $app $(pgrep -P $app -f TidemarkServer | head -1); do
    line+=" $(cat /proc/$pid/comm) $(awk '/^(Rss|Pss|Anonymous):/ { printf "%s%d ", $1, $2 }' /proc/$pid/smaps_rollup)"
  done
  echo "$line"
  (($(date +%s) - start + interval <= seconds)) || break
  sleep "$interval"
done
