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

. bench/display.sh
start_display 1920x1200
"$build/bench/bench_front" "${2:-500}" "${3:-20}"
