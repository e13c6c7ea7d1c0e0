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
work=$(mktemp -d /tmp/tidemark-rotation-bench-XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; sleep 0.5; rm -rf "$work"; }
trap cleanup EXIT

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null & pids+=($!)
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
cat > "$work/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=1 > "$work/bus" & pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus" ] && break; sleep 0.1; done
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus") NO_AT_BRIDGE=1 GTK_A11Y=none
"$build/tests/TestStatusNotifierWatcher" "$DBUS_SESSION_BUS_ADDRESS" > "$work/watcher" & pids+=($!)
for _ in $(seq 50); do grep -q watching "$work/watcher" 2>/dev/null && break; sleep 0.1; done

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
