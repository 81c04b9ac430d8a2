#!/usr/bin/env bash
# The Windows tests on the 32-bit build, the program's own target, under 32-bit Wine.
#
# It needs Debian's 32-bit Wine, and a machine that runs 32-bit x86 Linux programs. Where the
# machine runs them natively, scripts/setup.sh installs it:
#   dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386
# and the test command runs this script with --if-native: the whole 32-bit suite, as the 64-bit
# one (about a minute). Installing wine32 makes Debian's plain `wine` command pick the 32-bit
# loader; scripts/test_windows.sh calls each loader by name, so both runs keep working.
#
# Where 32-bit programs run only under qemu-i386 through binfmt_misc (scripts/enable_i386.sh
# registers it as root), this script is a manual step. Every 32-bit Wine process is then
# emulated, services.exe, winedevice.exe and explorer.exe included. Measured with Wine 8.0 and
# qemu 7.2 on a 2-core machine: booting the 32-bit prefix took 14 minutes; every later Wine
# session took 7 to 10 minutes before the test program printed its first line, while Wine's
# helper processes now and then died with "qemu: uncaught target signal 11". Under emulation
# the tests in EXCLUDED below are left out, each with the reason; --all runs those too. Never
# install wine32 on such a machine for good: it breaks the plain `wine` command there. To undo:
#   apt-get purge --allow-remove-essential '.*:i386' && dpkg --remove-architecture i386
#
# Usage: scripts/test_windows32.sh [--if-native] [--all] [--tests-only] [BUILD_ROOT]
#   --if-native   run the whole suite where 32-bit programs run natively and wine32 is
#                 installed; otherwise print one line saying why not and exit 0
#   --all         under emulation, run the excluded tests too
#   --tests-only  use the builds that are there (see scripts/test_windows.sh)
set -uo pipefail

here="$(cd "$(dirname "$0")" && pwd)"

# GoogleTest patterns of the tests left out under emulation, each with the reason.
EXCLUDED=(
  "Win32EndToEnd.*|the whole-suite run died as it reached it: \"wine client error:7c: write: Bad file descriptor\" (the process lost its Wine server connection)"
  "Win32Port.*|no result within 10 minutes; Wine's helper processes died under qemu (signal 11)"
  "Win32Dialog.*|not reached within the time available (each attempt first waits 7-10 minutes for Wine's services)"
)

all=0
if_native=0
args=()
for a in "$@"; do
  case "$a" in
    --all) all=1 ;;
    --if-native) if_native=1 ;;
    *) args+=("$a") ;;
  esac
done

# Says why the suite cannot run here: exit 1 and the reason, or ok.
not_run() {
  if [ $if_native -eq 1 ]; then
    echo "== 32-bit Windows tests not run: $1"
    exit 0
  fi
  echo "== 32-bit Windows tests: NOT RUN: $1"
  exit 1
}

# Natively: the kernel runs the 32-bit loader itself, with no qemu entry in binfmt_misc taking it.
native=0
if /lib/ld-linux.so.2 --version >/dev/null 2>&1 && ! grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
  native=1
fi
if [ $if_native -eq 1 ] && [ $native -eq 0 ]; then
  not_run "this machine does not run 32-bit x86 programs natively (setup installs no 32-bit Wine here)"
fi
if [ ! -x /usr/lib/wine/wine ] && ! command -v wine32 >/dev/null; then
  not_run "wine32 is not installed (dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386)"
fi
if [ $native -eq 1 ]; then
  echo "== 32-bit Wine runs natively: the whole suite"
else
  how="$(bash "$here/enable_i386.sh")" || not_run "this machine cannot run 32-bit x86 programs: $how"
  echo "== 32-bit Wine runs $how"
fi

filter=""
if [ $native -eq 0 ] && [ $all -eq 0 ]; then
  echo "== Left out (Wine under emulation cannot run them; --all runs them):"
  patterns=()
  for entry in "${EXCLUDED[@]}"; do
    printf '   %-16s %s\n' "${entry%%|*}" "${entry#*|}"
    patterns+=("${entry%%|*}")
  done
  filter="-$(IFS=:; echo "${patterns[*]}")"
fi

exec bash "$here/test_windows.sh" --arch 32 ${filter:+--filter "$filter"} "${args[@]}"
