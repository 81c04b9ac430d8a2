#!/usr/bin/env bash
# Builds the .olv library's fuzz target (fuzz/: clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs it for SECONDS (default 60), starting from
# a corpus that olvtool makes now: every version, with and without the version-4 fault, several
# record counts and sizes. What the fuzzer finds new stays in build-fuzz/corpus/ for the next
# run. Exits non-zero on any finding (a broken rule, a sanitizer report, a leak, a timeout);
# the input that caused it is saved in build-fuzz/findings/.
#
# Usage: scripts/test_fuzz.sh [SECONDS]
# Reproduce a finding: build-fuzz/fuzz_wekfile build-fuzz/findings/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
dir=build-fuzz
cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)"

start="$dir/corpus-start" work="$dir/corpus" findings="$dir/findings"
rm -rf "$start"
mkdir -p "$start" "$work" "$findings"
n=0
make_file() {
  "$dir/olvtool" make "$start/$n.olv" "$@" >/dev/null
  n=$((n + 1))
}
for version in 1 2 3 4 5 9; do
  for records in 0 1 3 17; do make_file --version "$version" --records "$records"; done
  make_file --version "$version" --records 5 --bytes 3000
done
for records in 1 3 17; do make_file --version 4 --fault --records "$records"; done
make_file --version 4 --fault --records 5 --bytes 3000
echo "== Fuzzing the .olv library for $seconds s from $n starting files"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
set +e
"$dir/fuzz_wekfile" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$findings/" -print_final_stats=1 "$work" "$start" 2>&1 | tee "$dir/fuzz.log" |
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|==[0-9]+==|SUMMARY|fuzz_wekfile:)'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  echo "== FAILED: the fuzzer found something (exit $status); see $dir/fuzz.log and $findings/"
  exit 1
fi
echo "== OK: no finding"
