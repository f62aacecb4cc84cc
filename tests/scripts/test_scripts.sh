#!/bin/bash
# Tests of scripts/cv-connect.sh and scripts/install-helper.sh.
set -uo pipefail
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'CV_PID_FILE=$work/tunnel.pid "$scripts/cv-connect.sh" down >/dev/null 2>&1; rm -rf "$work"' EXIT
export CV_PID_FILE=$work/tunnel.pid

# A stand-in agent: records its flags, says it is up as the real one does, and
# stays, its command line starting with its path. "fail" in the join code makes it
# fail the way the real one does.
# shellcheck disable=SC2016 # the stand-in's own variables
printf '%s\n' '#!/bin/bash' 'printf "%s\n" "$@" >"$(dirname "$0")/agent.args"' \
    'while [ $# -gt 0 ]; do case $1 in --pid-file) state=$(dirname "$2") ;; --join-code) join=$2 ;; esac; shift; done' \
    '[ "$join" != fail ] || { echo "corvanta-agent: unknown join code" >&2; exit 1; }' \
    'mkdir -p "$state/agent" && : >"$state/agent/ready" && exec -a "$0" sleep 30' >"$work/stand-in"
chmod +x "$work/stand-in"
export CV_AGENT=$work/stand-in

passed=0 failed=0 skipped=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() { # description, then a command that must succeed
    local what=$1; shift
    if "$@"; then ok; else bad "$what"; fi
}
refused() { # description, then a command that must fail
    local what=$1; shift
    if "$@" 2>/dev/null; then bad "$what"; else ok; fi
}

good=(198.51.100.7 100.64.0.2 relay.fra.corvanta.test:443 ABCD-1234 https://control.corvanta.test)
connect() { "$scripts/cv-connect.sh" "$@"; }
gone() { ! grep -qs '^State:[[:space:]]*[RSDT]' "/proc/$1/status"; } # ended, reaped or not

# --- hostile arguments are refused before anything happens -------------------
# shellcheck disable=SC2016 # the texts are meant literally
hostile=("-x" "a b" '$(id)' ";" $'host\nname' "" "--help" "a;reboot" 'x`id`' "../../etc")
refused_at() { # position value: up fails at once, with one line, leaving nothing
    local args=("${good[@]}") err status
    args[$1]=$2
    err=$(connect up "${args[@]}" 2>&1 >/dev/null); status=$?
    if [ $status -ne 0 ] && [ ! -e "$CV_PID_FILE" ] && [ "$(printf '%s' "$err" | wc -l)" -eq 0 ] &&
        [[ $err == cv-connect:* ]]; then ok; else bad "position $1 accepted $(printf %q "$2")"; fi
}
for position in 0 1 2 3 4; do
    for value in "${hostile[@]}"; do refused_at "$position" "$value"; done
done
# Values shaped like addresses and ports that are none.
for item in "0 host:99999" "0 1.2.3.4.5.6" "0 a..b" "0 [fe80::1::2]:443" "1 fff" "1 1.2.3.256" \
    "2 https://relay.test/../x" "4 https://control.test:0/"; do
    refused_at "${item%% *}" "${item#* }"
done
expect "a bracketed IPv6 server and relay URL pass" connect up "[2001:db8::7]:51820" fd7a::2 \
    https://relay.test:8443/r ABCD-1234 https://control.corvanta.test
connect down

expect "nothing was left behind" test ! -e "$CV_PID_FILE"

# --- up and down -----------------------------------------------------------------
expect "up succeeds once the agent is up" connect up "${good[@]}"
pid=$(cat "$CV_PID_FILE" 2>/dev/null)
expect "pid file holds the agent" grep -q "^$work/stand-in" "/proc/${pid:-0}/cmdline"
expect "pid file mode is 0644" test "$(stat -c %a "$CV_PID_FILE")" = 644
expect "agent receives the flags" test "$(tr '\n' ' ' <"$work/agent.args")" = \
    "--server 198.51.100.7 --exit-mesh-ip 100.64.0.2 --relay relay.fra.corvanta.test:443 --join-code ABCD-1234 --control-plane https://control.corvanta.test --pid-file $CV_PID_FILE "
expect "a second up replaces the first" connect up "${good[@]}"
second=$(cat "$CV_PID_FILE")
expect "the first tunnel is gone" gone "$pid"
expect "down succeeds" connect down
sleep 0.2
expect "down stops the tunnel" gone "$second"
expect "down removes the pid file" test ! -e "$CV_PID_FILE"
expect "down without a tunnel is harmless" connect down

# --- a planted link is replaced, never followed ---------------------------------
echo precious >"$work/target"
ln -s "$work/target" "$CV_PID_FILE"
expect "up over a planted link" connect up "${good[@]}"
expect "link target untouched" test "$(cat "$work/target")" = precious
expect "pid file is now a regular file" test -f "$CV_PID_FILE" -a ! -L "$CV_PID_FILE"
connect down

# --- down never kills a process it did not start ---------------------------------
sleep 30 &
stranger=$!
echo "$stranger" >"$CV_PID_FILE"
chmod 0644 "$CV_PID_FILE"
connect down
expect "a stranger's process survives down" kill -0 "$stranger"
kill "$stranger"
rm -f "$CV_PID_FILE"

# --- a tunnel is never left where no one can find it ------------------------------
running() { pgrep -fc "^$work/stand-in" || true; }
mkdir "$CV_PID_FILE" # squatted: the process id cannot be recorded
refused "up fails when the process id cannot be recorded" connect up "${good[@]}"
expect "and leaves no tunnel running" test "$(running)" -eq 0
rmdir "$CV_PID_FILE"
for _ in 1 2 3; do connect up "${good[@]}" & done
wait
expect "three ups at once leave one tunnel" test "$(running)" -eq 1
connect down
expect "and down ends it" test "$(running)" -eq 0

# --- without a working agent there is no tunnel ------------------------------------
failed_up() { # expected reason, then the environment; up fails with that one line, leaving nothing
    local err
    if ! err=$(env "${@:2}" "$scripts/cv-connect.sh" up "${good[@]:0:3}" "${join:-ABCD-1234}" "${good[4]}" 2>&1 >/dev/null) &&
        [ "$err" = "cv-connect: $1" ] && [ ! -e "$CV_PID_FILE" ] && [ "$(running)" -eq 0 ]; then
        ok; else bad "expected '$1', got '$err'"; fi
}
failed_up "the tunnel agent is not installed at $work/none: run the one-time setup again" CV_AGENT="$work/none"
join=fail failed_up "unknown join code"

# --- install-helper.sh into a temporary root -----------------------------------------
if [ "$(id -u)" -ne 0 ] || ! command -v visudo >/dev/null; then
    skipped=$((skipped + 1))
    echo "SKIP: install-helper tests need root and visudo"
else
    root=$work/root
    mkdir -p "$root/etc/sudoers.d" && chmod 0755 "$root/etc/sudoers.d"
    # Installed the way cmake --install lays it out: scripts and agent side by side.
    setup=$work/setup && mkdir "$setup" && cp "$scripts/install-helper.sh" "$scripts/cv-connect.sh" "$setup/"
    cp "$work/stand-in" "$setup/corvanta-agent"
    scripts=$setup
    expect "installs for SUDO_USER" env CV_INSTALL_ROOT="$root" SUDO_USER=nobody "$scripts/install-helper.sh" >/dev/null
    installed=$root/usr/local/libexec/corvanta/cv-connect.sh
    expect "script installed 0755 root" test "$(stat -c '%a %u' "$installed")" = "755 0"
    expect "script is the connect script" cmp -s "$installed" "$scripts/cv-connect.sh"
    expect "agent installed beside it, 0755 root" test "$(stat -c '%a %u' "${installed%/*}/corvanta-agent")" = "755 0"
    expect "folder not writable by others" test "$(stat -c '%a %u' "$root/usr/local/libexec/corvanta")" = "755 0"
    rule=$root/etc/sudoers.d/corvanta-nobody
    expect "rule passes visudo" visudo -cqf "$rule"
    expect "rule mode 0440" test "$(stat -c %a "$rule")" = 440
    expect "rule names the fixed path" grep -qx 'nobody ALL=(root) NOPASSWD: /usr/local/libexec/corvanta/cv-connect.sh' "$rule"
    expect "running again is harmless" env CV_INSTALL_ROOT="$root" PKEXEC_UID=65534 "$scripts/install-helper.sh" >/dev/null
    expect "no temporary files left" test -z "$(find "$root" -name '.corvanta*' -o -name '*.new')"
    err=$(env -u SUDO_USER -u PKEXEC_UID CV_INSTALL_ROOT="$root" "$scripts/install-helper.sh" 2>&1 >/dev/null); status=$?
    expect "no user to allow: one line, non-zero" test $status -ne 0 -a "$(printf '%s\n' "$err" | wc -l)" -eq 1
    err=$(env CV_INSTALL_ROOT="$root" SUDO_USER='evil ALL=(ALL) ALL' "$scripts/install-helper.sh" 2>&1 >/dev/null); status=$?
    expect "hostile user name refused" test $status -ne 0 -a "$(printf '%s\n' "$err" | wc -l)" -eq 1
    expect "the rules folder keeps its mode" test "$(stat -c %a "$root/etc/sudoers.d")" = 755
    install_for() { env CV_INSTALL_ROOT="$root" SUDO_USER="$1" "$scripts/install-helper.sh" "${@:2}" >/dev/null; }
    expect "a user with a dot" install_for a.b
    expect "and one with an underscore" install_for a_b
    expect "get a rule each" test "$(grep -l 'NOPASSWD' "$root"/etc/sudoers.d/corvanta-a* | wc -l)" -eq 2
    echo "nobody ALL=(ALL) ALL" >>"$rule"
    refused "a rule changed by hand is not overwritten" install_for nobody
    refused "nor removed" install_for nobody --uninstall
    expect "and stays as it was" grep -q "(ALL) ALL" "$rule"
    sed -i '$d' "$rule"
    expect "uninstall for one user" install_for a.b --uninstall
    expect "removes that rule only" test ! -e "$root/etc/sudoers.d/corvanta-a_-b" -a -e "$rule"
    expect "and keeps the script others need" test -e "$installed"
    install_for a_b --uninstall && install_for nobody --uninstall
    expect "the last uninstall removes the script and its folder" test ! -e "$root/usr/local/libexec/corvanta"
    expect "and leaves the rules folder" test -d "$root/etc/sudoers.d" -a -z "$(ls "$root/etc/sudoers.d")"
    chmod o+w "$root/usr/local"
    refused "writable folder" env CV_INSTALL_ROOT="$root" SUDO_USER=nobody "$scripts/install-helper.sh"
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
