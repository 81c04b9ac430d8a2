#!/usr/bin/env bash
# Installs every Debian package that building, running and testing quorvel needs.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev
  googletest libgtest-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-wayland
  python3 librsvg2-bin parallel
  desktop-file-utils appstream groff-base lintian
  fonts-droid-fallback fonts-noto-color-emoji
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine64 xvfb xauth x11-utils imagemagick
  g++-i686-linux-gnu libc6-i386 lib32stdc++6 lib32gcc-s1 qemu-user-static python3
  acl bindfs fuse3 e2fsprogs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
