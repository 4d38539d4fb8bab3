# Sourced, from the top of the tree, by the scripts that run the program among helpers: the
# clean-up of everything they start (the pids array), and a tray host for an X display.
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# Starts an XEmbed tray host at the top right and waits until its panel is mapped.
start_tray_host() {
  trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
    --transparent false --expand false >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do xdotool search --name '^panel$' >/dev/null 2>&1 && break; sleep 0.1; done
}
