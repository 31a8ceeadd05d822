#!/usr/bin/env bash
# Runs bench_gnome in a headless GNOME Shell 43 session with the companion's
# extension and 20 windows (19 xterms and one about 1920 x 1080), as the
# companion-test user. Run as root.
#   bench/gnome.sh [build-dir=build-bench] [roundtrips] [captures]
set -euo pipefail
set -m  # each background job in a process group of its own, ended as one
cd "$(dirname "$0")/.."
build=$(realpath -m "${1:-build-bench}")
./scripts/install-deps.sh --bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOMPANION_TESTS=OFF \
  -DCOMPANION_BENCH=ON >/dev/null
ninja -C "$build" -j2 bench_gnome companion gnome_extension >/dev/null

user=companion-test
dir=$(mktemp -d /tmp/companion-gnome-bench-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -- -"$p" 2>/dev/null || true; done
  sleep 1
  rm -rf "$dir"
}
trap cleanup EXIT
ext="$dir/home/.local/share/gnome-shell/extensions/windows@companion"
mkdir -p "$dir/run" "$ext" "$dir/home/.config/glib-2.0/settings"
cp "$build/share/companion/gnome-shell/windows@companion/"{extension.js,metadata.json} "$ext/"
echo "$build/companion" >"$ext/trusted"
printf "[org/gnome/shell]\nenabled-extensions=['windows@companion']\n" \
  >"$dir/home/.config/glib-2.0/settings/keyfile"
chown -R "$user:" "$dir"
chmod 700 "$dir/run"
env=(HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" XDG_CONFIG_HOME="$dir/home/.config"
  XDG_DATA_HOME="$dir/home/.local/share" GSETTINGS_BACKEND=keyfile
  DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/run/bus"
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/run/system_bus"
  XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wl-bench
  PATH=/usr/bin:/bin XDG_DATA_DIRS=/usr/share LANG=C.UTF-8)
as() { setpriv --reuid="$user" --regid="$user" --clear-groups -- env -i "${env[@]}" "$@"; }
as dbus-daemon --session --nofork --address="unix:path=$dir/run/bus" >/dev/null 2>&1 & pids+=($!)
as dbus-daemon --session --nofork --address="unix:path=$dir/run/system_bus" >/dev/null 2>&1 & pids+=($!)
sleep 0.5
as gnome-shell --headless --wayland --virtual-monitor 1920x1080 --wayland-display=wl-bench \
  >"$dir/shell.log" 2>&1 & pids+=($!)
for _ in $(seq 300); do
  xw=$(pgrep -a -u "$user" Xwayland | grep -F "$dir/run/" || true)
  [ -n "$xw" ] && break
  sleep 0.2
done
display=$(echo "$xw" | grep -o ' :[0-9]*' | head -1 | tr -d ' ')
auth=$(echo "$xw" | grep -o -- "-auth [^ ]*" | cut -d' ' -f2)
env+=(DISPLAY="$display" XAUTHORITY="$auth")
for i in $(seq 19); do
  as xterm -title "bench $i" -geometry 60x15 -e sleep 600 >/dev/null 2>&1 & pids+=($!)
done
sleep 8  # the large one comes last, so that it takes the focus
as xterm -title "bench full" -geometry 318x80+0+0 -e sleep 600 >/dev/null 2>&1 & pids+=($!)
sleep 3
as "$build/bench/bench_gnome" "${2:-500}" "${3:-50}"
