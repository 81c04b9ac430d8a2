#!/usr/bin/env bash
# The desktop matches a running window to its desktop entry (its icon, its launcher, the end of
# its start-up notification) by the window's X11 class: quorvel's window has the class that the
# entry declares as StartupWMClass. Runs quorvel on its own Xvfb display.
# Usage: wm_class_test.sh path/to/quorvel path/to/org.quorvel.Quorvel.desktop
set -u
quorvel=$(realpath "$1")
desktop=$2
want=$(sed -n 's/^StartupWMClass=//p' "$desktop")
[ -n "$want" ] || { echo "FAIL no StartupWMClass in $desktop"; exit 1; }
export QUORVEL_TEST_BINARY="$quorvel" QUORVEL_TEST_WANT="$want"
# shellcheck disable=SC2016  # expanded by the inner shell
xvfb-run -a -s "-screen 0 1366x768x24" bash -c '
  home=$(mktemp -d)
  env HOME="$home" QT_QPA_PLATFORM=xcb "$QUORVEL_TEST_BINARY" >/dev/null 2>&1 &
  pid=$!
  id=""
  for _ in $(seq 1 600); do
    # The window titled quorvel that has a class (Qt'"'"'s client leader has the title, no class).
    id=$(xwininfo -root -tree 2>/dev/null | awk "/\"quorvel\": \\(\"/ { print \$1; exit }")
    [ -n "$id" ] && break
    sleep 0.1
  done
  class=$( [ -n "$id" ] && xprop -id "$id" WM_CLASS)
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -rf "$home"
  # WM_CLASS(STRING) = "instance", "class"
  got=$(printf "%s\n" "$class" | sed -n "s/^WM_CLASS(STRING) = \"[^\"]*\", \"\([^\"]*\)\"$/\1/p")
  if [ -n "$got" ] && [ "$got" = "$QUORVEL_TEST_WANT" ]; then
    echo "ok   window class $got matches StartupWMClass"
  else
    echo "FAIL window ${id:-not found}: ${class:-no WM_CLASS}; the entry wants $QUORVEL_TEST_WANT"
    exit 1
  fi
'
