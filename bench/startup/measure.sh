#!/usr/bin/env bash
# Launch-to-readiness time of build/bin/Tidemark with the bundled server: from the
# launch until the headless backend prints the panel's login line, which happens right
# after the health check has answered. Prints each run and the median in milliseconds.
set -euo pipefail
build="${1:-build}"
runs="${2:-9}"
times=()
for ((i = 0; i < runs; i++)); do
  home=$(mktemp -d)
  log="$home/out.log"
  start=$(date +%s%N)
  HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home" \
    TIDEMARK_UI=headless "$build/bin/Tidemark" >"$log" 2>&1 &
  pid=$!
  until grep -q "Open the panel in a browser" "$log" 2>/dev/null; do sleep 0.005; done
  end=$(date +%s%N)
  kill -TERM "$pid"; wait "$pid" || true
  rm -rf "$home"
  ms=$(( (end - start) / 1000000 ))
  echo "run $((i + 1)): ${ms} ms"
  times+=("$ms")
done
printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print "median: " a[int((NR+1)/2)] " ms"}'
