#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks what it ships runs:
# unpacked into a scratch root, its companion answers an unknown command.
#   scripts/check-package.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")

if ! log=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$log" >&2
  exit 1
fi
deb=$(ls -t "$build"/companion_*.deb | head -n 1)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

# What the package says about itself: computed library dependencies.
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  *libc6*) ;;
  *) echo "package has no computed dependencies: '$depends'" >&2; exit 1 ;;
esac

prefix=$(grep -m1 '^CMAKE_INSTALL_PREFIX:' "$build/CMakeCache.txt" | cut -d= -f2)
libexec=$(grep -m1 '^CMAKE_INSTALL_LIBEXECDIR:' "$build/CMakeCache.txt" | cut -d= -f2)
exe="$root$prefix/$libexec/companion/companion"
reply=$(printf '{"cmd":"ping","id":1}\n' | timeout 30 env -i "$exe" 2>"$root/stderr")
expected='{"error":"unknown command ping","id":1}'
if [ "$reply" != "$expected" ]; then
  echo "installed companion answered '$reply', not '$expected'" >&2
  exit 1
fi
if [ -s "$root/stderr" ]; then
  echo "installed companion wrote to stderr: $(cat "$root/stderr")" >&2
  exit 1
fi
echo "package $(basename "$deb"): installs and answers"
