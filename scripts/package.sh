#!/usr/bin/env bash
# Builds the Debian packages into build/packages with the distribution's tools
# (dpkg-buildpackage, debhelper): brisknetservice, the four DFU libraries and libmxupd-dev.
# The version is the CMake project's; the sources are copied, so the tree stays clean.
# --lintian also checks the result (errors fail the script).
# --arch ARCH cross-builds them for another architecture (arm64: scripts/install-deps.sh
# installs what that needs) into build/packages-ARCH, and checks what a cross build can get
# wrong: the machine code, the dependencies, the pkg-config paths, and the tools running from
# the unpacked packages under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
lint=0
arch=
while [ $# -gt 0 ]; do
  case $1 in
    --lintian) lint=1 ;;
    --arch) arch=${2:?--arch needs an architecture}; shift ;;
    --arch=*) arch=${1#--arch=} ;;
    *) echo "usage: package.sh [--lintian] [--arch ARCH]" >&2; exit 2 ;;
  esac
  shift
done
native=$(dpkg --print-architecture)
[ "$arch" = "$native" ] && arch=

version=$(sed -n 's/^project(BriskNetService VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
out=$PWD/build/packages${arch:+-$arch}
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
cross=()
if [ -n "$arch" ]; then
  cross=(-a"$arch" -Pcross,nocheck)
fi
(cd "$src" && dpkg-buildpackage -b -us -uc --no-pre-clean "${cross[@]}" >"$out/build.log" 2>&1) || {
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
[ -z "$arch" ] && exit 0

# The cross-built set, checked.
fail() { echo "package.sh: $arch: $*" >&2; exit 1; }
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
cpu=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)
for p in brisknetservice libmxupd1 libqktubedevice1 libmxupdfiles1 libmxupdprt1 libmxupd-dev; do
  [ -f "$(echo "$out/${p}_"*"_$arch.deb")" ] || fail "no ${p}_*_$arch.deb"
done
root=$out/root
mkdir -p "$root"
for deb in "$out"/*.deb; do dpkg-deb -x "$deb" "$root"; done
case $cpu in aarch64) machine=aarch64 ;; x86_64) machine=x86-64 ;; *) machine=$cpu ;; esac
for f in "$root"/usr/bin/* "$root/usr/lib/$multiarch"/lib*.so.*.*; do
  [ -L "$f" ] && continue
  file -b "$f" | grep -q "ELF 64-bit.*$machine" || fail "$f is not $machine code: $(file -b "$f")"
done
# dpkg-shlibdeps read the libraries of the target architecture: the program depends on the
# target's Qt, and on the DFU libraries by their own packages' names.
depends=$(dpkg-deb -f "$out/brisknetservice_"*"_$arch.deb" Depends)
for lib in libqt6core6 libmxupdprt1 libc6; do
  pattern="(^|[ ,])$lib([ ,(]|$)"
  [[ $depends =~ $pattern ]] || fail "brisknetservice does not depend on $lib: $depends"
done
for pc in "$root/usr/lib/$multiarch/pkgconfig"/*.pc; do
  grep -qx "libdir=\${prefix}/lib/$multiarch" "$pc" || fail "$(basename "$pc") has no libdir in lib/$multiarch"
done
[ "$(ls "$root/usr/lib/$multiarch/pkgconfig"/*.pc | wc -l)" -eq 4 ] || fail "not four pkg-config files"
# The tools run from the unpacked packages under the emulator, with the cross C library that
# matches its loader (cmake/aarch64-linux-gnu.cmake says why).
run=(qemu-"$cpu" -L /usr/"$multiarch" -E LD_LIBRARY_PATH="$root/usr/lib/$multiarch:/usr/$multiarch/lib")
"${run[@]}" "$root/usr/bin/brisk-dfu" --version >/dev/null || fail "brisk-dfu --version fails"
"${run[@]}" "$root/usr/bin/brisk-reader" --help >/dev/null || fail "brisk-reader --help fails"
rm -rf "$root"
echo "package.sh: $arch packages checked (machine code, dependencies, pkg-config, tools)"
