#!/usr/bin/env bash
# Runs the service against the reader simulator and a local platform server: the reader asks
# for a platform connection, sends a few blocks, and the platform's answers come back to it.
# DEMO_SECONDS sets how long it runs (default 8).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default "" brisk-reader brisk-reader-sim brisk-platform-sim >/dev/null
bin=build/default
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
seconds=${DEMO_SECONDS:-8}

"$bin/sim/platform/brisk-platform-sim" --reply "platform says hello" --seconds $((seconds + 5)) \
  > "$work/platform.out" &
pids+=($!)
for _ in $(seq 50); do grep -q listening "$work/platform.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/platform.out")
sed 's/^/[platform] /' "$work/platform.out"

"$bin/sim/reader/brisk-reader-sim" --link "$work/reader" --connect --send "card 0001 read" \
  --count 3 --interval 700 --seconds $((seconds + 5)) > >(sed -u 's/^/[reader]   /') &
pids+=($!)
for _ in $(seq 50); do [ -e "$work/reader" ] && break; sleep 0.1; done

"$bin/tools/brisk-reader/brisk-reader" --device "$work/reader" --log relay \
  --platform "127.0.0.1:$port" > >(sed -u 's/^/[service]  /') &
service=$!
sleep "$seconds"
kill -INT "$service"
wait "$service" || true
tail -n +2 "$work/platform.out" | sed 's/^/[platform] /'
log="${TMPDIR:-/tmp}/BriskNetService-$(id -u)/brisk7.log"
echo "service log: $log"
