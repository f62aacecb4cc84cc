#!/bin/bash
# Installs the Corvanta connect script and tunnel agent once, as root (the client
# runs this through pkexec; by hand: sudo ./scripts/install-helper.sh):
#   - cv-connect.sh and corvanta-agent from beside this file (in a source tree, the
#     agent from build/src/agent) to /usr/local/libexec/corvanta/, root-owned,
#     mode 0755, in root-owned folders no one else can write;
#   - a rule in /etc/sudoers.d/ that lets the invoking user (PKEXEC_UID or SUDO_USER)
#     run exactly that script through `sudo -n` without a password. The rule is
#     checked with `visudo -c` before it is put in place.
# Running it again is harmless. `install-helper.sh --uninstall` removes the rule
# again, and the script, the agent and their folder once no user's rule needs them. Every failure
# exits non-zero with one line on standard error.
#
# For tests only: CV_INSTALL_ROOT installs under another root folder (the rule still
# names the real path of the script).

set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
umask 022

fail() {
    echo "install-helper: $*" >&2
    exit 1
}

ROOT=${CV_INSTALL_ROOT:-}
SCRIPT_PATH=/usr/local/libexec/corvanta/cv-connect.sh
HERE=$(dirname -- "$(readlink -f -- "$0")")
SOURCE=$HERE/cv-connect.sh
AGENT_SOURCE=$HERE/corvanta-agent
[ -e "$AGENT_SOURCE" ] || AGENT_SOURCE=$HERE/../build/src/agent/corvanta-agent
AGENT_PATH=$(dirname -- "$SCRIPT_PATH")/corvanta-agent

uninstall=false
case "${1-}" in
--uninstall) uninstall=true ;;
"") ;;
*) fail "usage: install-helper.sh [--uninstall]" ;;
esac

[ "$(id -u)" -eq 0 ] || fail "must run as root (through pkexec or sudo)"
[ -f "$SOURCE" ] || fail "cannot find $SOURCE"
$uninstall || [ -f "$AGENT_SOURCE" ] || fail "cannot find the tunnel agent beside $SOURCE (build it first)"
command -v visudo >/dev/null || fail "visudo not found: install the sudo package"

# The user to allow.
if [ -n "${PKEXEC_UID-}" ]; then
    user=$(getent passwd "$PKEXEC_UID" | cut -d: -f1) || fail "no user with id $PKEXEC_UID"
elif [ -n "${SUDO_USER-}" ]; then
    user=$SUDO_USER
else
    fail "cannot tell which user to allow: run through pkexec or sudo"
fi
[[ $user =~ ^[a-z_][a-z0-9_.-]{0,31}$ ]] || fail "refusing unusual user name '$user'"

sudoers_dir="$ROOT/etc/sudoers.d"
# One file per user, its name telling users apart: sudo skips names with a dot, so
# "_" becomes "__" and "." becomes "_-" ("a.b" and "a_b" get different files).
name=${user//_/__}
rule="$sudoers_dir/corvanta-${name//./_-}"
rule_text=$(printf '# Written by Corvanta install-helper.sh\n%s ALL=(root) NOPASSWD: %s' "$user" "$SCRIPT_PATH")
ours() { [ "$(cat -- "$1" 2>/dev/null)" = "$rule_text" ]; }

# Root runs the script without sudo's leave: it gets the files, and no rule.
if [ "$user" = root ] && ! $uninstall; then
    rule=""
fi

if $uninstall; then
    if [ -e "$rule" ]; then
        ours "$rule" || fail "leaving $rule alone: it was changed by hand"
        rm -f -- "$rule" || fail "cannot remove $rule"
    fi
    # The script goes with the last rule that names it.
    if ! grep -qsF -- "$SCRIPT_PATH" "$sudoers_dir"/corvanta-*; then
        rm -f -- "$ROOT$SCRIPT_PATH" "$ROOT$AGENT_PATH"
        rmdir -- "$ROOT$(dirname -- "$SCRIPT_PATH")" 2>/dev/null || true
    fi
    echo "install-helper: removed the rule for $user"
    exit 0
fi
if [ -n "$rule" ] && [ -e "$rule" ] && ! ours "$rule"; then
    fail "leaving $rule alone: it was changed by hand (remove it, then run this again)"
fi

# Each folder on the way must be root's and writable by root alone.
dir=""
for part in usr local libexec corvanta; do
    dir="$dir/$part"
    [ ! -L "$ROOT$dir" ] || fail "$ROOT$dir is a symbolic link"
    if [ ! -e "$ROOT$dir" ]; then
        install -d -o root -g root -m 0755 -- "$ROOT$dir" 2>/dev/null || fail "cannot create $ROOT$dir"
    fi
    [ -d "$ROOT$dir" ] || fail "$ROOT$dir is not a folder"
    [ "$(stat -c %u -- "$ROOT$dir")" = 0 ] || fail "$ROOT$dir is not owned by root"
    (( (8#$(stat -c %a -- "$ROOT$dir") & 8#022) == 0 )) || fail "$ROOT$dir is writable by others"
done

put() { # source, target
    install -o root -g root -m 0755 -- "$1" "$2.new" || fail "cannot copy $1"
    mv -fT -- "$2.new" "$2" || fail "cannot install $2"
}
put "$SOURCE" "$ROOT$SCRIPT_PATH"
put "$AGENT_SOURCE" "$ROOT$AGENT_PATH"

if [ -z "$rule" ]; then
    echo "install-helper: installed $SCRIPT_PATH (root needs no sudoers rule)"
    exit 0
fi

# The folder keeps the mode it has; a new one gets the system's usual 0755.
[ -d "$sudoers_dir" ] || install -d -o root -g root -m 0755 -- "$sudoers_dir" || fail "cannot create $sudoers_dir"
tmp=$(mktemp "$sudoers_dir/.corvanta.XXXXXX") || fail "cannot write to $sudoers_dir"
trap 'rm -f -- "$tmp"' EXIT
printf '%s\n' "$rule_text" >"$tmp"
chmod 0440 -- "$tmp"
visudo -cqf "$tmp" >/dev/null 2>&1 || fail "the sudoers rule did not pass visudo -c"
mv -fT -- "$tmp" "$rule" || fail "cannot install $rule"
trap - EXIT

echo "install-helper: $user may now run $SCRIPT_PATH through sudo -n"
