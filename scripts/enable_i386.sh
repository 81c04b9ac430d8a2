#!/usr/bin/env bash
# Makes sure this machine runs 32-bit x86 Linux programs. A 64-bit kernel that cannot execute
# them itself runs them under qemu-i386, registered through binfmt_misc when missing (as root;
# the entry stays until the next boot and serves every user of the machine).
#
# Usage: scripts/enable_i386.sh
#   QEMU_I386=PATH  the emulator to register (default /usr/bin/qemu-i386-static)
# Exits 0 and prints "natively" or "under qemu-i386 through binfmt_misc" when they run;
# otherwise exits 1 and prints the reason in one line.
set -uo pipefail

qemu="${QEMU_I386:-/usr/bin/qemu-i386-static}"
binfmt=/proc/sys/fs/binfmt_misc
# The 32-bit dynamic loader of Debian's libc6-i386: a 32-bit program that is always there.
probe=/lib/ld-linux.so.2

runs_i386() { "$probe" --version >/dev/null 2>&1; }
how() {
  if grep -qs '^enabled' "$binfmt/qemu-i386"; then echo "under qemu-i386 through binfmt_misc"
  else echo "natively"; fi
}

[ -x "$probe" ] || { echo "$probe is missing (Debian package libc6-i386)"; exit 1; }
if runs_i386; then how; exit 0; fi

[ -x "$qemu" ] || { echo "$qemu is missing (Debian package qemu-user-static)"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "registering qemu-i386 with binfmt_misc needs root"; exit 1; }
if [ ! -e "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
  echo "binfmt_misc cannot be mounted on $binfmt (no kernel support, or not allowed here)"
  exit 1
fi
if [ -e "$binfmt/qemu-i386" ]; then
  # Registered before, but disabled or with an emulator that does not work.
  grep -qs '^enabled' "$binfmt/qemu-i386" || echo 1 >"$binfmt/qemu-i386" 2>/dev/null
else
  # 32-bit little-endian ELF, executable or position-independent, machine 3 (i386). F: the
  # kernel opens the emulator now, so that it also works in other mount namespaces and chroots.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    >"$binfmt/register" 2>/dev/null ||
    { echo "the kernel refused the qemu-i386 entry in $binfmt/register"; exit 1; }
fi
if ! runs_i386; then
  echo "32-bit programs do not start even with the qemu-i386 entry: $("$probe" --version 2>&1 | head -1)"
  exit 1
fi
how
