#!/usr/bin/env bash
# Builds the Debian packages into build/packages with the distribution's tools
# (dpkg-buildpackage, debhelper): brisknetservice, the four DFU libraries and libmxupd-dev.
# The version is the CMake project's; the sources are copied, so the tree stays clean.
# --lintian also checks the result (errors fail the script).
set -euo pipefail
cd "$(dirname "$0")/.."
lint=0
[ "${1:-}" = "--lintian" ] && lint=1

version=$(sed -n 's/^project(BriskNetService VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
out=$PWD/build/packages
src=$out/src/brisknetservice-$version
rm -rf "$out"
mkdir -p "$src"

# Everything git knows of (untracked files too, ignored ones not); outside a git checkout,
# the tree without its build folders.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$src"
else
  tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$src"
fi

# The one changelog entry, dated by the last commit so that rebuilds give the same files.
date=$(git log -1 --format=%cD 2>/dev/null || date -R)
cat > "$src/debian/changelog" <<CHANGELOG
brisknetservice ($version) unstable; urgency=medium

  * Release $version.

 -- BriskNetService developers <dev@brisk.net>  $date
CHANGELOG

# debhelper gives the build a home of its own: keep ccache's cache where it is.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
fi
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck noddebs parallel=$(nproc)"
(cd "$src" && dpkg-buildpackage -b -us -uc --no-pre-clean >"$out/build.log" 2>&1) || {
  tail -40 "$out/build.log" >&2
  echo "package.sh: the build failed; the whole log is $out/build.log" >&2
  exit 1
}
# A symbols file out of step with a library makes every dependent's version bound wrong.
if grep -n 'dpkg-gensymbols: warning' "$out/build.log" >&2; then
  grep -A20 '^+++ \|^--- ' "$out/build.log" >&2 || true
  echo "package.sh: a symbols file in debian/ does not match its library" >&2
  exit 1
fi
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
rm -rf "$out/src"
ls "$out"/*.deb

if [ $lint -eq 1 ]; then
  lintian --fail-on error "$out"/*.changes
fi
