#!/usr/bin/env bash
# Builds quorvel and runs every test: the Windows builds under Wine first (the 32-bit one where
# this machine runs 32-bit programs natively), then the file library
# and the dialog logic built for 32-bit x86 Linux, then the native build (headless dialog tests,
# file library, Qt backend on the offscreen platform), the Debian package (installed, run end to
# end and removed again), then the file-library and core tests once more under
# AddressSanitizer + UndefinedBehaviorSanitizer and the core tests under ThreadSanitizer, then a
# 60-second fuzz run of the file library.
# Installs what it needs on a fresh Debian machine. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

status=0
bash scripts/test_windows.sh || status=1
# The whole 32-bit Windows suite where this machine runs 32-bit programs natively (setup then
# installs 32-bit Wine); elsewhere one line says why not.
bash scripts/test_windows32.sh --if-native --tests-only || status=1
bash scripts/test_i686.sh || status=1

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j"$(nproc)") || status=1
bash scripts/test_package.sh build || status=1

bash scripts/test_sanitizers.sh || status=1
bash scripts/test_fuzz.sh 60 || status=1

exit "$status"
