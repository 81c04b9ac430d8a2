#!/usr/bin/env bash
# The Windows tests on the 32-bit build, the program's own target, under 32-bit Wine. Not part
# of CI: Debian runs 32-bit Windows programs only with its i386 architecture added:
#   dpkg --add-architecture i386 && apt-get update && apt-get install wine32:i386
# Usage: scripts/test_windows32.sh [BUILD_ROOT]
exec bash "$(dirname "$0")/test_windows.sh" --arch 32 "$@"
