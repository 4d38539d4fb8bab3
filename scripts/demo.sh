#!/usr/bin/env bash
# Runs the tray program BriskNetService against a simulated card reader on an emulated USB bus
# and a local platform server. The reader links, asks for a platform connection and sends a few
# blocks; the platform's answers come back to it through the program.
# On a desktop the window opens. Without a display it runs under Xvfb, prints the program's
# D-Bus properties once a second and saves a screenshot. DEMO_SECONDS sets how long (default 8).
# "demo.sh upgrade": the simulated reader asks for a firmware package served on 127.0.0.1; the
# program flashes it over USB DFU in its upgrade dialog and re-links the reader that comes back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default "" BriskNetService brisk-ctl brisk-testbed-run brisk-platform-sim \
  brisk-usb-sim brisk-dfu >/dev/null
bin=$PWD/build/default
seconds=${DEMO_SECONDS:-8}

if [ "${1:-}" != "--inside" ]; then
  # A private session bus, settings folder and log folder: the person's own stay untouched.
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  export DEMO_WORK=$work
  if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec_prefix=()
    export DEMO_HEADLESS=0
  else
    echo "[demo]     no display: running under Xvfb"
    exec_prefix=(xvfb-run -a -s "-screen 0 1280x800x24")
    export DEMO_HEADLESS=1
  fi
  # Qt wants a runtime folder of the session's own; a desktop session has one already.
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
  fi
  # Run as root without the right to raise limits (a container), the private bus warns at its
  # start that it cannot raise its file limit; a bus of one program does not need it.
  # Its messages are kept aside and shown afterwards without that one.
  printf '#!/bin/sh\nexec dbus-daemon "$@" 2>>"%s"\n' "$work/dbus.err" > "$work/dbus-daemon"
  chmod +x "$work/dbus-daemon"
  status=0
  "${exec_prefix[@]}" dbus-run-session --dbus-daemon="$work/dbus-daemon" -- "$0" --inside "${1:-}" ||
    status=$?
  [ ! -f "$work/dbus.err" ] || grep -v 'Failed to set fd limit' "$work/dbus.err" >&2 || true
  exit $status
fi

work=$DEMO_WORK
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
mkdir -p "$XDG_CONFIG_HOME/BriskNetService" "$TMPDIR"
printf '[Set]\nLog=1\n' > "$XDG_CONFIG_HOME/BriskNetService/setting.ini"
. scripts/desktop-session.sh

if [ "${2:-}" = upgrade ]; then
  source scripts/upgrade-session.sh
  start_upgrade_session 1
  for step in "Call enter dfu callback" "OnUpgradeFileDownloadFinished" "Find DFU Device success" \
    "Launch Upgrade success" "Upgrade successful !" "Verify successful !"; do
    wait_log "$step" 90 || { echo "[upgrade]  no \"$step\" in the log" >&2; exit 1; }
    echo "[upgrade]  $(grep -m1 -- "$step" "$upgrade_log" | cut -d' ' -f3-)"
  done
  for _ in $(seq 100); do
    [ "$(grep -c 'mode normal' "$upgrade_out")" -ge 2 ] && break
    sleep 0.1
  done
  sleep 1.5  # the watchdog re-links the reader
  grep '^brisk-usb-sim: \(mode\|firmware\)' "$upgrade_out" | sed 's/^/[reader]   /'
  if [ "${DEMO_HEADLESS:-0}" = 1 ]; then
    shot=$(mktemp --tmpdir=/tmp brisk-demo-upgrade-XXXXXX.png)
    import -window root "$shot" 2>/dev/null && echo "[demo]     screenshot: $shot"
  else
    echo "[demo]     close the dialog to end the demo"
  fi
  [ "${DEMO_HEADLESS:-0}" = 1 ] || wait "$upgrade_pid" || true
  # Ending the program ends brisk-usb-sim, which then writes the reader's flash out.
  for child in $(pgrep -P "$upgrade_pid"); do kill -TERM "$child" 2>/dev/null || true; done
  wait "$upgrade_pid" 2>/dev/null || true
  cmp -n 131072 "$work/image.bin" "$work/flash.bin" &&
    echo "[demo]     the reader's flash holds the package's image"
  grep -E "StopService|could not find select com port|try to open" "$upgrade_log" | tail -3 |
    sed 's/^/[log]      /'
  exit 0
fi

"$bin/sim/platform/brisk-platform-sim" --reply "platform says hello" --seconds $((seconds + 30)) \
  > "$work/platform.out" &
pids+=($!)
for _ in $(seq 50); do grep -q listening "$work/platform.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/platform.out")
sed 's/^/[platform] /' "$work/platform.out"

"$bin/tests/app/brisk-testbed-run" --platform-port "$port" --send "card 0001 read" \
  --interval 1500 -- "$bin/app/BriskNetService" &
service=$!
pids+=($service)
for _ in $(seq 100); do
  "$bin/tools/brisk-ctl/brisk-ctl" show >/dev/null 2>&1 && break
  sleep 0.1
done
echo "[demo]     BriskNetService runs; its window is shown (brisk-ctl show)"

headless=${DEMO_HEADLESS:-0}
for _ in $(seq "$seconds"); do
  sleep 1
  if [ "$headless" = 1 ]; then
    echo "[demo]     properties: $(gdbus call --session -d net.brisk.NetService \
      -o /net/brisk/NetService -m org.freedesktop.DBus.Properties.GetAll \
      net.brisk.NetService1 2>/dev/null | tr -d '\n')"
  fi
done
echo "[demo]     connection status (brisk-ctl status):"
"$bin/tools/brisk-ctl/brisk-ctl" status | sed 's/^/[demo]       /' || true
if [ "$headless" = 1 ]; then
  shot=$(mktemp --tmpdir=/tmp brisk-demo-XXXXXX.png)
  import -window root "$shot" 2>/dev/null && echo "[demo]     screenshot: $shot"
fi
kill -TERM "$service"
wait "$service" && echo "[demo]     BriskNetService ended with status 0 (SIGTERM: disconnect notice sent)"
tail -n +2 "$work/platform.out" | sed 's/^/[platform] /'
log="$TMPDIR/BriskNetService-$(id -u)/brisk7.log"
echo "[demo]     service log: $(wc -l < "$log") lines, e.g.:"
grep -E "try to open|connect server|StopService" "$log" | head -5 | sed 's/^/[log]      /'
