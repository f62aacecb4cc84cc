#!/usr/bin/env bash
# The substitute service answers plain curl: its regions list, built in or from a file, and
# 404 with a JSON message; it refuses bad arguments.
set -euo pipefail
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
serve() { # arguments; sets base to the address of the service it starts
    local out
    out=$(mktemp -p "$work")
    "$1" --port 0 "${@:2}" >"$out" &
    for _ in $(seq 1 100); do grep -q 'listening on' "$out" && break; sleep 0.1; done
    base=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$out")
}
serve "$1"
regions=$(curl -sS --fail "$base/api/regions")
[[ $regions == *'"id":"us-east"'* && $regions == *'"status":"soon"'* ]] || fail "no us-east or no coming-soon region in: $regions"
for request in "GET /api/unknown" "POST /api/regions"; do
    said=$(curl -sS -X "${request% *}" -w '\n%{http_code}' "$base${request#* }")
    [[ $said == *"\"message\":\"not found: $request\""*$'\n'404 ]] || fail "$request: $said"
done
echo '[{"id":"x1","country":"Atlantis","city":"Poseidonia","flag":"🏳️","status":"soon"}]' >"$work/regions.json"
serve "$1" --regions "$work/regions.json"
regions=$(curl -sS --fail "$base/api/regions")
[[ $regions == '[{'*'"id":"x1"'*'}]' && $regions != *'"id":"us-east"'* ]] || fail "not the regions of the file: $regions"
said=$("$1" --port 0 --regions "$work/none.json" 2>&1) && fail "served regions from a file that is not there"
[[ $? -eq 2 && $said == *"cannot read $work/none.json"* ]] || fail "a missing regions file: $said"
"$1" --port 70000 2>/dev/null && fail "took port 70000"
[ $? -eq 2 ] || fail "port 70000 is no usage error"
