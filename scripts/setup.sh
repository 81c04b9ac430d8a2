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

# Wine's 32-bit loader (Debian's wine32:i386), for the 32-bit Windows tests: only where this
# machine runs 32-bit x86 programs natively. Where it could run them only under qemu, every Wine
# process would be emulated (minutes per start), and once wine32 is installed Debian's plain
# `wine` command picks the 32-bit loader, which then breaks `wine` for everyone on the machine.
# The probe is the 32-bit dynamic loader of libc6-i386 (installed above), run directly: a
# qemu-i386 entry in binfmt_misc would take it over, so such a machine counts as not native.
runs_i386_natively() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 &&
    ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386
}
if runs_i386_natively &&
   ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends wine32:i386
fi
