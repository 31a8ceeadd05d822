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

. bench/display.sh
start_display 2560x1600
./build-bench/bench/bench_capture "${1:-200}"
