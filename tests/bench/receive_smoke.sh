#!/usr/bin/env bash
# One MJPEG channel received by benchhost from the camera simulator in its own process for two
# seconds: frames arrive and none is lost. Arguments: the camsim and benchhost programs.
set -euo pipefail
camsim=$1
benchhost=$2
out=$(mktemp)
"$camsim" --port 0 --auth none >"$out" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 100); do
    grep -q "listening on" "$out" && break
    sleep 0.1
done
port=$(grep -o 'listening on http://[0-9.]*:[0-9]*' "$out" | grep -o '[0-9]*$')
result=$("$benchhost" recv --port "$port" --stream mjpeg --channels 1 --seconds 2)
echo "$result"
awk '$1 == "frames" && $2 > 0 { f = 1 } $1 == "lost" && $2 == 0 { l = 1 } END { exit !(f && l) }' \
    <<<"$result"
