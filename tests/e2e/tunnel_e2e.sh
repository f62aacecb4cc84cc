#!/bin/bash
# The real tunnel, end to end, in network namespaces of its own (needs root): the test program
# in a client namespace, the substitute service with --mesh in a service namespace (it makes
# the exit's itself). The machine's own namespace is not touched. Usage: tunnel_e2e.sh DEVSERVICE TEST-PROGRAM
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "FAIL: the tunnel test needs root (network namespaces, WireGuard)" >&2; exit 1; }
for tool in ip wg wg-quick wireguard-go nft tcpdump curl; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing: run ./run setup" >&2; exit 1; }; done
# One run at a time on a machine: WireGuard's control sockets (/var/run/wireguard) are machine-wide.
exec 8>/run/lock/corvanta-tunnel-test.lock && flock 8
devservice=$1 program=$2 cli=cvt-cli-$$ svc=cvt-svc-$$ work=$(mktemp -d) service=""
cleanup() {
    [ -z "$service" ] || { kill -TERM "$service" && wait "$service"; } 2>/dev/null || true
    for ns in "$cli" "$svc"; do ip netns del "$ns" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

for ns in "$cli" "$svc"; do # no duplicate-address wait: addresses settle at once
    ip netns add "$ns"
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
    ip -n "$ns" link set lo up
done
ip -n "$cli" link add cvtc0 type veth peer name cvts0 netns "$svc"
ip -n "$cli" addr add 10.230.0.2/30 dev cvtc0 && ip -n "$cli" link set cvtc0 up
ip -n "$svc" addr add 10.230.0.1/30 dev cvts0 && ip -n "$svc" link set cvts0 up
ip -n "$cli" route add default via 10.230.0.1
ip netns exec "$svc" sysctl -qw net.ipv4.ip_forward=1 # the way from the client to the exit
# The service is not on the client's own link (as on the internet): under the full
# tunnel its traffic goes through the exit, which forwards it.
ip -n "$svc" addr add 10.229.0.1/32 dev lo

ip netns exec "$svc" "$devservice" --mesh --mesh-routes full --listen 10.229.0.1 --port 0 \
    --provision-seconds 0 >"$work/service.log" 2>&1 8>&- &
service=$!
for _ in $(seq 100); do
    { grep -q "listening on" "$work/service.log" || ! kill -0 "$service"; } 2>/dev/null && break
    sleep 0.1
done
base=$(grep -o 'http://[0-9.:]*' "$work/service.log" | head -n 1)
[ -n "$base" ] || { echo "FAIL: the substitute service did not start:" >&2; cat "$work/service.log" >&2; exit 1; }
printf '#!/bin/bash\nshift\nexec "$@"\n' >"$work/sudo" && chmod 700 "$work/sudo" # sudo, "-n" dropped

CV_TEST_API=$base CV_TEST_SERVICE_LOG=$work/service.log CV_TEST_SERVICE_NS=$svc CV_TEST_SUDO=$work/sudo \
    CV_PID_FILE=$work/state/corvanta-app.pid ip netns exec "$cli" "$program" 8>&-
