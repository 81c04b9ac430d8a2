#!/usr/bin/env bash
# Builds the native tree without Qt under the sanitizers, each in its own build folder, and runs
# the tests there; any sanitizer report fails the run:
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer: file-library tests, olvtool's
#                end-to-end test and the core tests, through ctest
#   build-tsan/  ThreadSanitizer: the core tests (the deep-tree test with 20,000 levels: every
#                call is several times slower there, and depth is not what it checks)
#
# Usage: scripts/test_sanitizers.sh [asan|tsan]...   (default: both)
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(asan tsan)
failed=0

configure() {  # configure <dir> <flags>
  cmake -S . -B "$1" -G Ninja -DQUORVEL_BUILD_QT=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$2 -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="$2" >/dev/null
}

for step in "${steps[@]}"; do
  case "$step" in
  asan)
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer (build-asan)"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    if configure build-asan "-fsanitize=address,undefined -fno-sanitize-recover=all" &&
       cmake --build build-asan --target filelib_tests olvtool olvtool_gate core_tests -j"$jobs" &&
       (cd build-asan && ctest --output-on-failure -j"$jobs"); then
      echo "== asan: OK"
    else
      echo "== asan: FAILED"; failed=1
    fi
    ;;
  tsan)
    echo "== ThreadSanitizer (build-tsan)"
    if configure build-tsan "-fsanitize=thread" &&
       cmake --build build-tsan --target core_tests -j"$jobs" &&
       TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 QUORVEL_DEEP_LEVELS=20000 \
         build-tsan/tests/core_tests --gtest_brief=1; then
      echo "== tsan: OK"
    else
      echo "== tsan: FAILED"; failed=1
    fi
    ;;
  *) echo "unknown step: $step (asan or tsan)" >&2; exit 2 ;;
  esac
done
exit "$failed"
