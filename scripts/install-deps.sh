#!/usr/bin/env bash
# Installs the Debian packages listed in debian-packages.txt, and those of the arm64 cross build
# (debian-packages-arm64.txt, after adding the arm64 architecture to dpkg); quiet when all are
# present.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/$1"; }
mapfile -t wanted < <(list debian-packages.txt; list debian-packages-arm64.txt)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive

fresh=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "adding the arm64 architecture"
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
  fresh=1
fi

# A name without an architecture means the build machine's (or an Architecture: all package).
native=$(dpkg --print-architecture)
missing=()
for pkg in "${wanted[@]}"; do
  case $pkg in
    *:*) status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true) ;;
    *) status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg:$native" 2>/dev/null ||
                dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true) ;;
  esac
  [ "$status" = "installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && [ $fresh -eq 0 ] && exit 0

"${sudo_cmd[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
