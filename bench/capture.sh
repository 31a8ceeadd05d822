#!/usr/bin/env bash
# Capture benchmark against its peers on a private Xvfb + openbox.
#   bench/capture.sh [frames]     (default 200)
# Builds the bench in build-bench, installs the peers (ffmpeg, imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --bench
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_TESTS=OFF \
  -DCOMPANION_BENCH=ON >/dev/null
ninja -C build-bench -j2 bench_capture >/dev/null

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 4 -screen 0 2560x1600x24 -nolisten tcp -noreset +extension Composite \
  4>"$fifo" >/dev/null 2>&1 &
server=$!
read -r number <"$fifo"
rm -f "$fifo"
export DISPLAY=":$number"
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill $wm $server 2>/dev/null || true' EXIT
sleep 1
./build-bench/bench/bench_capture "${1:-200}"
