#!/usr/bin/env bash
# Builds quorvel for Windows with Debian's mingw-w64 (32-bit and 64-bit, statically linked) and
# checks both programs as files (scripts/check_pe.py: machine, subsystem, Windows version, DLLs,
# DEP and ASLR, resources) and packs each build into its zip (quorvel.exe, olvtool.exe,
# README.txt). Then it tests one build as a real Windows program under Wine, on a private Xvfb
# display and in a fresh Wine prefix: the Windows test program (the real dialog from the real
# resources, end to end on real files, directory enumeration, the file library's save), a start
# of that build's quorvel.exe with a screenshot, and (64-bit) the zip's olvtool.exe unpacked
# and run.
#
# Each build runs under its own Wine loader, called by name: Debian's plain `wine` command picks
# the 32-bit loader as soon as wine32:i386 is installed, so the 64-bit run never relies on it.
#
# Usage: scripts/test_windows.sh [--arch 64|32] [--filter GTEST_FILTER] [--tests-only] [BUILD_ROOT]
#   --arch    which build runs under Wine (default 64; 32 needs Debian's wine32:i386 and a way
#             to run 32-bit x86 Linux programs, see scripts/test_windows32.sh)
#   --filter  run only these Windows tests (GoogleTest's --gtest_filter syntax)
#   --tests-only  no builds, zips or file checks: run the tests on the builds that are there
#   BUILD_ROOT  where build-win32/ and build-win64/ go (default: the repository root)
# Prints a summary; exits non-zero when a build, a warning, a file check or a test fails.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
arch=64
filter=""
tests_only=0
root="$repo"
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch="$2"; shift 2 ;;
    --filter) filter="$2"; shift 2 ;;
    --tests-only) tests_only=1; shift ;;
    *) root="$1"; shift ;;
  esac
done
[ "$arch" = 32 ] || [ "$arch" = 64 ] || { echo "--arch is 32 or 64" >&2; exit 2; }
mkdir -p "$root"
root="$(cd "$root" && pwd)"

started=$SECONDS
summary=()
failed=0
note() { summary+=("$(printf '  %-34s %s' "$1" "$2")"); }
fail() { note "$1" "FAILED: $2"; failed=1; }

# ---- Builds ---------------------------------------------------------------------------------
build() {  # build <32|64>
  local bits=$1 toolchain dir log
  if [ "$bits" = 32 ]; then toolchain=mingw-i686; else toolchain=mingw-x86_64; fi
  dir="$root/build-win$bits"
  log="$dir/build.log"
  mkdir -p "$dir"
  if ! { cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain.cmake" &&
         cmake --build "$dir" -j"$(nproc)"; } >"$log" 2>&1; then
    tail -40 "$log"
    fail "build $bits-bit" "see $log"
    return 1
  fi
  # Only what this run compiled is in the log; a clean build checks every file.
  if grep -q 'warning:' "$log"; then
    grep -B2 -A6 'warning:' "$log" | head -60
    fail "build $bits-bit" "compiler warnings, see $log"
    return 1
  fi
  note "build $bits-bit" "OK  $(stat -c %s "$dir/app/quorvel.exe") bytes  $dir/app/quorvel.exe"
}

# The zip CPack makes of a build: one folder with both programs and the readme.
package() {  # package <32|64>
  local bits=$1 dir="$root/build-win$1" zip listing
  rm -f "$dir"/quorvel-*.zip
  if ! (cd "$dir" && cpack -G ZIP) >"$dir/cpack.log" 2>&1; then
    fail "zip $bits-bit" "cpack failed, see $dir/cpack.log"
    return 1
  fi
  zip="$(ls "$dir"/quorvel-*-windows-*.zip)"
  listing="$(python3 -c 'import sys, zipfile
print(" ".join(sorted(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if not n.endswith("/"))))' "$zip")"
  local folder; folder="$(basename "$zip" .zip)"
  if [ "$listing" = "$folder/README.txt $folder/olvtool.exe $folder/quorvel.exe" ]; then
    note "zip $bits-bit" "OK  $(stat -c %s "$zip") bytes  $zip"
  else
    fail "zip $bits-bit" "unexpected contents: $listing"
    return 1
  fi
}

# Reads a built quorvel.exe and olvtool.exe back: machine, subsystem, declared Windows version,
# DLLs, DEP, ASLR and large-address flags, quorvel.exe's resources.
check_file() {  # check_file <32|64>
  local bits=$1 exe="$root/build-win$1/app/quorvel.exe" log="$root/build-win$1/check_pe.log"
  if python3 "$repo/scripts/check_pe.py" --bits "$bits" "$exe" >"$log" 2>&1 &&
     python3 "$repo/scripts/check_pe.py" --bits "$bits" --console "$root/build-win$1/app/olvtool.exe" >>"$log" 2>&1; then
    cat "$log"
    note "file check $bits-bit" "OK  $(sed -n '1s/^[^:]*: //p' "$log")"
  else
    cat "$log"
    fail "file check $bits-bit" "see $log"
  fi
}

if [ $tests_only -eq 1 ]; then
  built32=1 built64=1
  [ -f "$root/build-win32/tests/win32_tests.exe" ] && built32=0
  [ -f "$root/build-win64/tests/win32_tests.exe" ] && built64=0
else
  echo "== Building the 32-bit and 64-bit Windows programs"
  build 32; built32=$?
  build 64; built64=$?
  [ $built32 -eq 0 ] && package 32
  [ $built64 -eq 0 ] && package 64
  [ $built32 -eq 0 ] && check_file 32
  [ $built64 -eq 0 ] && check_file 64
fi
# The checker itself: it must pass the real files and fail copies with one thing wrong.
if [ $tests_only -eq 0 ] && [ $built32 -eq 0 ] && [ $built64 -eq 0 ]; then
  if python3 "$repo/scripts/check_pe_test.py" "$root/build-win32/app/quorvel.exe" \
       "$root/build-win64/app/quorvel.exe" "$root/build-win32/app/olvtool.exe" \
       "$root/build-win64/app/olvtool.exe" >"$root/build-win64/check_pe_test.log" 2>&1; then
    note "file checker's own tests" "OK  $(tail -1 "$root/build-win64/check_pe_test.log")"
  else
    grep -A8 '^FAIL' "$root/build-win64/check_pe_test.log" | head -60
    fail "file checker's own tests" "$(tail -1 "$root/build-win64/check_pe_test.log"), see $root/build-win64/check_pe_test.log"
  fi
fi

# ---- Wine and Xvfb --------------------------------------------------------------------------
test_dir="$root/build-win$arch"
prefix="$test_dir/wineprefix"
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

# The loaders by name. Debian's wine64 package has /usr/lib/wine/wine64, its wine32:i386 package
# /usr/lib/wine/wine; other installations may have wine64 and wine32 on the PATH.
wine64_cmd() {
  if [ -x /usr/lib/wine/wine64 ]; then echo /usr/lib/wine/wine64
  elif command -v wine64 >/dev/null; then echo wine64
  else echo wine; fi
}
wine32_cmd() {
  if [ -x /usr/lib/wine/wine ]; then echo /usr/lib/wine/wine
  elif command -v wine32 >/dev/null; then echo wine32
  fi
}
if [ "$arch" = 32 ]; then
  wine_cmd="$(wine32_cmd)"
  export WINEARCH=win32
else
  wine_cmd="$(wine64_cmd)"
  export WINEARCH=win64
fi

start_xvfb() {
  local n
  for n in $(seq 90 160); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$test_dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 50); do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then export DISPLAY=":$n"; return 0; fi
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill "$xvfb_pid" 2>/dev/null; xvfb_pid=""
  done
  return 1
}

# A fresh prefix: no state of an earlier run. Without a window manager on the display, Wine
# would wait two seconds for each managed window to be withdrawn; unmanaged windows get
# Wine's own frames instead. mscoree/mshtml are off so that no Mono or Gecko installer asks.
#
# Booting a prefix takes seconds natively but many minutes where Wine's 32-bit parts run under
# qemu (the 32-bit run, and the 64-bit run's WoW64 set-up once wine32 is installed), so the
# freshly booted, never used prefix is kept beside it as a template and each run starts from a
# copy. The template is made again when Wine, the prefix kind or the 32-bit loader changes.
template="$test_dir/wineprefix-template"
setup_prefix() {
  local key
  rm -rf "$prefix"
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  key="$($wine_cmd --version 2>&1) $WINEARCH $(wine32_cmd)"
  if [ -d "$template" ] && [ "$(cat "$template.key" 2>/dev/null)" = "$key" ]; then
    cp -a "$template" "$prefix" || return 1
    echo "wine prefix copied from $template" >"$test_dir/wineboot.log"
  else
    rm -rf "$template" "$template.key"
    # Under emulation the loader may stop waiting for the boot before it ends (exit 53); the
    # wait for the server and the first command in the prefix tell whether it is usable.
    $wine_cmd wineboot -i >"$test_dir/wineboot.log" 2>&1
    wineserver -w &&
      $wine_cmd reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$test_dir/wineboot.log" 2>&1 &&
      wineserver -w || return 1
    cp -a "$prefix" "$template" && echo "$key" >"$template.key"
  fi
  # A folder link back to its parent for the loop test: Wine makes no Windows links itself
  # and shows a Unix link to a folder as one.
  mkdir -p "$prefix/drive_c/quorvel-links/tree/inner" &&
    ln -s .. "$prefix/drive_c/quorvel-links/tree/inner/up"
}

# Starts a quorvel.exe, waits for its main window, saves a screenshot of it, ends it.
start_app() {  # start_app <exe> <png> <label>
  local exe=$1 png=$2 label=$3 wid="" runner=$4
  $runner "$exe" >"$png.log" 2>&1 &
  app_pid=$!
  for _ in $(seq 1 150); do
    wid="$(xwininfo -root -tree 2>/dev/null | awk '/"quorvel": \("quorvel.exe"/ {print $1; exit}')"
    [ -n "$wid" ] && break
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.2
  done
  if [ -z "$wid" ]; then
    fail "$label" "no window \"quorvel\" appeared (see $png.log)"
  else
    sleep 1  # let it paint
    if import -window "$wid" "$png" 2>>"$png.log"; then
      note "$label" "OK  window $(xwininfo -id "$wid" | awk '/Width|Height/ {printf "%s ", $2}')px, $png"
    else
      fail "$label" "screenshot failed (see $png.log)"
    fi
  fi
  kill "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=""
  wineserver -w
}

tests_exe="$test_dir/tests/win32_tests.exe"
if { [ "$arch" = 64 ] && [ $built64 -ne 0 ]; } || { [ "$arch" = 32 ] && [ $built32 -ne 0 ]; }; then
  fail "$arch-bit tests under Wine" "not run, the build failed"
elif [ -z "$wine_cmd" ]; then
  fail "32-bit tests under Wine" "wine32 is not installed (dpkg --add-architecture i386; apt-get install wine32:i386)"
elif ! start_xvfb; then
  fail "Xvfb" "could not start a display"
elif ! setup_prefix; then
  fail "Wine prefix" "wineboot failed, see $test_dir/wineboot.log"
else
  echo "== Running the $arch-bit Windows tests under Wine on $DISPLAY"
  bmp="$test_dir/quorvel-dialog.bmp"
  png="$test_dir/quorvel-dialog.png"
  large_bmp="$test_dir/quorvel-large-font.bmp"
  large_png="$test_dir/quorvel-large-font.png"
  rm -f "$bmp" "$png" "$large_bmp" "$large_png"
  QUORVEL_SCREENSHOT="$($wine_cmd winepath -w "$bmp" 2>/dev/null)" QUORVEL_LINK_FIXTURE='C:\quorvel-links' \
  QUORVEL_SCREENSHOT_LARGE="$($wine_cmd winepath -w "$large_bmp" 2>/dev/null)" \
    timeout 900 $wine_cmd "$tests_exe" --gtest_output="xml:$($wine_cmd winepath -w "$test_dir/win32_tests.xml" 2>/dev/null)" \
    ${filter:+--gtest_filter="$filter"} 2>&1 | tee "$test_dir/win32_tests.log"
  status=${PIPESTATUS[0]}
  counts="$(sed -n -E 's/^\[  (PASSED|FAILED|SKIPPED) *\] ([0-9]+) tests?[.,].*/\2 \1/p' "$test_dir/win32_tests.log" |
            tr 'A-Z\n' 'a-z,' | sed 's/,$//; s/,/, /g')"
  if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \]' "$test_dir/win32_tests.log"; then
    note "$arch-bit tests under Wine" "OK  $counts"
  else
    fail "$arch-bit tests under Wine" "exit $status, $counts (see $test_dir/win32_tests.log)"
  fi
  wineserver -w
  if [ -f "$bmp" ] && convert "$bmp" "$png"; then
    note "dialog screenshot (after Fix files)" "$png"
  else
    fail "dialog screenshot (after Fix files)" "not written"
  fi
  if [ -f "$large_bmp" ] && convert "$large_bmp" "$large_png"; then
    note "dialog screenshot (12-point font)" "$large_png"
  else
    fail "dialog screenshot (12-point font)" "not written"
  fi

  start_app "$test_dir/app/quorvel.exe" "$test_dir/quorvel-start.png" "$arch-bit quorvel.exe starts" "$wine_cmd"

  # olvtool.exe as the zip delivers it: unpacked, a demo tree made and checked.
  zip64="$(ls "$root"/build-win64/quorvel-*-windows-x64.zip 2>/dev/null)"
  if [ "$arch" = 64 ] && [ $built64 -eq 0 ] && [ -n "$zip64" ]; then
    unpacked="$root/build-win64/unpacked"
    rm -rf "$unpacked" "$prefix/drive_c/quorvel-zip-demo"
    python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip64" "$unpacked"
    olvtool_exe="$(ls "$unpacked"/*/olvtool.exe)"
    if "$wine_cmd" "$olvtool_exe" demo 'C:\quorvel-zip-demo' >"$unpacked/olvtool.log" 2>&1 &&
       "$wine_cmd" "$olvtool_exe" verify 'C:\quorvel-zip-demo\v4.olv' >>"$unpacked/olvtool.log" 2>&1; then
      note "olvtool.exe from the zip" "OK  demo tree made and verified"
    else
      fail "olvtool.exe from the zip" "see $unpacked/olvtool.log"
    fi
    wineserver -w
  fi
fi

echo
echo "== Windows build and tests: summary ($((SECONDS - started)) s)"
printf '%s\n' "${summary[@]}"
if [ $failed -ne 0 ]; then
  echo "== FAILED"
  exit 1
fi
echo "== OK"
