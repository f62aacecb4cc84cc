#!/bin/bash
set -uo pipefail
{ [ "$(id -u)" -eq 0 ] && command -v visudo >/dev/null; } || { echo "FAIL: needs root and visudo"; exit 1; }
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'CV_PID_FILE=$work/tunnel.pid "$scripts/cv-connect.sh" down >/dev/null 2>&1; rm -rf "$work"' EXIT
export CV_PID_FILE=$work/tunnel.pid CV_AGENT=$work/stand-in

# A stand-in agent: records its flags and says it is up (or, for join code "fail", fails) as the real one.
# shellcheck disable=SC2016 # the stand-in's own variables
printf '%s\n' '#!/bin/bash' 'printf "%s\n" "$@" >"$(dirname "$0")/agent.args"' \
    'while [ $# -gt 0 ]; do case $1 in --pid-file) state=$(dirname "$2") ;; --join-code) join=$2 ;; esac; shift; done' \
    '[ "$join" != fail ] || { echo "corvanta-agent: unknown join code" >&2; exit 1; }' \
    'mkdir -p "$state/agent" && : >"$state/agent/ready" && exec -a "$0" sleep 30' >"$CV_AGENT"
chmod +x "$CV_AGENT"

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
expect() { if "${@:2}"; then ok; else bad "$1"; fi; } # description, then a command that must succeed
refused() { if "${@:2}" 2>/dev/null; then bad "$1"; else ok; fi; } # ... that must fail
one_line_failure() { # pattern, then a command that must fail with one line matching it
    local err
    # shellcheck disable=SC2053 # a pattern
    if ! err=$("${@:2}" 2>&1 >/dev/null) && [[ $err == $1 && $err != *$'\n'* ]]; then ok; else bad "$(printf '%q ' "${@:2}"): $err"; fi
}
good=(198.51.100.7 100.64.0.2 relay.fra.corvanta.test:443 ABCD-1234 https://control.corvanta.test)
connect() { "$scripts/cv-connect.sh" "$@"; }
gone() { ! grep -qs '^State:[[:space:]]*[RSDT]' "/proc/$1/status"; } # ended, reaped or not
running() { pgrep -fc "^$CV_AGENT" || true; }
nothing_left() { expect "$1: nothing is left" test ! -e "$CV_PID_FILE" -a "$(running)" -eq 0; }

# --- hostile arguments, and values shaped like addresses and ports that are none ---
# shellcheck disable=SC2016 # the texts are meant literally
hostile=("-x" "a b" '$(id)' ";" $'host\nname' "" "--help" "a;reboot" 'x`id`' "../../etc")
for item in "${hostile[@]/#/0 }" "${hostile[@]/#/1 }" "${hostile[@]/#/2 }" "${hostile[@]/#/3 }" "${hostile[@]/#/4 }" \
    "0 host:99999" "0 1.2.3.4.5.6" "0 a..b" "0 [fe80::1::2]:443" "1 fff" "1 1.2.3.256" \
    "2 https://relay.test/../x" "4 https://control.test:0/"; do
    args=("${good[@]}")
    args[${item%% *}]=${item#* }
    one_line_failure "cv-connect: refusing *" connect up "${args[@]}"
done
nothing_left "refused arguments"
expect "a bracketed IPv6 server and relay URL pass" connect up "[2001:db8::7]:51820" fd7a::2 \
    https://relay.test:8443/r ABCD-1234 https://control.corvanta.test

# --- up and down (a second up replaces the first) ------------------------------------
expect "up succeeds once the agent is up" connect up "${good[@]}"
pid=$(cat "$CV_PID_FILE")
expect "pid file holds the agent" grep -q "^$CV_AGENT" "/proc/${pid:-0}/cmdline"
expect "pid file mode is 0644" test "$(stat -c %a "$CV_PID_FILE")" = 644
expect "agent receives the flags" test "$(tr '\n' ' ' <"$work/agent.args")" = \
    "--server 198.51.100.7 --exit-mesh-ip 100.64.0.2 --relay relay.fra.corvanta.test:443 --join-code ABCD-1234 --control-plane https://control.corvanta.test --pid-file $CV_PID_FILE "
expect "a second up" connect up "${good[@]}"
expect "ends the first tunnel" gone "$pid"
expect "down succeeds" connect down
sleep 0.2
nothing_left "down"
expect "down without a tunnel is harmless" connect down

# --- a planted link is replaced, never followed -------------------------------------
echo precious >"$work/target"
ln -s "$work/target" "$CV_PID_FILE"
expect "up over a planted link" connect up "${good[@]}"
expect "leaves its target and puts a file there" test "$(cat "$work/target")" = precious -a -f "$CV_PID_FILE" -a ! -L "$CV_PID_FILE"
connect down

# --- down never kills a process it did not start --------------------------------------
sleep 30 &
echo $! >"$CV_PID_FILE" && chmod 0644 "$CV_PID_FILE"
connect down
expect "a stranger's process survives down" kill $!
rm -f "$CV_PID_FILE"

# --- a tunnel is never left where no one can find it -----------------------------------
mkdir "$CV_PID_FILE" # squatted: the process id cannot be recorded
refused "up fails when the process id cannot be recorded" connect up "${good[@]}"
expect "and leaves no tunnel running" test "$(running)" -eq 0
rmdir "$CV_PID_FILE"
for _ in 1 2 3; do connect up "${good[@]}" & done
wait
expect "three ups at once leave one tunnel" test "$(running)" -eq 1
connect down
nothing_left "down after three ups"

# --- without a working agent there is no tunnel -----------------------------------------
one_line_failure "cv-connect: the tunnel agent is not installed at $work/none: run the one-time setup again" \
    env CV_AGENT="$work/none" "$scripts/cv-connect.sh" up "${good[@]}"
one_line_failure "cv-connect: unknown join code" connect up "${good[@]:0:3}" fail "${good[4]}"
nothing_left "a failed agent"

# --- install-helper.sh into a temporary root ---------------------------------------------
root=$work/root
mkdir -p "$root/etc/sudoers.d" && chmod 0755 "$root/etc/sudoers.d"
# Installed the way cmake --install lays it out: scripts and agent side by side.
setup=$work/setup && mkdir "$setup" && cp "$scripts/install-helper.sh" "$scripts/cv-connect.sh" "$setup/"
cp "$CV_AGENT" "$setup/corvanta-agent"
helper() { env "$@" CV_INSTALL_ROOT="$root" "$setup/install-helper.sh"; }
install_for() { env CV_INSTALL_ROOT="$root" SUDO_USER="$1" "$setup/install-helper.sh" "${@:2}" >/dev/null; }
expect "installs for SUDO_USER" install_for nobody
folder=$root/usr/local/libexec/corvanta
expect "script, agent and folder are root's, 0755" \
    test "$(stat -c '%a %u' "$folder"/{cv-connect.sh,corvanta-agent,} | sort -u)" = "755 0"
expect "the script is the connect script" cmp -s "$folder/cv-connect.sh" "$scripts/cv-connect.sh"
rule=$root/etc/sudoers.d/corvanta-nobody
expect "rule passes visudo" visudo -cqf "$rule"
expect "rule mode 0440" test "$(stat -c %a "$rule")" = 440
expect "rule names the fixed path" grep -qx 'nobody ALL=(root) NOPASSWD: /usr/local/libexec/corvanta/cv-connect.sh' "$rule"
expect "running again is harmless" helper PKEXEC_UID=65534 >/dev/null
expect "no temporary files left" test -z "$(find "$root" -name '.corvanta*' -o -name '*.new')"
one_line_failure "install-helper: cannot tell which user to allow*" helper -u SUDO_USER -u PKEXEC_UID
one_line_failure "install-helper: refusing unusual user name*" helper SUDO_USER='evil ALL=(ALL) ALL'
expect "the rules folder keeps its mode" test "$(stat -c %a "$root/etc/sudoers.d")" = 755
expect "a user with a dot" install_for a.b
expect "and one with an underscore" install_for a_b
expect "get a rule each" test "$(grep -l 'NOPASSWD' "$root"/etc/sudoers.d/corvanta-a* | wc -l)" -eq 2
echo "nobody ALL=(ALL) ALL" >>"$rule"
refused "a rule changed by hand is not overwritten" install_for nobody
refused "nor removed" install_for nobody --uninstall
expect "and stays as it was" grep -q "(ALL) ALL" "$rule"
sed -i '$d' "$rule"
expect "uninstall for one user" install_for a.b --uninstall
expect "removes that rule only, and keeps the script others need" \
    test ! -e "$root/etc/sudoers.d/corvanta-a_-b" -a -e "$rule" -a -e "$folder/cv-connect.sh"
install_for a_b --uninstall && install_for nobody --uninstall
expect "the last uninstall removes the script and its folder" test ! -e "$folder"
expect "and leaves the rules folder" test -d "$root/etc/sudoers.d" -a -z "$(ls "$root/etc/sudoers.d")"
chmod o+w "$root/usr/local"
refused "writable folder" install_for nobody

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
