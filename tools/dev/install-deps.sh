#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, skipping those
# already present. Runs as root (or with sudo available).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3 ccache
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  clang libclang-rt-14-dev
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
  qt6-base-dev
  fonts-liberation fonts-crosextra-carlito fonts-dejavu-core
  xvfb openbox trayer xdotool imagemagick x11-utils x11-xserver-utils dbus dbus-x11 at-spi2-core python3-pyatspi
  librsvg2-bin
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
