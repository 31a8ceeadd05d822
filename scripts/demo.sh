#!/usr/bin/env bash
# Installs, builds and runs the companion on a real session: the user's own
# (a Wayland session, whatever its desktop, or DISPLAY when it answers), else
# a private Xvfb with a window manager and a few real programs, xterm (its
# desktop entry, its SVG icon) in front. Prints every request and reply;
# writes out/capture.jpg and out/icon.png.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build companion >/dev/null

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY" ]; then
  echo "== using your Wayland session ($WAYLAND_DISPLAY, ${XDG_CURRENT_DESKTOP:-unknown desktop})"
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
  # The last one mapped is focused: what a user would have in front.
  for _ in $(seq 50); do
    xprop -root _NET_ACTIVE_WINDOW 2>/dev/null | grep -q '0x[1-9a-f]' && break
    sleep 0.1
  done
  sleep 0.5
fi
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  # A session bus of our own, so "automation" has someone to ask.
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=$(echo "$bus" | head -n1)
  pids+=("$(echo "$bus" | tail -n1)")
fi

python3 scripts/demo.py build/companion out
