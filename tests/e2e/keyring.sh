#!/usr/bin/env bash
# Runs tst_keyring on a private session bus twice: with an unlocked gnome-keyring on it,
# and without one, where the client must say once, on one line, that the token is kept
# in the settings file. Private homes: the user's own keyring is never touched.
#   keyring.sh TST_KEYRING
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/home" "$work/runtime"
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config \
    XDG_CACHE_HOME=$work/home/cache XDG_RUNTIME_DIR=$work/runtime
unset DISPLAY WAYLAND_DISPLAY XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION GNOME_KEYRING_CONTROL
line='corvanta: no keyring available; the session token is kept in '
failed=0

# --unlock makes the login keyring (the default collection); --start puts it on the bus.
# shellcheck disable=SC2016 # expanded by the inner shell
if ! dbus-run-session -- bash -c 'echo -n test | gnome-keyring-daemon --unlock --components=secrets >/dev/null &&
        gnome-keyring-daemon --start --components=secrets >/dev/null && exec "$0"' "$program" \
        2>"$work/keyring.err"; then
    echo "FAIL: with a keyring"
    failed=1
fi
cat "$work/keyring.err" >&2
if grep -qF "$line" "$work/keyring.err"; then
    echo "FAIL: said there is no keyring while one runs"
    failed=1
fi

if ! CORVANTA_TEST_KEYRING=none dbus-run-session -- "$program" 2>"$work/none.err"; then
    echo "FAIL: without a keyring"
    failed=1
fi
cat "$work/none.err" >&2
said=$(grep -cF "$line" "$work/none.err" || true)
if [ "$said" != 1 ]; then
    echo "FAIL: without a keyring the client said so $said times, not once"
    failed=1
fi
exit "$failed"
