#!/usr/bin/env bash
# fuzz.sh [SECONDS [TARGET...]]: builds the libFuzzer targets with clang in build/fuzz and runs
# each one in turn for SECONDS (default 60) on its seed corpus fuzz/corpus/<name>/
# (<name>: the target's name in snake case without Fuzz).
# New inputs go to build/fuzz/corpus/<name>/, crashes to build/fuzz/findings/.
# FUZZ_RUNS=N ends each run after N executions instead (SECONDS 0: no time bound).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
dir=build/fuzz
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DBRISK_FUZZ=ON -DBRISK_BUILD_TESTS=OFF \
    -DBRISK_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" --target fuzz-targets -- -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*Fuzz.cpp; do
    t=$(basename "$f" .cpp)
    if [ -x "$dir/fuzz/$t" ]; then targets+=("$t"); fi
  done
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/findings"
for t in "${targets[@]}"; do
  # FrameStreamFuzz's seeds are in fuzz/corpus/frame_stream, and so on.
  name=$(echo "${t%Fuzz}" | sed -E 's/([a-z0-9])([A-Z])/\1_\2/g' | tr '[:upper:]' '[:lower:]')
  mkdir -p "$dir/corpus/$name" "fuzz/corpus/$name"
  bound=(-max_total_time="$seconds")
  [ -n "${FUZZ_RUNS:-}" ] && bound+=(-runs="$FUZZ_RUNS")
  echo "== $t, $seconds s${FUZZ_RUNS:+, $FUZZ_RUNS runs}"
  # The machine is shared: the fuzzer runs at the lowest priority. ASan's allocator keeps
  # freed memory mapped, so a run of millions of inputs grows past 2 GB without a leak.
  rc=0
  nice -n 19 "$dir/fuzz/$t" "${bound[@]}" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/$name-" \
    "$dir/corpus/$name" "fuzz/corpus/$name" >"$dir/$name.log" 2>&1 || rc=$?
  grep -E 'cov:|stat::(number_of_executed_units|average_exec_per_sec)' "$dir/$name.log" |
    tail -3 || true
  if [ $rc -ne 0 ]; then
    tail -40 "$dir/$name.log"
    echo "fuzz: $t found a fault (see $dir/findings/ and $dir/$name.log)"
    exit 1
  fi
done
