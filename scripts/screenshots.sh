#!/usr/bin/env bash
# Writes PNGs of the tray program under Xvfb with a tray host (trayer) and a simulated reader:
# the collapsed window, the expanded window and the tray menu; then the DFU upgrade dialog of a
# simulated reader that asks for a package, at the erase, the write, the verify and the end. OUT sets the folder
# (default build/screenshots). Prints the paths.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${OUT:-$PWD/build/screenshots}
if [ "${1:-}" != "--inside" ]; then
  scripts/build.sh default "" BriskNetService brisk-ctl brisk-testbed-run brisk-usb-sim brisk-dfu \
    >/dev/null
  mkdir -p "$out"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # dbus-daemon cannot raise its descriptor limit as root in a container; as the demo does, that
  # one line is kept out of the output.
  printf '#!/bin/sh\nexec dbus-daemon "$@" 2>>"%s"\n' "$work/dbus.err" > "$work/dbus-daemon"
  chmod +x "$work/dbus-daemon"
  status=0
  OUT=$out SHOT_WORK=$work xvfb-run -a -s "-screen 0 1280x800x24" \
    dbus-run-session --dbus-daemon="$work/dbus-daemon" -- "$0" --inside || status=$?
  [ ! -f "$work/dbus.err" ] || grep -v 'Failed to set fd limit' "$work/dbus.err" >&2 || true
  exit $status
fi

bin=$PWD/build/default
export XDG_CONFIG_HOME=$SHOT_WORK/config TMPDIR=$SHOT_WORK/tmp
mkdir -p "$XDG_CONFIG_HOME" "$TMPDIR"
. scripts/desktop-session.sh

start_tray_host

"$bin/tests/app/brisk-testbed-run" -- "$bin/app/BriskNetService" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do "$bin/tools/brisk-ctl/brisk-ctl" status >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1.5  # the reader links and the status line fills

"$bin/tools/brisk-ctl/brisk-ctl" show
window=""
for _ in $(seq 50); do
  window=$(xdotool search --onlyvisible --name '读卡器设置' 2>/dev/null | head -1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshots: the window did not show" >&2; exit 1; }
xdotool windowmove "$window" 40 60
sleep 0.5
import -window "$window" "$OUT/window-collapsed.png"
echo "$OUT/window-collapsed.png"

# The configuration panel opens only by a double-click in the bottom-left corner.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --window "$window" 4 $((HEIGHT - 4)) click --repeat 2 --delay 80 1
sleep 0.7
import -window "$window" "$OUT/window-expanded.png"
echo "$OUT/window-expanded.png"

# The tray icon sits in trayer's panel: right-click it for the menu.
panel=$(xdotool search --name '^panel$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$panel")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.7
import -window root "$OUT/tray-menu.png"
echo "$OUT/tray-menu.png"
xdotool key Escape

# The upgrade dialog: the reader asks for a package; its busy times doubled so that each phase
# lasts long enough to be caught.
kill "${pids[1]}" 2>/dev/null || true
wait "${pids[1]}" 2>/dev/null || true
work=$SHOT_WORK/upgrade
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
source scripts/upgrade-session.sh
start_upgrade_session 2
shot() {
  local dialog
  dialog=$(xdotool search --onlyvisible --name 'DFU升级' 2>/dev/null | head -1)
  [ -n "$dialog" ] || { echo "screenshots: no upgrade dialog for $1" >&2; return 1; }
  import -window "$dialog" "$OUT/$1"
  echo "$OUT/$1"
}
wait_log "Launch Upgrade success" 90 || { echo "screenshots: the upgrade did not start" >&2; exit 1; }
sleep 1.2
shot upgrade-erase.png
sleep 4.5
shot upgrade-write.png
wait_log "Upgrade successful !" 60 && shot upgrade-verify.png
wait_log "Verify successful !" 60 && sleep 1.2 && shot upgrade-final.png
