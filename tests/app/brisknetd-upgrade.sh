#!/usr/bin/env bash
# brisknetd-upgrade.sh BUILD_DIR: brisknetd as a service manager runs it (no
# display, a session bus of its own, logind played by python3-dbusmock on a system bus of its
# own), with the reader on the emulated USB bus asking for a package over HTTP. By itself it
# downloads and flashes the package: the reader comes back with other firmware, UpgradeState is
# announced through its states, and SIGTERM ends it with status 0. Exits 77 (skipped) where
# dbusmock is missing.
set -euo pipefail
bin=$1
/usr/bin/python3 -c 'import dbusmock' 2>/dev/null || exit 77
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "brisknetd-upgrade: $*" >&2
  for f in "$work"/*.out "$work"/tmp/BriskNetService-*/brisk7.log; do
    [ -f "$f" ] && { echo "--- $f"; tail -40 "$f"; }
  done >&2
  exit 1
}
# Waits up to $2 seconds for the command $1 to succeed.
wait_for() {
  local i
  for i in $(seq $(($2 * 10))); do eval "$1" && return 0; sleep 0.1; done
  return 1
}

for type in session system; do
  cat >"$work/$type.conf" <<EOF
<busconfig><type>$type</type><listen>unix:path=$work/$type.socket</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
EOF
  dbus-daemon --config-file="$work/$type.conf" --nofork --print-address=1 >"$work/$type.address" &
  pids+=($!)
  wait_for "[ -s '$work/$type.address' ]" 10 || fail "the $type bus did not start"
done
export DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/session.address")
export DBUS_SYSTEM_BUS_ADDRESS=$(head -1 "$work/system.address")
/usr/bin/python3 -m dbusmock --system --template logind >"$work/logind.out" 2>&1 &
pids+=($!)
wait_for "gdbus introspect --system -d org.freedesktop.login1 -o /org/freedesktop/login1 \
  >/dev/null 2>&1" 20 || fail "the logind stand-in did not start"
dbus-monitor --session "type='signal',member='PropertiesChanged',path='/net/brisk/NetService'" \
  "type='signal',member='UpgradeFinished'" >"$work/monitor.out" 2>&1 &
pids+=($!)

# The reader asks for a package served over HTTP; brisknetd runs on the emulated bus.
. "$(dirname "$0")/../../scripts/upgrade-session.sh"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
upgrade_program=$bin/app/brisknetd
start_upgrade_session >/dev/null
sim=$upgrade_pid
crcs() { grep -o 'firmware crc32 [0-9A-F]*' "$upgrade_out" | cut -d' ' -f3; }
wait_for "[ \$(crcs | wc -l) -ge 2 ]" 240 || fail "the reader did not come back after the upgrade"
[ "$(crcs | sed -n 1p)" != "$(crcs | sed -n 2p)" ] || fail "the firmware did not change"
wait_for "grep -A2 'member=UpgradeFinished' '$work/monitor.out' | grep -q 'boolean true'" 30 ||
  fail "no UpgradeFinished(true)"
states=$(grep -A1 '"UpgradeState"' "$work/monitor.out" | sed -n 's/.*variant *string "\(.*\)"/\1/p' |
  tr '\n' ' ')
[ "$states" = "downloading entering-dfu flashing verifying leaving done " ] ||
  fail "UpgradeState went through: $states"
echo "brisknetd-upgrade: firmware $(crcs | sed -n 1p) -> $(crcs | sed -n 2p); states: $states"

# The service manager's stop: the reader is told, brisknetd ends with 0.
daemon_pid=$(pgrep -P "$sim" | head -1)
[ -n "$daemon_pid" ] || fail "brisknetd is not running"
kill -TERM "$daemon_pid"
status=0
wait "$sim" || status=$?
[ "$status" = 0 ] || fail "brisknetd ended with status $status on SIGTERM"
