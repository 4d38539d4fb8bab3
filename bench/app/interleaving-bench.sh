#!/usr/bin/env bash
# 10,000 random interleavings against the link controller (target: no violation, at most 30
# minutes): 400 runs of the interleaving test's shard of 25 sequences, four side by side (they
# mostly wait for the reader), each with seeds of its own. A run stays at 25 sequences: the emulated bus keeps every reader that a
# sequence plugs in until its process ends, and umockdev's table of descriptors is small.
# Run: bench/app/interleaving-bench.sh   (RUNS: how many runs of 25, default 400)
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/build.sh default "" app_interleaving_tests >/dev/null
test=build/default/tests/app/core/app_interleaving_tests
export BRISK_INTERLEAVING_SEQUENCES=25
runs=${RUNS:-400}
side_by_side=4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
failed=0
for ((i = 0; i < runs; i += side_by_side)); do
  pids=()
  for ((side = 0; side < side_by_side; ++side)); do
    umockdev-wrapper "$test" --gtest_filter='*Promises1' >"$work/$side.out" 2>&1 &
    pids+=($!)
  done
  for ((side = 0; side < side_by_side; ++side)); do
    if ! wait "${pids[$side]}"; then
      failed=$((failed + 1))
      grep -E 'Failure|replay:' "$work/$side.out" || tail -5 "$work/$side.out"
    fi
  done
done
echo "interleavings: $(($(date +%s) - start)) s for $((runs * 25)) sequences, $failed runs failed" \
  "(target < 1800 s, none failed)"
[ "$failed" = 0 ]
