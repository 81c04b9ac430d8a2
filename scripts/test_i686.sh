#!/usr/bin/env bash
# Builds the toolkit-free parts (file library, olvtool, the dialog logic on the scripted port)
# for 32-bit x86 Linux and runs their tests, so that 32-bit sizes (size_t, off_t, time_t) and
# the save and walk code are checked on every run.
#
# A 64-bit kernel that cannot execute 32-bit programs itself runs them under qemu-i386 through
# binfmt_misc (scripts/enable_i386.sh registers it when missing). Where no way to run them
# exists (no privileges, no binfmt_misc, no qemu), it says so in one line and skips the tests;
# the build is still checked.
#
# Usage: scripts/test_i686.sh [BUILD_DIR]   (default: build-i686 in the repository)
# Exits non-zero when the build has an error or a warning, or a test fails.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$repo/build-i686}"
started=$SECONDS

mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
log="$dir/build.log"

echo "== Building the 32-bit x86 Linux tests in $dir"
if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_QT=OFF \
         -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/linux-i686.cmake" &&
       cmake --build "$dir" --target filelib_tests core_tests olvtool olvtool_gate -j"$(nproc)"; } >"$log" 2>&1; then
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

tool="$dir/app/olvtool"
# The ELF class byte: 1 for 32-bit programs.
if [ "$(od -An -tu1 -j4 -N1 "$tool" | tr -d ' ')" != 1 ]; then
  echo "== 32-bit x86 Linux: FAILED: $tool is not a 32-bit program"
  exit 1
fi

if ! how="$(bash "$repo/scripts/enable_i386.sh")"; then
  echo "== 32-bit x86 Linux: built in ${built} s; tests SKIPPED: this machine cannot run 32-bit x86 programs: $how"
  exit 0
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
