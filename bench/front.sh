#!/usr/bin/env bash
# Runs bench_front on a private Xvfb with openbox (display picked by Xvfb).
#   bench/front.sh [build-dir=build-bench] [roundtrips] [fresh]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
./scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_TESTS=OFF \
  -DCOMPANION_BENCH=ON >/dev/null
ninja -C "$build" -j2 bench_front companion >/dev/null

fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 5 -screen 0 1920x1200x24 -nolisten tcp 5>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r number <"$fifo"
rm -f "$fifo"
export DISPLAY=":$number"
openbox --sm-disable >/dev/null 2>&1 &
wm=$!
trap 'kill $wm $xvfb 2>/dev/null; wait $wm $xvfb 2>/dev/null || true' EXIT
"$build/bench/bench_front" "${2:-500}" "${3:-20}"
