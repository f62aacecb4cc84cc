#!/bin/bash
# Corvanta connect script. Runs as root (through `sudo -n`, allowed by the rule that
# install-helper.sh writes) and brings the tunnel up or down:
#
#   cv-connect.sh up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE
#   cv-connect.sh down
#
# Every argument comes from the network and is treated as untrusted data: each one
# must match a strict pattern, and none is ever evaluated or read as an option.
#
# The tunnel itself is the agent, /usr/local/libexec/corvanta/corvanta-agent (a
# WireGuard interface; see src/agent). `up` starts it as
#   corvanta-agent --server S --exit-mesh-ip E --relay R --join-code J --control-plane C --pid-file P
# and returns once the agent reports the first handshake done (it creates
# agent/ready beside the pid file), or fails with the agent's own one-line reason; it waits 20 s at
# most. Without an installed agent `up` fails: there is no tunnel to claim.
#
# While the tunnel is up its process id is in /run/corvanta/corvanta-app.pid (mode 0644, in a
# folder of root's, 0755); the agent writes what it says to /run/corvanta/agent.log (0600).
#
# For tests only, these variables redirect the fixed paths (sudo does not pass
# them through):
#   CV_PID_FILE   the process-id file   (default /run/corvanta/corvanta-app.pid)
#   CV_AGENT      the agent executable  (default /usr/local/libexec/corvanta/corvanta-agent)
#
# Failures exit non-zero with one line on standard error.

set -euo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
umask 022

# The tunnel's state lives in a folder only root writes to: in /tmp anyone could
# squat the file's name.
PID_FILE=${CV_PID_FILE:-/run/corvanta/corvanta-app.pid}
STATE_DIR=$(dirname -- "$PID_FILE")
AGENT=${CV_AGENT:-/usr/local/libexec/corvanta/corvanta-agent}
AGENT_LOG=$STATE_DIR/agent.log
UP_SECONDS=20

fail() {
    echo "cv-connect: ${*:-the tunnel agent ended without saying why}" >&2
    exit 1
}

JOIN_RE='^[A-Za-z0-9]([A-Za-z0-9._~+/=-]{0,511})$'

# Values are parsed, not just pattern-matched: each must be a real host name,
# address, port or address of a web page.
is_ipv4() {
    local IFS=. part parts
    read -r -a parts <<<"$1"
    [[ $1 =~ ^[0-9.]+$ && ${#parts[@]} -eq 4 && $1 != *. ]] || return 1
    for part in "${parts[@]}"; do
        [[ $part =~ ^(0|[1-9][0-9]{0,2})$ ]] && ((part <= 255)) || return 1
    done
}

is_ipv6() { # eight groups of up to four hex digits, one "::" for a run of zeros, an IPv4 tail
    local address=$1 count=0 i part groups
    [[ $address =~ ^[0-9A-Fa-f:.]{2,45}$ && $address != *:::* ]] || return 1
    [[ $address != :* || $address == ::* ]] && [[ $address != *: || $address == *:: ]] || return 1
    local rest=${address/::/ } # the one "::" as a blank
    [[ $rest != *::* ]] || return 1
    IFS=': ' read -r -a groups <<<"$rest"
    for i in "${!groups[@]}"; do
        part=${groups[i]}
        if ((i == ${#groups[@]} - 1)) && [[ $part == *.* ]]; then
            is_ipv4 "$part" || return 1
            count=$((count + 2))
        else
            [[ $part =~ ^[0-9A-Fa-f]{1,4}$ ]] || return 1
            count=$((count + 1))
        fi
    done
    if [[ $address == *::* ]]; then ((count <= 7)); else ((count == 8)); fi
}

is_hostname() { # labels of 1 to 63 letters, digits and inner hyphens; not all digits
    local label labels IFS=.
    [[ $1 =~ ^[A-Za-z0-9.-]{1,253}$ && $1 != *. && $1 != .* && $1 != *..* && $1 =~ [A-Za-z] ]] || return 1
    read -r -a labels <<<"$1"
    for label in "${labels[@]}"; do
        [[ $label =~ ^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$ ]] || return 1
    done
}

is_port() {
    [[ $1 =~ ^[1-9][0-9]{0,4}$ ]] && (($1 <= 65535))
}

is_host_port() { # a host name or address, optionally with a port; IPv6 in brackets then
    local host=$1 port=""
    if [[ $host =~ ^\[([^]]*)\](:([^:]*))?$ ]]; then
        host=${BASH_REMATCH[1]} port=${BASH_REMATCH[3]}
        is_ipv6 "$host" || return 1
    else
        if [[ $host == *:* ]]; then
            port=${host##*:} host=${host%:*}
        fi
        is_ipv4 "$host" || is_hostname "$host" || return 1
    fi
    [[ $1 != *: ]] || return 1
    [ -z "$port" ] || is_port "$port"
}

is_web_address() { # http(s)://host[:port][/path], with no dot-segments in the path
    [[ $1 =~ ^https?://([^/]+)(/[A-Za-z0-9._~/-]{0,512})?$ ]] || return 1
    local path=${BASH_REMATCH[2]}
    is_host_port "${BASH_REMATCH[1]}" || return 1
    [[ /$path/ != */./* && /$path/ != */../* ]]
}

check() { # name value test
    "$3" "$2" || fail "refusing $1: not a valid value"
}
is_join_code() { [[ $1 =~ $JOIN_RE ]]; }
is_mesh_ip() { is_ipv4 "$1" || is_ipv6 "$1"; }
is_relay() { is_host_port "$1" || is_web_address "$1"; }

# The recorded process id, when the file is one we wrote: a regular file (not a
# link) owned by root or by us and writable by nobody else.
recorded_pid() {
    [ -f "$PID_FILE" ] && [ ! -L "$PID_FILE" ] || return 1
    local owner mode pid
    owner=$(stat -c %u -- "$PID_FILE") && mode=$(stat -c %a -- "$PID_FILE") || return 1
    { [ "$owner" = 0 ] || [ "$owner" = "$(id -u)" ]; } || return 1
    (( (8#$mode & 8#022) == 0 )) || return 1
    pid=$(head -c 32 -- "$PID_FILE" | tr -d '[:space:]')
    [[ $pid =~ ^[1-9][0-9]{0,9}$ ]] || return 1
    echo "$pid"
}

# Whether pid is a tunnel process that this script started.
is_our_tunnel() {
    local cmdline
    cmdline=$(tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null) || return 1
    [[ $cmdline == "$AGENT "* ]]
}

write_pid_file() { # pid
    # A new file renamed into place: atomic, and a planted link is replaced, never followed.
    local tmp
    if tmp=$(mktemp "$STATE_DIR/.corvanta-app.XXXXXX") &&
        printf '%s\n' "$1" >"$tmp" && chmod 0644 -- "$tmp" && mv -fT -- "$tmp" "$PID_FILE"; then
        return
    fi
    [ -n "${tmp-}" ] && rm -f -- "$tmp"
    # A tunnel nobody can find could never be brought down: it goes too.
    end_process "$1"
    fail "cannot write $PID_FILE"
}

# Makes the state folder (root's, 0755) and holds its lock until the script ends,
# so that two calls at once cannot leave two tunnels.
lock_state() {
    [ -e "$STATE_DIR" ] || mkdir -m 0755 -- "$STATE_DIR" 2>/dev/null
    if [ ! -d "$STATE_DIR" ] || [ -L "$STATE_DIR" ]; then
        fail "cannot use $STATE_DIR"
    fi
    local owner mode
    owner=$(stat -c %u -- "$STATE_DIR") || fail "cannot use $STATE_DIR"
    mode=$(stat -c %a -- "$STATE_DIR") || fail "cannot use $STATE_DIR"
    if { [ "$owner" != 0 ] && [ "$owner" != "$(id -u)" ]; } || (( (8#$mode & 8#022) != 0 )); then
        fail "refusing $STATE_DIR: it is not root's alone"
    fi
    exec 9>"$STATE_DIR/lock" || fail "cannot lock $STATE_DIR"
    flock 9 || fail "cannot lock $STATE_DIR"
}

cmd_up() {
    [ $# -eq 5 ] || fail "usage: up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE"
    local server=$1 exit_ip=$2 relay=$3 join=$4 control=$5
    check server "$server" is_host_port
    check exit-mesh-ip "$exit_ip" is_mesh_ip
    check relay "$relay" is_relay
    check join-code "$join" is_join_code
    check control-plane "$control" is_web_address

    [ -x "$AGENT" ] || fail "the tunnel agent is not installed at $AGENT: run the one-time setup again"

    # One tunnel at a time: a new connection replaces the old one.
    stop_tunnel
    local pid ready="$STATE_DIR/agent/ready" reason
    rm -f -- "$ready"
    (umask 077 && : >"$AGENT_LOG") || fail "cannot write $AGENT_LOG"

    # (The lock is not handed down: the tunnel outlives this script.)
    setsid "$AGENT" --server "$server" --exit-mesh-ip "$exit_ip" --relay "$relay" \
        --join-code "$join" --control-plane "$control" --pid-file "$PID_FILE" \
        </dev/null >/dev/null 2>>"$AGENT_LOG" 9>&- &
    pid=$!
    for ((tenths = 0; tenths < UP_SECONDS * 10; tenths++)); do
        if [ -e "$ready" ]; then
            write_pid_file "$pid"
            return
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            reason=$(grep -v 'trying the relay' -- "$AGENT_LOG" | tail -n 1 | cut -c 1-300) || true
            fail "${reason#corvanta-agent: }"
        fi
        sleep 0.1
    done
    end_process "$pid"
    fail "the tunnel did not come up within $UP_SECONDS s"
}

# Whether pid still runs: an ended process not yet reaped by its new parent counts as gone.
alive() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) && [ -n "$state" ] && [ "$state" != Z ]
}

# Asks the agent to take its tunnel down (it removes what it added), and makes
# sure it ends after 5 s.
end_process() {
    kill -TERM "$1" 2>/dev/null || return 0
    for _ in $(seq 1 50); do
        alive "$1" || return 0
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null || true
}

stop_tunnel() {
    local pid
    if pid=$(recorded_pid) && is_our_tunnel "$pid"; then
        end_process "$pid"
    fi
    # Only a file we could have written is removed.
    if [ -f "$PID_FILE" ] && [ ! -L "$PID_FILE" ] && recorded_pid >/dev/null; then
        rm -f -- "$PID_FILE" || fail "cannot remove $PID_FILE"
    fi
}

cmd_down() {
    [ $# -eq 0 ] || fail "usage: down"
    stop_tunnel
}

case "${1-}" in
up) shift; lock_state; cmd_up "$@" ;;
down) shift; lock_state; cmd_down "$@" ;;
*) fail "usage: cv-connect.sh up SERVER EXITMESHIP RELAY JOINCODE CONTROLPLANE | down" ;;
esac
