#!/bin/sh
# verify-unit.sh UNIT PROGRAM: systemd's own check of a user unit, on a copy whose ExecStart names
# PROGRAM (systemd checks that it exists). A warning fails it too: systemd ignores a bad setting
# with exit status 0. Exits 77 (skipped) where systemd-analyze is missing.
set -eu
unit=$1
program=$2
command -v systemd-analyze >/dev/null 2>&1 || exit 77
# --user needs a runtime folder of the user's own; no user manager has to run.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0700 "$work"
sed "s|^ExecStart=/usr/bin/[^ ]*|ExecStart=$program|" "$unit" >"$work/$(basename "$unit")"
grep -q "^ExecStart=$program\$" "$work/$(basename "$unit")" || {
  echo "verify-unit: $unit has no ExecStart=/usr/bin/... line" >&2
  exit 1
}
# The man pages named in Documentation= are not installed in a build tree.
XDG_RUNTIME_DIR=$work systemd-analyze --user --man=no verify "$work/$(basename "$unit")" \
  >"$work/out" 2>&1 || status=$?
cat "$work/out"
[ "${status:-0}" = 0 ] && [ ! -s "$work/out" ]
