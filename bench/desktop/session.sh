# Sourced by the desktop bench scripts: a private Xvfb, session bus and test tray watcher.
# Needs $build (the build folder); sets $work (removed at exit), $pids, DISPLAY and
# DBUS_SESSION_BUS_ADDRESS.
work=$(mktemp -d /tmp/tidemark-desktop-bench-XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; sleep 0.5; rm -rf "$work"; }
trap cleanup EXIT

exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 2>/dev/null & pids+=($!)
exec 3>&-
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
# No service activation: nothing (the accessibility bus) starts behind our back.
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
