#!/usr/bin/env bash
# build.sh [NAME [SANITIZER [TARGET...]]]: configures and builds build/NAME (default: build/default).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-default}
sanitize=${2:-}
shift $(( $# > 2 ? 2 : $# ))
dir=build/$name
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DBRISK_SANITIZE="$sanitize" >/dev/null
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" "${targets[@]}" -- -j"$(nproc)"
