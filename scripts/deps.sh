#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need,
# skipping the work when they are all present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev
  libasound2-dev
  libgtest-dev
  xvfb xauth openbox libx11-dev libxtst-dev
  fonts-dejavu-core
  clang libclang-rt-dev
  qt6-svg-dev dbus-daemon desktop-file-utils appstream dpkg-dev file
  # The desktop's MIDI stacks the kernel VM runs the updates under.
  pipewire pipewire-bin wireplumber jackd2 a2jmidid
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
