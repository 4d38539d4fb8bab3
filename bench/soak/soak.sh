#!/usr/bin/env bash
# The whole program's soak: bench/soak/soak.sh [release|asan] [CYCLES]
# Runs BriskNetService (build/default, -O2; or the ASan build, with LeakSanitizer at the end)
# on the emulated reader for CYCLES cycles (default 1000 release, 100 asan) on a private
# session bus, with python3-dbusmock's logind on a private system bus and Qt's offscreen
# platform. Prints resident memory, descriptors, threads, timers and the log's size every ten
# cycles and their growth per 1,000 cycles. Targets: descriptors and threads back to their
# first value after every cycle; resident memory < 1 MB per 1,000 cycles after the first
# hundred; LeakSanitizer clean; every D-Bus call answered.
set -euo pipefail
cd "$(dirname "$0")/../.."
kind=${1:-release}
if [ "${2:-}" != "--inside" ]; then
  cycles=${2:-}
  scripts/build.sh default "" brisk-soak brisk-ctl BriskNetService >/dev/null
  if [ "$kind" = asan ]; then
    scripts/build.sh asan address BriskNetService >/dev/null
    cycles=${cycles:-100}
  else
    cycles=${cycles:-1000}
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  SOAK_WORK=$work SOAK_CYCLES=$cycles dbus-run-session -- "$0" "$kind" --inside
  exit $?
fi

work=$SOAK_WORK
bin=$PWD/build/default
program=$bin/app/BriskNetService
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
if [ "$kind" = asan ]; then
  program=$PWD/build/asan/app/BriskNetService
  export SOAK_CHILD_PRELOAD=$(c++ -print-file-name=libasan.so)
fi
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_CONFIG_HOME/BriskNetService" "$TMPDIR"
printf '[Set]\nLog=1\n' > "$XDG_CONFIG_HOME/BriskNetService/setting.ini"

. scripts/desktop-session.sh
# A system bus of our own, with logind played by python3-dbusmock.
dbus-daemon --session --nofork --print-address=3 3>"$work/system-bus" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/system-bus" ] && break; sleep 0.1; done
export DBUS_SYSTEM_BUS_ADDRESS=$(head -1 "$work/system-bus")
/usr/bin/python3 -m dbusmock --system --template logind >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  gdbus introspect --system -d org.freedesktop.login1 -o /org/freedesktop/login1 >/dev/null 2>&1 && break
  sleep 0.1
done

echo "soak: $kind build, $SOAK_CYCLES cycles: $program"
start=$(date +%s)
rc=0
"$bin/bench/soak/brisk-soak" "$program" "$bin/tools/brisk-ctl/brisk-ctl" "$SOAK_CYCLES" \
  2>"$work/program.err" || rc=$?
echo "soak: $(( $(date +%s) - start )) s"
if [ $rc -ne 0 ]; then
  # Kept for a look: the program's log and standard error.
  keep=build/soak-failure-$(date +%s)
  mkdir -p "$keep"
  cp -r "$TMPDIR"/BriskNetService-* "$work/program.err" "$keep"/ 2>/dev/null || true
  tail -20 "$work/program.err"
  echo "soak: the program's log and standard error are in $keep"
fi
if grep -q "LeakSanitizer\|AddressSanitizer" "$work/program.err"; then
  grep -A30 "Sanitizer" "$work/program.err" | head -60
  echo "soak: the sanitizer reported (above)"
  rc=1
elif [ "$kind" = asan ]; then
  echo "soak: LeakSanitizer clean"
fi
exit $rc
