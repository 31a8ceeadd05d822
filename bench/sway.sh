#!/usr/bin/env bash
# sway benchmark: a private headless sway (as the test user, sway refuses
# root) with 20 floating foot windows and one fullscreen 1920 x 1080 window,
# then bench_sway inside that session: "front" round trips, and capture of
# the fullscreen window beside grim piped to ImageMagick (same run).
#   bench/sway.sh [build-dir=build-bench] [frames=100]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
./scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_TESTS=OFF \
  -DCOMPANION_BENCH=ON >/dev/null
ninja -C "$build" -j2 bench_sway companion >/dev/null

user=companion-test
run=$(mktemp -d /tmp/bench-sway.XXXXXX)
chown "$user" "$run"
chmod 700 "$run"
cat >"$run/config" <<'CONF'
output HEADLESS-1 resolution 1920x1080
xwayland disable
default_border none
for_window [app_id="foot"] floating enable, resize set 400 300
for_window [app_id="big"] fullscreen enable
CONF
runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="$run" XDG_RUNTIME_DIR="$run" \
  WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
  sway -c "$run/config" >/dev/null 2>&1 &
sway_pid=$!
trap 'kill $sway_pid 2>/dev/null; wait $sway_pid 2>/dev/null; rm -rf "$run"' EXIT
for _ in $(seq 100); do
  ls "$run"/sway-ipc.*.sock >/dev/null 2>&1 && break
  sleep 0.1
done
export SWAYSOCK=$(ls "$run"/sway-ipc.*.sock) XDG_RUNTIME_DIR="$run" WAYLAND_DISPLAY=wayland-1
for i in $(seq 20); do swaymsg -q exec "foot -T w$i sleep 600"; done
swaymsg -q exec "foot -a big sh -c 'ls -lR /usr/share | head -3000; sleep 600'"
sleep 4
"$build/bench/bench_sway" "${2:-100}"
