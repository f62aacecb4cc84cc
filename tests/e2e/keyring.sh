#!/usr/bin/env bash
# keyring.sh TST_KEYRING: runs it in a private home, on a private bus with an unlocked keyring,
# and without one, where the client must say once, on one line, that the token is in the file.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/home" "$work/runtime"
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config \
    XDG_CACHE_HOME=$work/home/cache XDG_RUNTIME_DIR=$work/runtime
unset DISPLAY WAYLAND_DISPLAY XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_KEYRING_CONTROL
failed=0
check() { # what, how often the client may say it has no keyring, then the command
    "${@:3}" 2>"$work/err" || { echo "FAIL: $1"; failed=1; }
    cat "$work/err" >&2
    said=$(grep -cF 'corvanta: no keyring available; the session token is kept in ' "$work/err" || true)
    [ "$said" = "$2" ] || { echo "FAIL: $1, the client said $said times that there is none"; failed=1; }
}
# --unlock makes the login keyring (the default collection); --start puts it on the bus.
# shellcheck disable=SC2016 # expanded by the inner shell
check "with a keyring" 0 dbus-run-session -- bash -c 'echo -n test | gnome-keyring-daemon --unlock \
    --components=secrets >/dev/null && gnome-keyring-daemon --start --components=secrets >/dev/null && exec "$0"' "$1"
check "without a keyring" 1 env CORVANTA_TEST_KEYRING=none dbus-run-session -- "$1"
exit "$failed"
