#!/usr/bin/env bash
# Installs, builds and runs the companion on a real session: the user's sway
# session (WAYLAND_DISPLAY and SWAYSOCK) or DISPLAY when it answers, else a
# private Xvfb with a window manager and a few windows. Prints every request and reply; writes out/capture.jpg, out/icon.png.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build companion testwin >/dev/null

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

extra=()
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${SWAYSOCK:-}" ] && swaymsg -t get_version >/dev/null 2>&1; then
  echo "== using your sway session ($WAYLAND_DISPLAY)"
elif [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "== using your display $DISPLAY"
else
  fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 5 -screen 0 1600x1000x24 -nolisten tcp 5>"$fifo" >/dev/null 2>&1 &
  pids+=($!)
  read -r number <"$fifo"; rm -f "$fifo"
  export DISPLAY=":$number"
  echo "== private Xvfb on $DISPLAY"
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  xclock -geometry 300x300+900+100 >/dev/null 2>&1 &
  pids+=($!)
  xterm -geometry 100x30+50+50 -title "demo terminal" -e sh -c 'echo hello from the demo; sleep 600' >/dev/null 2>&1 &
  pids+=($!)
  sleep 1.5
  extra=(build/tests/testwin)
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  # A session bus of our own, so "automation" has someone to ask.
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | head -n1)
  pids+=("$(echo "$bus" | tail -n1)")
fi

python3 scripts/demo.py build/companion out "${extra[@]}"
