#!/usr/bin/env bash
# Writes PNGs of the tray program under Xvfb with a tray host (trayer) and a simulated reader:
# the collapsed window, the expanded window and the tray menu; the expanded window at twice the
# scale and in English; the DFU upgrade dialog of a simulated reader that asks for a package, at
# the erase, the write, the verify and the end; and the window under weston (Wayland). OUT sets
# the folder (default build/screenshots). Prints the paths.
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
  OUT=$out SHOT_WORK=$work xvfb-run -a -s "-screen 0 2400x1500x24" \
    dbus-run-session --dbus-daemon="$work/dbus-daemon" -- "$0" --inside || status=$?
  [ ! -f "$work/dbus.err" ] || grep -v 'Failed to set fd limit' "$work/dbus.err" >&2 || true
  exit $status
fi

bin=$PWD/build/default
export XDG_CONFIG_HOME=$SHOT_WORK/config TMPDIR=$SHOT_WORK/tmp
mkdir -p "$XDG_CONFIG_HOME" "$TMPDIR"
. scripts/desktop-session.sh

start_tray_host

# Starts the program (with the environment given as NAME=value words) on a simulated reader and
# shows its window: sets program (its pid) and window (its X id).
start_program() {
  env "$@" "$bin/tests/app/brisk-testbed-run" -- "$bin/app/BriskNetService" >/dev/null 2>&1 &
  program=$!
  pids+=($program)
  for _ in $(seq 100); do "$bin/tools/brisk-ctl/brisk-ctl" status >/dev/null 2>&1 && break; sleep 0.1; done
  sleep 1.5  # the reader links and the status line fills
  "$bin/tools/brisk-ctl/brisk-ctl" show
  window=""
  for _ in $(seq 50); do
    window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -1) && [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "screenshots: the window did not show" >&2; exit 1; }
  xdotool windowmove "$window" 40 60
  sleep 0.5
}
# The configuration panel opens only by a double-click in the bottom-left corner.
expand_and_shoot() {
  eval "$(xdotool getwindowgeometry --shell "$window")"
  xdotool mousemove --window "$window" 4 $((HEIGHT - 4)) click --repeat 2 --delay 80 1
  sleep 0.7
  import -window "$window" "$OUT/$1"
  echo "$OUT/$1"
}
stop_program() {
  kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
}

title='读卡器设置'
start_program LANG=C.UTF-8
import -window "$window" "$OUT/window-collapsed.png"
echo "$OUT/window-collapsed.png"
expand_and_shoot window-expanded.png

# The tray icon sits in trayer's panel: right-click it for the menu.
panel=$(xdotool search --name '^panel$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$panel")"
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
sleep 0.7
read -r screen_width _ < <(xdotool getdisplaygeometry)
import -window root -crop 480x240+$((screen_width - 480))+0 +repage "$OUT/tray-menu.png"
echo "$OUT/tray-menu.png"
xdotool key Escape
stop_program

# Twice the scale, and the English texts.
start_program LANG=C.UTF-8 QT_SCALE_FACTOR=2
expand_and_shoot window-expanded-2x.png
stop_program
title='Card reader settings'
start_program LANG=en_US.UTF-8
expand_and_shoot window-expanded-en.png
stop_program

# The upgrade dialog: the reader asks for a package; its busy times doubled so that each phase
# lasts long enough to be caught.
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

# Wayland: weston without a screen, the window shown by request; weston takes the picture. The
# upgrade's program and helpers end first: one copy per session.
cleanup
pids=()
# The copy the upgrade's simulator started may still be ending: the bus names its process.
owner=$(gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
  -m org.freedesktop.DBus.GetConnectionUnixProcessID net.brisk.NetService 2>/dev/null |
  tr -dc '0-9 ' | awk '{print $NF}')
if [ -n "$owner" ]; then
  kill "$owner" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$owner" 2>/dev/null || break; sleep 0.1; done
fi
wayland=$SHOT_WORK/wayland
mkdir -p "$wayland" && chmod 700 "$wayland"
XDG_RUNTIME_DIR=$wayland weston --backend=headless-backend.so --use-pixman --socket=brisk-shots \
  --width=1024 --height=700 --idle-time=0 --debug >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$wayland/brisk-shots" ] && break; sleep 0.1; done
XDG_RUNTIME_DIR=$wayland WAYLAND_DISPLAY=brisk-shots QT_QPA_PLATFORM=wayland \
  "$bin/tests/app/brisk-testbed-run" -- "$bin/app/BriskNetService" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do "$bin/tools/brisk-ctl/brisk-ctl" status >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1.5
"$bin/tools/brisk-ctl/brisk-ctl" show
sleep 1
(cd "$wayland" && XDG_RUNTIME_DIR=$wayland WAYLAND_DISPLAY=brisk-shots timeout 10 weston-screenshooter)
mv "$wayland"/wayland-screenshot-*.png "$OUT/wayland-window.png"
echo "$OUT/wayland-window.png"
