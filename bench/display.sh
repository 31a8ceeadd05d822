# Sourced by the bench drivers: starts a private Xvfb (display number picked
# by the server) with openbox, exports DISPLAY, and stops both on exit.
#   start_display WIDTHxHEIGHT
start_display() {
  local fifo number
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 5 -screen 0 "${1}x24" -nolisten tcp -noreset +extension Composite \
    5>"$fifo" >/dev/null 2>&1 &
  bench_xvfb=$!
  read -r number <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$number"
  openbox --sm-disable >/dev/null 2>&1 &
  bench_wm=$!
  trap 'kill $bench_wm $bench_xvfb 2>/dev/null; wait $bench_wm $bench_xvfb 2>/dev/null || true' EXIT
  sleep 1
}
