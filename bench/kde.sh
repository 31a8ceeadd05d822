#!/usr/bin/env bash
# KDE benchmark on a headless KWin started by the bench itself (as root,
# with the test user of scripts/install-deps.sh).
#   bench/kde.sh [roundtrips] [captures]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_TESTS=ON \
  -DCOMPANION_BENCH=ON >/dev/null
ninja -C build-bench -j2 bench_kde companion testwin >/dev/null
./build-bench/bench/bench_kde "${1:-500}" "${2:-50}"
