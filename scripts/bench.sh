#!/usr/bin/env bash
# Builds an optimised tree in build/bench and runs every benchmark, printing each figure.
# RELAY_ROUND_TRIPS (default 10000) and IDLE_SECONDS (default 10) size the relay run; its round
# trips, ours and socat's interleaved, are the medians of RELAY_RUNS runs (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/bench/build.ninja ]; then
  # -O2: GCC 12 reports false string-copy overlaps at -O3.
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DBRISK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build build/bench -- -j"$(nproc)"
for b in build/bench/bench/*/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  case "$(basename "$b")" in
    bench_relay) "$b" "${RELAY_ROUND_TRIPS:-10000}" "${IDLE_SECONDS:-10}" "${RELAY_RUNS:-5}" ;;
    *) "$b" ;;
  esac
done
