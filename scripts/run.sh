#!/usr/bin/env bash
# Builds quorvel and starts it on your desktop. On the first run it also makes a demo tree of
# .olv files to try it on (~/quorvel-demo, or $QUORVEL_DEMO), with olvtool.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja
ninja -C build quorvel olvtool

demo="${QUORVEL_DEMO:-$HOME/quorvel-demo}"
if [ ! -e "$demo" ]; then
  build/app/olvtool demo "$demo"
fi
echo "Demo tree: $demo"
echo "In quorvel, click Browse and choose that folder; then Fix files repairs its version 4 files."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run.sh: no desktop session found (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  echo "Start $(pwd)/build/app/quorvel from a terminal on your desktop." >&2
  exit 1
fi
exec build/app/quorvel
