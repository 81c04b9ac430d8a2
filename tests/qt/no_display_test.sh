#!/usr/bin/env bash
# quorvel started outside a desktop session: it says so in one line and exits with 1, whether
# no display is named at all or the one named cannot be reached (X11 or Wayland).
# Usage: no_display_test.sh path/to/quorvel
set -u
quorvel=$1
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
want="quorvel needs a desktop session (X11 or Wayland)"
failed=0

# name | environment besides PATH and HOME
cases=(
  "no display named|"
  "empty DISPLAY|DISPLAY="
  "X11 display that is not there|DISPLAY=:4242"
  "Wayland socket that is not there|WAYLAND_DISPLAY=quorvel-test-none XDG_RUNTIME_DIR=$runtime"
  "X11 platform forced, no display|QT_QPA_PLATFORM=xcb"
)
for c in "${cases[@]}"; do
  name=${c%%|*}
  vars=${c#*|}
  # shellcheck disable=SC2086  # the variables are split on purpose
  err=$(env -i PATH="$PATH" HOME="$runtime" $vars timeout 20 "$quorvel" 2>&1 >/dev/null)
  status=$?
  last=$(printf '%s\n' "$err" | tail -n 1)
  if [ "$status" -eq 1 ] && [ "$last" = "$want" ]; then
    echo "ok   $name"
  else
    echo "FAIL $name: exit $status, stderr:"
    printf '%s\n' "$err" | sed 's/^/     /'
    failed=1
  fi
done
exit $failed
