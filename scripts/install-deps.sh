#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demo need.
# Idempotent: refreshes the package lists only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  libboost1.81-dev libboost-json1.81-dev
  libxcb1-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-composite0-dev
  libxcb-shm0-dev libxcb-res0-dev libxcb-render0-dev libxcb-xfixes0-dev
  libturbojpeg0-dev libspng-dev libpixman-1-dev
  libsystemd-dev
  googletest libgtest-dev
  clang-14 libclang-rt-14-dev
  librsvg2-dev libxpm-dev libyuv-dev libwayland-dev wayland-protocols dpkg-dev file
  xvfb openbox x11-apps x11-utils xterm dbus-daemon python3
  xfwm4 i3-wm picom zenity
  sway foot xwayland grim
  gnome-shell gjs libglib2.0-bin gtk-3-examples
  kwin-wayland qdbus-qt5
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(ffmpeg imagemagick xdotool hyperfine)
fi

# Desktops that refuse root (sway, GNOME Shell, KWin) run in the tests as
# this system user.
if [ "$(id -u)" -eq 0 ] && ! id companion-test >/dev/null 2>&1; then
  useradd -r -M -d /nonexistent -s /usr/sbin/nologin companion-test
fi

# The wlr protocol definitions, from Debian's wlroots source package.
if [ "$(id -u)" -eq 0 ]; then
  "$(dirname "$0")/wlr-protocols.sh"
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
