#!/usr/bin/env bash
# The test command: installs what it needs, builds, and runs every test, then
# the same suite under ASan+UBSan, then the fuzzers for a short while.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the plain build, its tests and the Debian package
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[ "${1:-}" = "--quick" ] && quick=1

./scripts/install-deps.sh
jobs=$(nproc)

# The Wayland desktops' suites run the companion, its test clients and the
# compositor as the user companion-test: it must be able to reach the build
# tree wherever the repository lies (search permission only, on each parent).
umask 022
if [ "$(id -u)" -eq 0 ]; then
  dir=$PWD
  while [ "$dir" != / ]; do
    chmod o+x "$dir" 2>/dev/null || true
    dir=$(dirname "$dir")
  done
fi

echo "== build and test"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
ninja -C build
SOAK_SECONDS=${SOAK_SECONDS:-45} ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Debian package"
./scripts/check-package.sh build
[ $quick -eq 1 ] && exit 0

echo "== ASan+UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOMPANION_SANITIZE=address -DCOMPANION_WERROR=ON \
  -DCOMPANION_DESKTOP_TESTS=OFF >/dev/null
ninja -C build-asan
LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  SOAK_SECONDS=25 ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE desktop

echo "== TSan: the protocol, fault and soak tests"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_SANITIZE=thread -DCOMPANION_WERROR=ON >/dev/null
ninja -C build-tsan companion testwin protocol_test faults_test soak_test
TSAN_OPTIONS=halt_on_error=1 SOAK_SECONDS=25 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R '^(protocol|faults|soak)_test$'

echo "== fuzz"
CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCOMPANION_TESTS=OFF -DCOMPANION_FUZZ=ON -DCOMPANION_WERROR=ON >/dev/null
ninja -C build-fuzz
seconds=${FUZZ_SECONDS:-20}
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus=fuzz/corpus/${name%_fuzz}
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -print_final_stats=0 "$work" 2>&1 | tail -n 3
  rm -rf "$work"
done
echo "all tests passed"
