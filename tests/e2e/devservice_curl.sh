#!/usr/bin/env bash
# The substitute service answers plain curl: the regions list, and 404 with a JSON message.
set -euo pipefail
devservice=$1
out=$(mktemp)
body=$(mktemp)
pid=
trap 'kill "$pid" 2>/dev/null || true; rm -f "$out" "$body"' EXIT

"$devservice" --port 0 >"$out" &
pid=$!
for _ in $(seq 1 100); do
    grep -q 'listening on' "$out" && break
    sleep 0.1
done
base=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$out")

regions=$(curl -sS --fail "$base/api/regions")
echo "$regions" | grep -q '"id":"us-east"' || { echo "no us-east in: $regions"; exit 1; }
echo "$regions" | grep -q '"status":"soon"' || { echo "no coming-soon region in: $regions"; exit 1; }

status=$(curl -sS -o "$body" -w '%{http_code}' "$base/api/unknown")
[ "$status" = 404 ] || { echo "expected 404, got $status"; exit 1; }
grep -q '"message":"not found: GET /api/unknown"' "$body" || { echo "unexpected 404 body: $(cat "$body")"; exit 1; }
echo "devservice answers curl at $base"
