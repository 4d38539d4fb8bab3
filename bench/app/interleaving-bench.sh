#!/usr/bin/env bash
# 10,000 random interleavings against the link controller (target: no violation, at most 30
# minutes): the interleaving test's eight shards, two side by side, 1,250 sequences each.
# Run: bench/app/interleaving-bench.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/build.sh default "" app_interleaving_tests >/dev/null
test=build/default/tests/app/core/app_interleaving_tests
export BRISK_INTERLEAVING_SEQUENCES=${SEQUENCES_PER_SHARD:-1250}
start=$(date +%s)
status=0
for pair in "1 2" "3 4" "5 6" "7 8"; do
  pids=()
  for shard in $pair; do
    umockdev-wrapper "$test" --gtest_filter="*Promises$shard" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
echo "interleavings: $(( $(date +%s) - start )) s for $(( 8 * BRISK_INTERLEAVING_SEQUENCES )) sequences (target < 1800 s)"
exit $status
