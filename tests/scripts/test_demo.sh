#!/usr/bin/env bash
# Once the client of ./run demo ends, its substitute service is stopped and its log removed.
set -euo pipefail
work=$(mktemp -d)
# The demo gets its own process group, so whatever it leaves running can be ended on the way out.
set -m
trap 'set +e; kill -- -"${demo-}" 2>/dev/null; rm -rf "$work"' EXIT
# Private homes and no session bus: the demo must touch nothing of the user's desktop.
mkdir -m 0700 "$work/tmp" "$work/home" "$work/data" "$work/config" "$work/runtime"
unset DBUS_SESSION_BUS_ADDRESS XDG_CURRENT_DESKTOP
CORVANTA_DEMO_TUNNEL=off TMPDIR=$work/tmp HOME=$work/home XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config \
    XDG_RUNTIME_DIR=$work/runtime DISPLAY=:no-display QT_QPA_PLATFORM=offscreen "$1" demo >"$work/out" 2>&1 </dev/null &
demo=$!
client=
for _ in $(seq 1 1200); do
    kill -0 "$demo" 2>/dev/null || break
    base=$(sed -n 's|^demo: substitute service at ||p' "$work/out")
    [ -n "$base" ] && client=$(pgrep -P "$demo" -x corvanta) && break
    sleep 0.1
done
{ [ -n "$client" ] && curl -s -o /dev/null --max-time 5 "$base/api/regions"; } ||
    { echo "FAIL: the demo's client or service never started"; cat "$work/out"; exit 1; }
kill -TERM "$client"
wait "$demo" || true
! curl -s -o /dev/null --max-time 5 "$base/api/regions" || { echo "FAIL: the service still answers at $base"; exit 1; }
[ -z "$(ls -A "$work/tmp")" ] || { echo "FAIL: left behind in TMPDIR: $(ls -A "$work/tmp")"; exit 1; }
