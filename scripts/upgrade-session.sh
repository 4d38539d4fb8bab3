# Sourced by demo.sh, screenshots.sh and brisknetd's upgrade test: serves a 128 KiB firmware
# package on a local HTTP server and starts BriskNetService (or $upgrade_program) with a
# simulated reader on the emulated USB bus (brisk-usb-sim) that asks for that package to be
# flashed. Needs bin, work and the pids array; sets upgrade_log (the program's log) and
# upgrade_out (brisk-usb-sim's output).

# Packs a random image into $work/pkg/reader.dfu and serves it; sets package_url and package_md5.
serve_upgrade_package() {
  mkdir -p "$work/pkg"
  head -c 131072 /dev/urandom > "$work/image.bin"
  "$bin/tools/brisk-dfu/brisk-dfu" pack -o "$work/pkg/reader.dfu" --vid 0483 --pid A19B \
    "0=0x08000000:$work/image.bin" >/dev/null
  package_md5=$(md5sum "$work/pkg/reader.dfu" | cut -d' ' -f1)
  python3 - "$work/pkg" > "$work/http.out" 2>/dev/null <<'PY' &
import functools, http.server, sys
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
print(server.server_port, flush=True)
server.serve_forever()
PY
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/http.out" ] && break; sleep 0.1; done
  package_url="http://127.0.0.1:$(head -1 "$work/http.out")/reader.dfu"
}

start_upgrade_session() {
  local busy_scale=${1:-1}
  mkdir -p "$XDG_CONFIG_HOME/BriskNetService" "$TMPDIR"
  printf '[Set]\nLog=1\n' > "$XDG_CONFIG_HOME/BriskNetService/setting.ini"
  serve_upgrade_package
  echo "[upgrade]  package $package_url (md5 $package_md5)," \
    "image $(md5sum < "$work/image.bin" | cut -d' ' -f1)"
  upgrade_out=$work/usb-sim.out
  "$bin/sim/usb/brisk-usb-sim" --quiet --busy-scale "$busy_scale" \
    --request-upgrade "$package_url,$package_md5" --dump "$work/flash.bin" -- \
    "${upgrade_program:-$bin/app/BriskNetService}" > "$upgrade_out" 2>&1 &
  upgrade_pid=$!
  pids+=($upgrade_pid)
  upgrade_log=$TMPDIR/BriskNetService-$(id -u)/brisk7.log
}

# Waits up to $2 seconds for a line of the program's log; false when it did not come.
wait_log() {
  local i
  for i in $(seq $(( ${2:-60} * 10 ))); do
    grep -q -- "$1" "$upgrade_log" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
