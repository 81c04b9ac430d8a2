#!/usr/bin/env bash
# `quorvel FOLDER` browses FOLDER without the picker, whichever way the folder is written: the
# rows then hold absolute paths beneath it, without "." or ".." components or doubled slashes.
# quorvel runs offscreen, driven through the summary, Fix files and Close by the test library
# that tests/package/drive_quorvel.cpp builds.
# Usage: start_folder_test.sh path/to/quorvel path/to/olvtool path/to/libquorvel_drive.so
set -u
quorvel=$(realpath "$1") olvtool=$(realpath "$2") drive=$(realpath "$3")
work=$(cd "$(mktemp -d)" && pwd -P)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/a/b" "$work/elsewhere"
failed=0

# name | folder as given | working folder
cases=(
  "relative|tree|$work/a/b"
  "dot and trailing slash|./tree/|$work/a/b"
  "up and over|../b/tree|$work/a/b"
  "from a sibling|../a/b/tree|$work/elsewhere"
  "absolute with slashes|$work/a/b/tree//|/"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name folder cwd <<<"$c"
  rm -rf "$work/a/b/tree" && "$olvtool" demo "$work/a/b/tree" >/dev/null || { echo "FAIL olvtool demo"; exit 1; }
  report="$work/report"
  rm -f "$report"
  (cd "$cwd" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen HOME="$work" XDG_RUNTIME_DIR="$work" \
     LD_PRELOAD="$drive" QUORVEL_DRIVE_REPORT="$report" timeout 120 "$quorvel" "$folder" >"$work/log" 2>&1)
  status=$?
  rows=$(grep -c $'^row\t' "$report" 2>/dev/null)
  outside=$(grep $'^row\t' "$report" 2>/dev/null | cut -f2 | grep -v -c "^$work/a/b/tree/")
  odd=$(grep $'^row\t' "$report" 2>/dev/null | cut -f2 | grep -c -E '/\./|/\.\./|//')
  if [ "$status" -eq 0 ] && grep -qx done "$report" && [ "$rows" -gt 0 ] && [ "$outside" -eq 0 ] && [ "$odd" -eq 0 ] &&
     grep -q $'^box\tSearch complete' "$report"; then
    echo "ok   $name ($rows rows)"
  else
    echo "FAIL $name: exit $status, $rows rows, $outside outside the folder, $odd odd; report:"
    sed 's/^/     /' "$report" 2>/dev/null | head -20
    failed=1
  fi
done
exit $failed
