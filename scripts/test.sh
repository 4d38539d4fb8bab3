#!/usr/bin/env bash
# Builds and runs every test: a normal build, an ASan+UBSan build, the threaded tests once
# more under ThreadSanitizer, and an arm64 cross build whose tests run under qemu-user.
# --quick runs the normal build only.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc)

run_suite() { # name sanitizer target [ctest args...]
  local name=$1 sanitize=$2 target=$3; shift 3
  echo "== $name build"
  scripts/build.sh "$name" "$sanitize" $target
  echo "== $name tests"
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs" "$@"
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

echo "== format"
scripts/check-format.sh

run_suite default "" ""
echo "== fuzz targets, a short run of each on its corpus"
scripts/fuzz.sh 5
if [ $quick -eq 0 ]; then
  run_suite asan address ""
  run_suite tsan thread threaded-tests -L threaded
fi

# The arm64 cross build, its tests under qemu-user (scripts/test-arm64.sh).
if [ $quick -eq 0 ]; then
  echo "== arm64 suite"
  scripts/test-arm64.sh
fi

# The Debian packages: built, checked by lintian, unpacked and run from a temporary root.
if [ $quick -eq 0 ]; then
  echo "== install test"
  scripts/install-test.sh
fi
