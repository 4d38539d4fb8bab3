#!/usr/bin/env bash
# The arm64 suite (part of scripts/test.sh): a cross build with cmake/aarch64-linux-gnu.cmake in
# build/arm64 of only what its tests run, the tests under qemu-user, every fuzz corpus file
# replayed once, and the SDK example. The tests that need umockdev or start a program of ours
# can not run there; build/arm64/left-out-tests.txt names them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
dir=build/arm64
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DBRISK_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" --target test-programs -- -j"$jobs"
echo "== arm64 tests under qemu-user; left out, by label:"
sed 's/^/   /' "$dir/left-out-tests.txt"
ctest --test-dir "$dir" --output-on-failure -j"$jobs" -LE 'umockdev|spawns'
