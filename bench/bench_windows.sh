#!/usr/bin/env bash
# Builds and runs the Windows benchmark (bench/bench_win32.cpp) under Wine: the real window's
# Browse and Fix files against olvtool.exe on the same tree in the same run, for the 64-bit
# build and, where 32-bit Wine is installed, the 32-bit one. Each run gets a private Xvfb display
# and a fresh Wine prefix (a copy of the one scripts/test_windows.sh keeps as a template).
#
# Usage: bench/bench_windows.sh [--bits 64|32|both] [BENCH ARGUMENTS...]
#   --bits  which builds to measure (default both; 32 needs Debian's wine32:i386)
#   BENCH ARGUMENTS go to bench_win32.exe: [--files N,N,...] [--folders F] [--repeat R] [--rows N]
# Prints the figures; exits non-zero when a build or a run fails.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
bits=both
if [ "${1:-}" = --bits ]; then bits="$2"; shift 2; fi
case "$bits" in 64) which=(64) ;; 32) which=(32) ;; both) which=(64 32) ;; *) echo "--bits is 64, 32 or both" >&2; exit 2 ;; esac

xvfb_pid=""
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

start_xvfb() {
  local n
  for n in $(seq 90 160); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 50); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then export DISPLAY=":$n"; return 0; fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill "$xvfb_pid" 2>/dev/null; xvfb_pid=""
  done
  return 1
}

status=0
start_xvfb || { echo "Xvfb: could not start a display" >&2; exit 1; }
for b in "${which[@]}"; do
  dir="$repo/build-win$b"
  if [ "$b" = 32 ]; then loader=/usr/lib/wine/wine toolchain=mingw-i686; export WINEARCH=win32
  else loader=/usr/lib/wine/wine64 toolchain=mingw-x86_64; export WINEARCH=win64; fi
  if [ ! -x "$loader" ]; then
    echo "== $b-bit: not run, $loader is missing (Debian's wine$([ "$b" = 32 ] && echo 32:i386 || echo 64))"
    continue
  fi
  echo "== Building bench_win32.exe and olvtool.exe ($b-bit) in $dir"
  mkdir -p "$dir"
  if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain.cmake" &&
         cmake --build "$dir" -j2 --target bench_win32 olvtool; } >"$dir/bench-build.log" 2>&1; then
    tail -30 "$dir/bench-build.log"
    status=1
    continue
  fi
  export WINEPREFIX="$dir/wineprefix-bench" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  rm -rf "$WINEPREFIX"
  if [ -d "$dir/wineprefix-template" ]; then
    cp -a "$dir/wineprefix-template" "$WINEPREFIX"
  else
    # No window manager: unmanaged windows, so Wine does not wait for one.
    "$loader" wineboot -i >/dev/null 2>&1
    wineserver -w
    "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
  fi
  echo "== bench_win32.exe $* ($b-bit, $("$loader" --version))"
  "$loader" "$dir/bench/bench_win32.exe" "$@" || status=1
  wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
done
exit "$status"
