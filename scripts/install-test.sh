#!/usr/bin/env bash
# The install test: builds the Debian packages (lintian: no errors), unpacks them into a
# temporary root and checks that every file is where a system expects it, that the program and
# the tools run from there with nothing of the build tree on the library path, that the
# metadata validates, and that the SDK's C example builds through pkg-config against the
# unpacked SDK and flashes a package on the emulated reader. Then `cmake --install` of
# build/default must install the same set. Needs build/default built (scripts/test.sh does it).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/default
version=$(sed -n 's/^project(BriskNetService VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install-test: $*" >&2
  exit 1
}

echo "[install] packages and lintian"
scripts/package.sh --lintian 2>&1 | { grep -v '^running with root privileges' || true; } | sed 's/^/  /'

root=$work/root
for deb in build/packages/*.deb; do dpkg-deb -x "$deb" "$root"; done
lib=usr/lib/$multiarch
expected=(
  usr/bin/BriskNetService usr/bin/brisk-reader usr/bin/brisk-dfu usr/bin/brisk-ctl
  usr/lib/udev/rules.d/70-brisknetservice.rules usr/lib/sysusers.d/brisknetservice.conf
  usr/share/applications/net.brisk.NetService.desktop
  usr/share/metainfo/net.brisk.NetService.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/brisk-netservice.svg
  usr/share/dbus-1/interfaces/net.brisk.NetService1.xml
  usr/share/man/man1/BriskNetService.1.gz usr/share/man/man1/brisk-reader.1.gz
  usr/share/man/man1/brisk-dfu.1.gz usr/share/man/man1/brisk-ctl.1.gz
  usr/include/mxupd/MXUPD.h usr/include/mxupd/QKTubeDevice.h usr/include/mxupd/MXUPDFILES.h
  usr/include/mxupd/MXUPDPRT.h usr/include/mxupd/DfuRecords.h
  usr/share/doc/libmxupd-dev/examples/mxupd-flash/mxupd-flash.c
  usr/bin/brisknetd usr/lib/systemd/user/brisknetservice.service
  usr/share/doc/brisknetservice/examples/setting.ini
  usr/lib/brisknetservice/brisk-http.so
)
for name in MXUPD QKTubeDevice MXUPDFILES MXUPDPRT; do
  expected+=("$lib/lib$name.so" "$lib/lib$name.so.1" "$lib/lib$name.so.$version")
  soname=$(readelf -d "$root/$lib/lib$name.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$name.so.1" ] || fail "lib$name: SONAME '$soname', not lib$name.so.1"
done
for pc in mxupd qktubedevice mxupdfiles mxupdprt; do expected+=("$lib/pkgconfig/$pc.pc"); done
for f in "${expected[@]}"; do [ -e "$root/$f" ] || fail "the packages lack /$f"; done
echo "[install] ${#expected[@]} files in place, SONAMEs lib*.so.1"

# The reader's nodes go to the brisknet group as well as to the seat: every rule that tags a node
# for uaccess sets the group and mode, and both the package script and sysusers create the group.
rules=$root/usr/lib/udev/rules.d/70-brisknetservice.rules
tagged=$(grep -c 'TAG+="uaccess"' "$rules")
grouped=$(grep 'TAG+="uaccess"' "$rules" | grep -c 'GROUP="brisknet", MODE="0660"' || true)
[ "$tagged" -gt 0 ] && [ "$tagged" = "$grouped" ] ||
  fail "$grouped of $tagged uaccess rules give the node to brisknet with mode 0660"
dpkg-deb -e build/packages/brisknetservice_*.deb "$work/control"
grep -q '^ *addgroup --system --quiet brisknet$' "$work/control/postinst" ||
  fail "the package's postinst does not create the brisknet group"
[[ $(dpkg-deb -f build/packages/brisknetservice_*.deb Depends) =~ (^|[ ,])adduser($|[ ,]) ]] ||
  fail "the package uses addgroup but does not depend on adduser"
mkdir -p "$work/sysroot/etc"
systemd-sysusers --root="$work/sysroot" "$root/usr/lib/sysusers.d/brisknetservice.conf" 2>/dev/null
grep -q '^brisknet:x:[0-9]*:$' "$work/sysroot/etc/group" || fail "sysusers does not create brisknet"
gid=$(sed -n 's/^brisknet:x:\([0-9]*\):$/\1/p' "$work/sysroot/etc/group")
[ "$gid" -lt 1000 ] || fail "brisknet is not a system group (gid $gid)"
echo "[install] $tagged uaccess rules also give the node to brisknet (0660); the group is created"

# The user unit as systemd reads it, from the unpacked root: its program and man pages are the
# package's. The package enables it for nobody (an administrator chooses the seats).
unit=usr/lib/systemd/user/brisknetservice.service
grep -q '^ExecStart=/usr/bin/brisknetd$' "$root/$unit" || fail "$unit does not start /usr/bin/brisknetd"
mkdir -m 0700 "$work/runtime"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/$unit" >"$work/brisknetservice.service"
verified=$(XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/usr/share/man \
  systemd-analyze --user verify "$work/brisknetservice.service" 2>&1) && [ -z "$verified" ] ||
  fail "systemd-analyze --user verify $unit: $verified"
# debhelper's enabling snippet enables on first install; its --no-enable one only where the
# unit was enabled before (debian-installed).
! grep -q -- '--user enable' "$work/control/postinst" ||
  grep -q -- '--user debian-installed' "$work/control/postinst" ||
  fail "the package's postinst enables the user unit for every user"
echo "[install] the user unit verifies and starts /usr/bin/brisknetd; it is not enabled on install"

# Only the unpacked root on the library path; the binaries carry no path of their own.
export LD_LIBRARY_PATH=$root/$lib
for b in "$root"/usr/bin/*; do
  ! grep -q 'R\(UN\)\?PATH' <<<"$(readelf -d "$b")" || fail "$b carries a library path"
  ! grep -q "$PWD/build" <<<"$(ldd "$b")" || fail "$b loads a library from the build tree"
done
shown=$("$root/usr/bin/BriskNetService" --version)
[ "$shown" = "BriskNetService $version" ] || fail "BriskNetService --version says '$shown'"
# Whole outputs are matched: grep -q would end a pipe early and pipefail fail it.
grep -q '^usage: brisk-dfu list' <<<"$("$root/usr/bin/brisk-dfu" --help 2>&1)" ||
  fail "brisk-dfu --help shows no usage"
echo "[install] $shown; brisk-dfu --help"

appstreamcli validate --no-net "$root/usr/share/metainfo/net.brisk.NetService.metainfo.xml" |
  sed -e '/^[[:space:]]*$/d' -e 's/^/  /'
desktop-file-validate "$root/usr/share/applications/net.brisk.NetService.desktop"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
echo "[install] metainfo, desktop file and man pages are valid"

# The example, built as an integrator would: its own Makefile, pkg-config, the unpacked SDK.
cp -r "$root/usr/share/doc/libmxupd-dev/examples/mxupd-flash" "$work/example"
PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$root/$lib/pkgconfig \
  make -s -C "$work/example" CFLAGS="-O2 -Wall -Wextra -Werror" >/dev/null
grep -q "$root/$lib/libMXUPDPRT.so.1" <<<"$(ldd "$work/example/mxupd-flash")" ||
  fail "the example does not load the unpacked MXUPDPRT"
head -c 65536 /dev/urandom >"$work/fw.bin"
"$root/usr/bin/brisk-dfu" pack -o "$work/fw.dfu" --vid 0483 --pid A19B \
  "0:Flash=0x08000000:$work/fw.bin" >/dev/null
"$bin/sim/usb/brisk-usb-sim" --mode dfu -- "$work/example/mxupd-flash" list >"$work/list.out" 2>&1 ||
  fail "mxupd-flash list: $(cat "$work/list.out")"
grep -q '0483:a19b' "$work/list.out" || fail "mxupd-flash list found no reader: $(cat "$work/list.out")"
"$bin/sim/usb/brisk-usb-sim" --mode dfu --dump "$work/flash.bin" -- \
  "$work/example/mxupd-flash" flash "$work/fw.dfu" >"$work/flash.out" 2>&1 ||
  fail "mxupd-flash flash: $(cat "$work/flash.out")"
cmp -s -n 65536 "$work/fw.bin" "$work/flash.bin" || fail "the reader's flash does not hold the image"
echo "[install] the SDK example built with pkg-config lists the emulated reader and flashes it"
unset LD_LIBRARY_PATH

# cmake --install puts the same files on a system (Debian adds only its changelog and copyright).
DESTDIR=$work/cmake cmake --install "$bin" --prefix /usr >/dev/null
(cd "$root" && find . -type f -o -type l | grep -v '/usr/share/doc/[^/]*/\(changelog\|copyright\)' |
  sed -e 's/\.gz$//' -e "s,/$lib/,/LIB/," -e 's,/usr/share/doc/[^/]*/,/DOC/,' | sort) >"$work/deb.list"
(cd "$work/cmake" && find . -type f -o -type l |
  sed -e "s,/usr/lib/$multiarch/,/LIB/," -e 's,/usr/lib/\(lib\|pkgconfig\),/LIB/\1,' \
    -e 's,/usr/share/doc/[^/]*/,/DOC/,' | sort) >"$work/cmake.list"
diff -u "$work/deb.list" "$work/cmake.list" >&2 || fail "cmake --install differs from the packages"
echo "[install] cmake --install installs the same $(wc -l <"$work/deb.list") files"
