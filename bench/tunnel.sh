#!/usr/bin/env bash
# What the tunnel costs, in network namespaces of its own (needs root):
#   client namespace --veth-- service namespace --veth-- exit namespace
# The substitute service runs a real exit (--mesh) in the service namespace; the
# connect script and the agent run in the client namespace. Against them stands a
# bare wireguard-go tunnel made by hand between the same two namespaces, with
# nothing of ours around it. Each round brings both up in turn and measures
#   - connect: `cv-connect.sh up` to its exit, against the bare tunnel's start to
#     its first handshake;
#   - throughput both ways (iperf3) and round-trip time (ping) through each.
# Alternating rounds let a busy moment of the shared machine fall on both tunnels.
# Prints table rows for bench/run.sh, exits 1 when a budget is missed, and fails
# too if the machine's own network namespace is not as it was.
#   bench/tunnel.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${TUNNEL_ROUNDS:-5}
seconds=${TUNNEL_SECONDS:-5}
here=$(cd "$(dirname "$0")" && pwd)
connect=$here/../scripts/cv-connect.sh
agent=$build/src/agent/corvanta-agent
devservice=$build/devservice/corvanta-devservice

# Rows go to the standard output as it was at the start, whatever a function's is.
exec 3>&1
# A row that says why nothing was measured, so the table never just lacks the tunnel.
die() {
    echo "tunnel: $*" >&2
    echo "| tunnel benchmarks | not measured: $* | — | — | — | MISSED |" >&3
    exit 1
}
[[ $rounds =~ ^[1-9][0-9]*$ && $seconds =~ ^[1-9][0-9]*$ ]] || die "TUNNEL_ROUNDS and TUNNEL_SECONDS are counts"
[ "$(id -u)" -eq 0 ] || die "needs root (network namespaces, WireGuard)"
for tool in ip wg wg-quick wireguard-go nft nsenter iperf3 ping curl jq; do
    command -v "$tool" >/dev/null || die "$tool is missing: run ./run bench, which installs it"
done

# (wireguard-go's control sockets are shared by all namespaces: names of our own.)
cli=cvb-cli-$$ svc=cvb-svc-$$ bare_cli=cvbc$$ bare_exit=cvbx$$
sockets=/var/run/wireguard
bare_port=51830
work=$(mktemp -d)
service="" iperf_server="" bare_exit_pid="" bare_cli_pid=""
f=$work/figures # one number a line, a file for each figure
mkdir "$f"
agent_env=(CV_PID_FILE="$work/state/corvanta-app.pid" CV_AGENT="$agent")

# Addresses, links, routes and rules of the machine's own namespace. (Lifetimes
# of dynamic addresses count down by themselves: left out.)
root_state() {
    { ip addr; ip route show table all; ip -6 route show table all; ip rule; ip -6 rule; } |
        grep -v '_lft' | sed 's/ expires [0-9]*sec//'
}
before=$(root_state)

stop() { # pid: ended, and waited for when it is our child
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    for _ in $(seq 1 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# shellcheck disable=SC2317 # run by the trap
cleanup() {
    set +e
    ip netns exec "$cli" env "${agent_env[@]}" "$connect" down 2>/dev/null
    stop "$bare_cli_pid"
    stop "$iperf_server"
    stop "$bare_exit_pid"
    stop "$service" # takes its exit namespace and its wireguard-go along
    ip netns del "$cli" 2>/dev/null
    ip netns del "$svc" 2>/dev/null
    rm -f "$sockets/$bare_cli.sock" "$sockets/$bare_exit.sock"
    rm -rf "$work"
}

# shellcheck disable=SC2317
finish() {
    local status=$? after
    cleanup
    after=$(root_state)
    if [ "$after" = "$before" ]; then
        echo "| the machine's own network (addresses, routes, rules) after the tunnel benchmarks | unchanged \
| — | — | unchanged | ok |" >&3
    else
        echo "tunnel: the machine's own network changed:" >&2
        diff <(echo "$before") <(echo "$after") >&2
        echo "| the machine's own network (addresses, routes, rules) after the tunnel benchmarks | CHANGED \
| — | — | unchanged | MISSED |" >&3
        status=1
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT TERM

now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; } # (the separator follows the locale)
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
word() { if [ "$1" = 1 ]; then echo ok; else echo MISSED; fi; }
# (Commands, not functions: a function put in the background is a shell of its
# own, and its $! not the program's.)
in_cli=(ip netns exec "$cli")

# The way from the client to the exit, as in the tunnel's end-to-end test.
ip netns add "$cli"
ip netns add "$svc"
for ns in "$cli" "$svc"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
    ip -n "$ns" link set lo up
done
ip -n "$cli" link add vcli0 type veth peer name vsvc0 netns "$svc"
ip -n "$cli" addr add 10.230.0.2/30 dev vcli0
ip -n "$svc" addr add 10.230.0.1/30 dev vsvc0
ip -n "$cli" link set vcli0 up
ip -n "$svc" link set vsvc0 up
ip -n "$cli" route add default via 10.230.0.1
ip netns exec "$svc" sysctl -qw net.ipv4.ip_forward=1
ip -n "$svc" addr add 10.229.0.1/32 dev lo

ip netns exec "$svc" "$devservice" --mesh --mesh-routes full --listen 10.229.0.1 --port 0 \
    --provision-seconds 0 --quiet >"$work/service.log" 2>&1 &
service=$!
# The exit namespace exists only in the service's own mount namespace.
in_exit=(nsenter -t "$service" -m -n ip netns exec "cvexit-$service")
for _ in $(seq 1 100); do
    grep -q 'demo account' "$work/service.log" && break
    kill -0 "$service" 2>/dev/null || break
    sleep 0.1
done
api=$(grep -o 'http://[0-9.]*:[0-9]*' "$work/service.log" | head -n 1) ||
    die "the substitute service did not start: $(tail -n 1 "$work/service.log")"
token=$(sed -n 's/^demo account: .*, token \(.*\)$/\1/p' "$work/service.log")

# Signed in, a server ensured: what the client hands the connect script.
region=$("${in_cli[@]}" curl -sf "$api/api/regions" | jq -r '[.[] | select(.status == "online")][0].id') ||
    die "no regions from $api"
"${in_cli[@]}" curl -sf -X POST -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
    -d '{"sessionId":""}' "$api/api/regions/$region/ensure" >"$work/ensure.json" ||
    die "ensure failed for $region"
[ "$(jq -r .state "$work/ensure.json")" = ready ] || die "the server for $region is not ready"
mapfile -t info < <(jq -r '.connectInfo | .server, .exitMeshIp, .relay, .joinCode, .controlPlane' \
    "$work/ensure.json")
exit_mesh_ip=${info[1]}

# The bare tunnel's exit end: one more wireguard-go in the exit namespace, up for the whole run.
umask 077
wg genkey >"$work/exit.key"
wg genkey >"$work/client.key"
exit_public=$(wg pubkey <"$work/exit.key")
client_public=$(wg pubkey <"$work/client.key")
"${in_exit[@]}" wireguard-go -f "$bare_exit" >"$work/bare-exit.log" 2>&1 &
bare_exit_pid=$!
for _ in $(seq 1 100); do [ -S "$sockets/$bare_exit.sock" ] && break; sleep 0.05; done
"${in_exit[@]}" wg set "$bare_exit" private-key "$work/exit.key" listen-port "$bare_port" \
    peer "$client_public" allowed-ips 100.97.0.2/32
"${in_exit[@]}" ip addr add 100.97.0.1/24 dev "$bare_exit"
"${in_exit[@]}" ip link set "$bare_exit" up
"${in_exit[@]}" iperf3 -s >"$work/iperf-server.log" 2>&1 &
iperf_server=$!

# The bare tunnel's client end, from nothing to the first handshake; appends the
# milliseconds from its start, and the first packet's round trip, which waits for
# the handshake (ping's own timing: starting a process in a namespace takes longer).
bare_up() {
    local start shaken nudge
    start=$(now_us)
    "${in_cli[@]}" wireguard-go -f "$bare_cli" >"$work/bare-client.log" 2>&1 &
    bare_cli_pid=$!
    until [ -S "$sockets/$bare_cli.sock" ]; do
        kill -0 "$bare_cli_pid" 2>/dev/null || die "wireguard-go did not start: $(tail -n 1 "$work/bare-client.log")"
        sleep 0.002
    done
    # (wg reaches wireguard-go through its socket, from any namespace.)
    wg set "$bare_cli" private-key "$work/client.key" \
        peer "$exit_public" endpoint "10.231.0.2:$bare_port" allowed-ips 100.97.0.0/24
    ip -n "$cli" addr add 100.97.0.2/24 dev "$bare_cli"
    ip -n "$cli" link set "$bare_cli" up
    "${in_cli[@]}" ping -c 1 -W 5 100.97.0.1 >"$work/first-ping" &
    nudge=$!
    until [ "$(wg show "$bare_cli" latest-handshakes | cut -f2)" -gt 0 ] 2>/dev/null; do
        (($(now_us) - start < 10000000)) || die "the bare tunnel had no handshake within 10 s"
        sleep 0.002
    done
    shaken=$(now_us)
    wait "$nudge" || die "the first packet through the bare tunnel had no answer"
    echo $(((shaken - start) / 1000)) >>"$f/bare"
    sed -n 's/.* time=\([0-9.]*\) ms$/\1/p' "$work/first-ping" >>"$f/handshake"
}

bare_down() {
    stop "$bare_cli_pid" # its interface goes with it
    bare_cli_pid=""
}

# Megabits a second through the tunnel to ADDRESS; -R for the exit sending.
throughput() { # address [-R]
    "${in_cli[@]}" iperf3 -c "$1" -t "$seconds" -J "${@:2}" >"$work/iperf.json" ||
        die "iperf3 to $1 failed: $(jq -r '.error // empty' "$work/iperf.json" 2>/dev/null)"
    jq '.end.sum_received.bits_per_second / 1e6 | floor' "$work/iperf.json"
}

round_trips() { # address file: each of 20 round trips in ms, appended
    { "${in_cli[@]}" ping -c 20 -i 0.05 "$1" || true; } | sed -n 's/.* time=\([0-9.]*\) ms$/\1/p' >>"$2"
}

for round in $(seq 1 "$rounds"); do
    start=$(now_us)
    "${in_cli[@]}" env "${agent_env[@]}" "$connect" up "${info[@]}" 2>"$work/connect.err" ||
        die "round $round: cv-connect.sh up failed: $(cat "$work/connect.err")"
    echo $((($(now_us) - start) / 1000)) >>"$f/connect"
    [ "$round" -gt 1 ] || ip -n "$cli" -o link show cv0 | grep -o 'mtu [0-9]*' >"$f/agent-mtu"
    throughput "$exit_mesh_ip" >>"$f/agent-up"
    throughput "$exit_mesh_ip" -R >>"$f/agent-down"
    round_trips "$exit_mesh_ip" "$f/agent-rtt"
    start=$(now_us)
    "${in_cli[@]}" env "${agent_env[@]}" "$connect" down
    echo $((($(now_us) - start) / 1000)) >>"$f/disconnect"

    bare_up
    [ "$round" -gt 1 ] || ip -n "$cli" -o link show "$bare_cli" | grep -o 'mtu [0-9]*' >"$f/bare-mtu"
    throughput 100.97.0.1 >>"$f/bare-up"
    throughput 100.97.0.1 -R >>"$f/bare-down"
    round_trips 100.97.0.1 "$f/bare-rtt"
    bare_down
done
round_trips 10.231.0.2 "$f/plain-rtt" # the same way with no tunnel at all

connect_ms=$(median <"$f/connect")
bare_ms=$(median <"$f/bare")
handshake_ms=$(median <"$f/handshake")
connect_ok=$((connect_ms <= bare_ms + 1000))
echo "| connect: \`cv-connect.sh up\` to its exit (agent, join, wg-quick, first handshake), median of $rounds \
| ${connect_ms} ms | ${bare_ms} ms (bare tunnel's start to first handshake; the first packet's round trip, handshake and all, ${handshake_ms} ms) \
| +$((connect_ms - bare_ms)) ms | ≤ +1000 ms | $(word "$connect_ok") |"
echo "| disconnect: \`cv-connect.sh down\`, median of $rounds | $(median <"$f/disconnect") ms | — | — | — | — |"
failed=$((!connect_ok))
for way in up down; do
    agent_mbit=$(median <"$f/agent-$way")
    bare_mbit=$(median <"$f/bare-$way")
    share=$(awk -v a="$agent_mbit" -v b="$bare_mbit" 'BEGIN { printf "%.0f", 100 * a / b }')
    ok=$((share >= 90))
    [ "$ok" = 1 ] || failed=1
    if [ "$way" = up ]; then what="client to exit"; else what="exit to client"; fi
    echo "| throughput through the tunnel, $what (iperf3, ${seconds} s, median of $rounds) | ${agent_mbit} Mbit/s \
| ${bare_mbit} Mbit/s (bare tunnel) | ${share} % | ≥ 90 % | $(word "$ok") |"
done
agent_rtt=$(median <"$f/agent-rtt")
bare_rtt=$(median <"$f/bare-rtt")
echo "| round trip through the tunnel (ping, median of $((rounds * 20))) | ${agent_rtt} ms \
| ${bare_rtt} ms (bare tunnel; no tunnel $(median <"$f/plain-rtt") ms) \
| $(awk -v a="$agent_rtt" -v b="$bare_rtt" 'BEGIN { printf "%.2f×", a / b }') | — | — |"
if [ "$(cat "$f/agent-mtu")" != "$(cat "$f/bare-mtu")" ]; then
    echo "tunnel: the agent's link has $(cat "$f/agent-mtu"), the bare one $(cat "$f/bare-mtu")" >&2
fi
exit "$failed"
