#!/usr/bin/env bash
# quorvel started outside a desktop session: it says so in one line and exits with 1, whether
# no display is named at all or the one named cannot be reached (X11 or Wayland). Its command
# line needs no display: --help and --version answer on stdout with 0, a wrong command line
# says what is wrong on stderr with 2, all before any window.
# Usage: no_display_test.sh path/to/quorvel
set -u
quorvel=$1
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
want="quorvel needs a desktop session (X11 or Wayland)"
failed=0
report() {  # name, ok?, details
  if [ "$2" = yes ]; then echo "ok   $1"; else echo "FAIL $1: $3"; failed=1; fi
}

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
  [ "$status" -eq 1 ] && [ "$last" = "$want" ] && ok=yes || ok=no
  report "$name" $ok "exit $status, stderr: $err"
done

touch "$runtime/file"
# name | arguments (split on spaces) | exit status | start of stdout | start of stderr
args=(
  "help|--help|0|Usage: quorvel [FOLDER]|"
  "short help, after a folder|$runtime -h|0|Usage: quorvel [FOLDER]|"
  "version|--version|0|quorvel 1.0|"
  "help beside Qt's own option|-platform offscreen --help|0|Usage: quorvel [FOLDER]|"
  "unknown option|-q|2||quorvel: unknown option '-q'"
  "two folders|$runtime $runtime|2||quorvel: only one folder can be given"
  "missing folder|$runtime/none|2||quorvel: cannot open '$runtime/none': No such file or directory"
  "a file|$runtime/file|2||quorvel: '$runtime/file' is not a folder"
  "a folder, no display|$runtime|1||$want"
  "a folder after --, no display|-- $runtime|1||$want"
  "Qt's -style=STYLE, a folder, no display|-style=fusion $runtime|1||$want"
  "Qt's -stylesheet=FILE, no display|-stylesheet=$runtime/file|1||$want"
)
for c in "${args[@]}"; do
  IFS='|' read -r name words status out err <<<"$c"
  # shellcheck disable=SC2086  # the arguments are split on purpose
  env -i PATH="$PATH" HOME="$runtime" timeout 20 "$quorvel" $words >"$runtime/out" 2>"$runtime/err"
  got=$?
  ok=yes
  [ "$got" -eq "$status" ] || ok=no
  if [ -n "$out" ]; then [ "$(head -n 1 "$runtime/out" | cut -c1-${#out})" = "$out" ] || ok=no
  else [ ! -s "$runtime/out" ] || ok=no; fi
  if [ -n "$err" ]; then [ "$(head -n 1 "$runtime/err")" = "$err" ] || ok=no
  else [ ! -s "$runtime/err" ] || ok=no; fi
  report "$name" $ok "exit $got, stdout: $(cat "$runtime/out"), stderr: $(cat "$runtime/err")"
done

# Started in a folder that was deleted meanwhile, a relative FOLDER cannot be made absolute: it
# is refused, and never taken for the root folder.
for folder in . .. sub; do
  mkdir -p "$runtime/gone"
  (cd "$runtime/gone" && rmdir "$runtime/gone" &&
     env -i PATH="$PATH" HOME="$runtime" timeout 20 "$quorvel" "$folder" >"$runtime/out" 2>"$runtime/err")
  got=$?
  [ "$got" -eq 2 ] && [ "$(head -n 1 "$runtime/err")" = "quorvel: cannot open '$folder': the working folder cannot be found" ] &&
    ok=yes || ok=no
  report "'$folder' in a deleted working folder" $ok "exit $got, stderr: $(cat "$runtime/err")"
done
exit $failed
