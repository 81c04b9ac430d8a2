#!/usr/bin/env bash
# Builds the toolkit-free parts (file library, olvtool, the dialog logic on the scripted port)
# for 32-bit x86 Linux and runs their tests, so that 32-bit sizes (size_t, off_t, time_t) and
# the save and walk code are checked on every run.
#
# A 64-bit kernel that cannot execute 32-bit programs itself runs them under qemu-i386 through
# binfmt_misc; this script registers that handler when it is missing (as root). Where no way to
# run them exists (no privileges, no binfmt_misc, no qemu), it says so in one line and skips the
# tests; the build is still checked.
#
# Usage: scripts/test_i686.sh [BUILD_DIR]   (default: build-i686 in the repository)
#   QEMU_I386=PATH  the emulator to register (default /usr/bin/qemu-i386-static)
# Exits non-zero when the build has an error or a warning, or a test fails.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$repo/build-i686}"
qemu=${QEMU_I386:-/usr/bin/qemu-i386-static}
binfmt=/proc/sys/fs/binfmt_misc
started=$SECONDS

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
log="$dir/build.log"

echo "== Building the 32-bit x86 Linux tests in $dir"
if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_QT=OFF \
         -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/linux-i686.cmake" &&
       cmake --build "$dir" --target filelib_tests core_tests olvtool -j"$(nproc)"; } >"$log" 2>&1; then
  tail -40 "$log"
  echo "== 32-bit x86 Linux: FAILED: the build failed, see $log"
  exit 1
fi
# Only what this run compiled is in the log; a clean build checks every file.
if grep -q 'warning:' "$log"; then
  grep -B2 -A6 'warning:' "$log" | head -60
  echo "== 32-bit x86 Linux: FAILED: compiler warnings, see $log"
  exit 1
fi
built=$((SECONDS - started))

tool="$dir/filelib/olvtool"
# The ELF class byte: 1 for 32-bit programs.
if [ "$(od -An -tu1 -j4 -N1 "$tool" | tr -d ' ')" != 1 ]; then
  echo "== 32-bit x86 Linux: FAILED: $tool is not a 32-bit program"
  exit 1
fi

# True when this machine runs the 32-bit olvtool: it prints its usage and exits 2.
runs_i386() { local out; out="$("$tool" 2>&1)"; [ $? -eq 2 ] && grep -q '^usage:' <<<"$out"; }

# Registers qemu-i386 for 32-bit x86 programs (executables and position-independent ones).
# F: the kernel opens the interpreter now, so that it works in any mount namespace later.
# Prints the reason and returns non-zero when it cannot.
register_qemu() {
  [ -x "$qemu" ] || { echo "$qemu is missing (Debian package qemu-user-static)"; return 1; }
  [ "$(id -u)" -eq 0 ] || { echo "registering qemu-i386 with binfmt_misc needs root"; return 1; }
  if [ ! -e "$binfmt/register" ] &&
     ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
    echo "binfmt_misc cannot be mounted on $binfmt (no kernel support, or not allowed here)"
    return 1
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 >"$binfmt/qemu-i386" 2>/dev/null  # registered before but disabled
  else
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
      >"$binfmt/register" 2>/dev/null ||
      { echo "the kernel refused the qemu-i386 entry in $binfmt/register"; return 1; }
  fi
  runs_i386 || { echo "32-bit programs still do not start with the qemu-i386 entry ($("$tool" 2>&1 | head -1))"; return 1; }
}

how="natively"
if ! runs_i386; then
  if ! reason="$(register_qemu)"; then
    echo "== 32-bit x86 Linux: built in ${built} s; tests SKIPPED: this machine cannot run 32-bit x86 programs: $reason"
    exit 0
  fi
  how="under qemu-i386 through binfmt_misc"
elif grep -qs '^enabled' "$binfmt/qemu-i386"; then
  how="under qemu-i386 through binfmt_misc"
fi

echo "== Running the 32-bit x86 Linux tests $how"
(cd "$dir" && ctest --output-on-failure -j"$(nproc)") 2>&1 | tee "$dir/ctest.log"
status=${PIPESTATUS[0]}
summary="$(grep -E '^[0-9]+% tests passed' "$dir/ctest.log" | tail -1)"
if [ "$status" -eq 0 ]; then
  echo "== 32-bit x86 Linux: OK ($how): $summary; build ${built} s, total $((SECONDS - started)) s"
else
  echo "== 32-bit x86 Linux: FAILED ($how): ${summary:-ctest exit $status}, see $dir/ctest.log"
fi
exit "$status"
