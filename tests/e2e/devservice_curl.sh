#!/usr/bin/env bash
# The substitute service answers plain curl: the regions list, and 404 with a JSON message.
set -euo pipefail
out=$(mktemp)
"$1" --port 0 >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; rm -f "$out"' EXIT
for _ in $(seq 1 100); do grep -q 'listening on' "$out" && break; sleep 0.1; done
base=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$out")
regions=$(curl -sS --fail "$base/api/regions")
[[ $regions == *'"id":"us-east"'* && $regions == *'"status":"soon"'* ]] ||
    { echo "FAIL: no us-east or no coming-soon region in: $regions"; exit 1; }
unknown=$(curl -sS -w '\n%{http_code}' "$base/api/unknown")
[[ $unknown == *'"message":"not found: GET /api/unknown"'*$'\n'404 ]] || { echo "FAIL: /api/unknown: $unknown"; exit 1; }
