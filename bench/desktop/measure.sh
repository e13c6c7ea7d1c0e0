#!/bin/bash
# Desktop backend figures in a private Xvfb + session bus with the test watcher:
# launch → tray item registered, click → panel drawn, memory (PSS/RSS) of Tidemark,
# its server and WebKit's processes with the panel closed and open, and CPU time and
# wake-ups of the application over an idle minute with the panel closed.
# Usage: bash bench/desktop/measure.sh BUILD-DIR [desktop|no-compositing|headless] [IDLE-SECONDS]
# (desktop: as shipped; no-compositing: also WEBKIT_DISABLE_COMPOSITING_MODE=1;
# headless: the same process with TIDEMARK_UI=headless, for the idle reference)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
mode=${2:-desktop}
idle=${3:-60}
source "$(dirname "${BASH_SOURCE[0]}")/session.sh"
[ "$mode" = no-compositing ] && export WEBKIT_DISABLE_COMPOSITING_MODE=1

now() { date +%s%N; }
mkdir -p "$work/home"
start=$(now)
ui=desktop; [ "$mode" = headless ] && ui=headless
HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data TIDEMARK_UI=$ui \
  "$build/bin/Tidemark" > "$work/app.log" 2>&1 & app=$!; pids+=($app)
if [ "$ui" = desktop ]; then
  until grep -q registered "$work/watcher"; do sleep 0.005; done
  registered=$(now)
  echo "launch → tray item registered: $(( (registered - start) / 1000000 )) ms"
  item=$(awk '/registered/{print $2; exit}' "$work/watcher")
fi
until grep -q "Tidemark Server\] .*listening" "$work/app.log"; do sleep 0.05; done
sleep 5  # the placeholder page and the server settle

pss() {  # name pid → "PSS RSS" in MB
  awk '/^Pss:/{p=$2} /^Rss:/{r=$2} END{printf "%.1f %.1f\n", p/1024, r/1024}' "/proc/$1/smaps_rollup"
}
report() {
  local total=0
  for pid in $app $(pgrep -P $app); do
    read -r p r < <(pss "$pid")
    printf "  %-22s PSS %7.1f MB  RSS %7.1f MB\n" "$(cat /proc/$pid/comm)" "$p" "$r"
    total=$(awk -v a="$total" -v b="$p" 'BEGIN{printf "%.1f", a + b}')
  done
  echo "  total PSS $total MB"
}
echo "panel never opened ($mode):"; report
if [ "$ui" = desktop ]; then

gdbus call --session -d "$item" -o /StatusNotifierItem -m org.kde.StatusNotifierItem.Activate 900 12 > /dev/null
clicked=$(now)
until xdotool search --onlyvisible --name '^Tidemark$' > /dev/null 2>&1; do sleep 0.005; done
mapped=$(now)
echo "click → panel window mapped: $(( (mapped - clicked) / 1000000 )) ms"
sleep 5
echo "panel open ($mode):"; report
gdbus call --session -d "$item" -o /StatusNotifierItem -m org.kde.StatusNotifierItem.Activate 900 12 > /dev/null
sleep 5
echo "panel closed again ($mode):"; report
fi

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() { awk '/ctxt_switches/{s+=$2} END{print s}' /proc/$1/task/*/status 2>/dev/null; }
t0=$(ticks $app); w0=$(switches $app)
sleep "$idle"
t1=$(ticks $app); w1=$(switches $app)
hz=$(getconf CLK_TCK)
echo "idle ${idle}s, panel closed: CPU $(awk -v t="$((t1 - t0))" -v hz="$hz" -v s="$idle" 'BEGIN{printf "%.2f", t * 100 / hz / s}')% of one core," \
     "$(( (w1 - w0) * 60 / idle )) context switches (wake-ups) per minute, all threads of Tidemark"
