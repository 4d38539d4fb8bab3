#!/bin/sh
# Installs the udev rules that give the person at the seat access to the card reader
# and keep ModemManager off its serial port. Run as root.
# UDEV_RULES_DIR overrides the target folder (default /etc/udev/rules.d).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
rules="$here/../data/udev/70-brisknetservice.rules"
target_dir="${UDEV_RULES_DIR:-/etc/udev/rules.d}"

if [ ! -r "$rules" ]; then
  echo "install-udev-rules: cannot read $rules" >&2
  exit 1
fi

# The rules give the reader's nodes to this group as well (a seat without an active session).
if [ -z "${UDEV_RULES_DIR:-}" ] && ! getent group brisknet >/dev/null; then
  groupadd --system brisknet && echo "created the system group brisknet"
fi

mkdir -p "$target_dir"
install -m 0644 "$rules" "$target_dir/70-brisknetservice.rules"
echo "installed $target_dir/70-brisknetservice.rules"

# Apply to readers already plugged in; skipped where udev is not running (containers, chroots).
if command -v udevadm >/dev/null 2>&1 && [ -z "${UDEV_RULES_DIR:-}" ]; then
  if udevadm control --reload-rules; then
    udevadm trigger --action=change --subsystem-match=tty --subsystem-match=usb \
      --subsystem-match=hidraw || true
  else
    echo "install-udev-rules: udev did not reload; replug the reader or reboot" >&2
  fi
else
  echo "udevadm not used: replug the reader (or run 'udevadm control --reload-rules') to apply"
fi
