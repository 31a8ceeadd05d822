#!/usr/bin/env bash
# Fetches the wlr protocol definitions (wlr-foreign-toplevel-management and
# wlr-screencopy) from Debian's wlroots source package into DEST (default
# /var/cache/companion/wlr-protocols), where the build finds them. The
# system's apt sources are not touched: a private copy with deb-src entries
# is used. The version fetched is recorded in DEST/VERSION.
set -euo pipefail

dest=${1:-/var/cache/companion/wlr-protocols}
want=(wlr-foreign-toplevel-management-unstable-v1.xml wlr-screencopy-unstable-v1.xml)
have=1
for f in "${want[@]}"; do [ -s "$dest/$f" ] || have=0; done
[ $have -eq 1 ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/src"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  sed 's/^Types:.*/Types: deb-src/' "$f" > "$work/parts/$(basename "$f")"
done
if [ -s /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > "$work/parts/main.list"
fi
opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
      -o Dir::State::Lists="$work/lists" -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${opts[@]}" update -qq
(cd "$work/src" && apt-get "${opts[@]}" source --download-only -qq wlroots)
tarball=$(ls "$work"/src/wlroots_*.orig.tar.* | head -n1)
mkdir -p "$dest"
for f in "${want[@]}"; do
  tar -xOf "$tarball" --wildcards "*/protocol/$f" > "$dest/$f"
done
echo "$(basename "$(ls "$work"/src/wlroots_*.dsc)" .dsc)" > "$dest/VERSION"
echo "wlr protocols: $(cat "$dest/VERSION") in $dest"
