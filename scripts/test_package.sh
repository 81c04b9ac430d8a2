#!/usr/bin/env bash
# Builds the Debian package of quorvel with CPack, checks it with lintian (no errors allowed)
# and checks what it holds (its dependencies, the desktop entry with desktop-file-validate, the
# AppStream metainfo with appstreamcli, the compressed man pages, the changelog and copyright
# file, the maintainer from the one build setting QUORVEL_MAINTAINER), installs it with
# dpkg -i, runs the installed olvtool and quorvel from /usr/bin on a demo tree (quorvel
# offscreen, driven end to end by tests/package/drive_quorvel.cpp: once through Browse and the
# picker, once started as the desktop entry starts it, on a folder), and removes the package.
#
# Usage: scripts/test_package.sh [BUILD_DIR]
#   BUILD_DIR  a native build of this tree (default: build, as scripts/test.sh makes it)
# Prints a summary; exits non-zero when a check fails.
set -uo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)" || exit 2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
work="$(mktemp -d)"
installed=0
failed=0
ok() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failed=1; }
maintainer_was=""
cleanup() {
  [ $installed -eq 1 ] && $SUDO dpkg -r quorvel >/dev/null 2>&1
  # The build's own maintainer setting back, if the check below changed it.
  [ -n "$maintainer_was" ] && cmake "-DQUORVEL_MAINTAINER=$maintainer_was" "$build" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg waits for no one: retry while another installation holds its lock.
dpkg_retry() {
  local i
  for i in $(seq 1 60); do
    $SUDO dpkg "$@" >"$work/dpkg.log" 2>&1 && return 0
    grep -q 'lock' "$work/dpkg.log" || break
    sleep 2
  done
  cat "$work/dpkg.log"
  return 1
}

echo "== Building the Debian package"
if ! cmake --build "$build" --target quorvel olvtool quorvel_drive quorvel_package_docs >"$work/build.log" 2>&1; then
  tail -30 "$work/build.log"
  echo "== FAILED: the build"
  exit 1
fi
rm -f "$build"/quorvel_*.deb
if ! (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
  tail -30 "$work/cpack.log"
  echo "== FAILED: cpack"
  exit 1
fi
deb="$(ls "$build"/quorvel_*.deb)"
echo "   $deb ($(stat -c %s "$deb") bytes)"

echo "== lintian"
# lintian exits with 1 when it finds errors, with more when it cannot check at all.
lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1
status=$?
sed -n '/^[EW]: /s/^/   /p' "$work/lintian.log"
case $status in
  0) ok "lintian: no errors" ;;
  1) fail "lintian reports errors" ;;
  *) cat "$work/lintian.log"; fail "lintian did not run (exit $status)" ;;
esac

echo "== What the package holds"
depends="$(dpkg-deb -f "$deb" Depends)"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
  if tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//' | grep -qxF "$lib"; then ok "depends on $lib"
  else fail "no dependency on $lib: $depends"; fi
done
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/quorvel usr/bin/olvtool usr/share/applications/org.quorvel.Quorvel.desktop \
         usr/share/metainfo/org.quorvel.Quorvel.metainfo.xml usr/share/man/man1/olvtool.1.gz \
         usr/share/man/man1/quorvel.1.gz usr/share/doc/quorvel/changelog.gz usr/share/doc/quorvel/copyright \
         usr/share/icons/hicolor/scalable/apps/org.quorvel.Quorvel.svg; do
  if [ -s "$work/root/$f" ]; then ok "/$f"; else fail "/$f is missing"; fi
done
for size in 16 22 24 32 48 64 128 256; do
  png="$work/root/usr/share/icons/hicolor/${size}x${size}/apps/org.quorvel.Quorvel.png"
  if [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ]; then ok "icon ${size}x${size}"
  else fail "icon ${size}x${size} is missing or of another size"; fi
done
if desktop-file-validate "$work/root/usr/share/applications/org.quorvel.Quorvel.desktop"; then ok "desktop-file-validate"
else fail "desktop-file-validate"; fi
if appstreamcli validate --no-net "$work/root/usr/share/metainfo/org.quorvel.Quorvel.metainfo.xml" >"$work/as.log" 2>&1
then ok "appstreamcli validate --no-net"; else cat "$work/as.log"; fail "appstreamcli validate"; fi
for page in quorvel olvtool; do
  gz="$work/root/usr/share/man/man1/$page.1.gz"
  if [ -z "$(zcat "$gz" | groff -man -ww -z 2>&1)" ]; then ok "$page(1) compressed, without warnings"
  else fail "groff warns about $page(1)"; fi
done
entry="$work/root/usr/share/applications/org.quorvel.Quorvel.desktop"
grep -qx 'Exec=quorvel %f' "$entry" && ok "the desktop entry passes a folder (%f)" || fail "Exec of the desktop entry: $(grep ^Exec= "$entry")"
grep -qx 'StartupWMClass=quorvel' "$entry" && ok "StartupWMClass=quorvel" || fail "no StartupWMClass=quorvel"
changelog_version="$(zcat "$work/root/usr/share/doc/quorvel/changelog.gz" | sed -n '1s/^quorvel (\([^)]*\)).*/\1/p')"
[ "$changelog_version" = "$(dpkg-deb -f "$deb" Version)" ] && ok "the changelog names the package's version" ||
  fail "the changelog names version $changelog_version, the package $(dpkg-deb -f "$deb" Version)"
if readelf -d "$work/root/usr/bin/quorvel" | grep -qiE 'rpath|runpath'; then fail "quorvel keeps a build RPATH"; else ok "no RPATH"; fi

# The maintainer and contact come from one setting: built with another, every place shows it.
maintainer_was="$(sed -n 's/^QUORVEL_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")"
other="Test Packager <packager@example.net>"
mkdir -p "$work/other"
if cmake "-DQUORVEL_MAINTAINER=$other" "$build" >"$work/other.log" 2>&1 &&
   cmake --build "$build" --target quorvel_package_docs >>"$work/other.log" 2>&1 &&
   (cd "$work/other" && cpack -G DEB --config "$build/CPackConfig.cmake") >>"$work/other.log" 2>&1; then
  odeb="$(ls "$work"/other/quorvel_*.deb)"
  dpkg-deb -x "$odeb" "$work/other/root"
  [ "$(dpkg-deb -f "$odeb" Maintainer)" = "$other" ] && ok "Maintainer from QUORVEL_MAINTAINER" ||
    fail "Maintainer: $(dpkg-deb -f "$odeb" Maintainer)"
  grep -qxF "Upstream-Contact: $other" "$work/other/root/usr/share/doc/quorvel/copyright" &&
    ok "copyright contact from QUORVEL_MAINTAINER" || fail "copyright contact"
  zcat "$work/other/root/usr/share/doc/quorvel/changelog.gz" | grep -qF " -- $other  " &&
    ok "changelog signed by QUORVEL_MAINTAINER" || fail "changelog signature"
else
  tail -20 "$work/other.log"
  fail "building with another QUORVEL_MAINTAINER"
fi
cmake "-DQUORVEL_MAINTAINER=$maintainer_was" "$build" >/dev/null 2>&1 && maintainer_was=""

echo "== Installing it"
if dpkg -s quorvel >/dev/null 2>&1; then
  echo "   an earlier quorvel package is installed; removing it first"
  dpkg_retry -r quorvel || fail "removing the earlier package"
fi
if dpkg_retry -i "$deb"; then
  installed=1
  ok "dpkg -i"
else
  fail "dpkg -i"
fi

if [ $installed -eq 1 ]; then
  echo "== Running the installed programs"
  [ "$(command -v quorvel)" = /usr/bin/quorvel ] && [ "$(command -v olvtool)" = /usr/bin/olvtool ] &&
    ok "quorvel and olvtool on the PATH in /usr/bin" || fail "quorvel or olvtool is not /usr/bin's"
  if ldd /usr/bin/quorvel | grep -q 'not found'; then fail "quorvel misses libraries"; else ok "quorvel finds its libraries"; fi
  tree="$work/tree"
  if /usr/bin/olvtool demo "$tree" >"$work/demo.log"; then ok "olvtool demo"; else fail "olvtool demo"; fi
  (cd "$tree" && find . -type f -exec sha256sum {} + | sort -k2) >"$work/before.sum"

  err="$(env -i PATH=/usr/bin:/bin HOME="$work" /usr/bin/quorvel 2>&1 >/dev/null)"
  [ $? -eq 1 ] && [ "$err" = "quorvel needs a desktop session (X11 or Wayland)" ] &&
    ok "quorvel without a desktop says so" || fail "quorvel without a desktop: $err"

  report="$work/report"
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" HOME="$work" \
    LD_PRELOAD="$build/tests/libquorvel_drive.so" QUORVEL_DRIVE_ROOT="$tree" QUORVEL_DRIVE_REPORT="$report" \
    timeout 300 /usr/bin/quorvel >"$work/quorvel.log" 2>&1
  status=$?
  if [ $status -eq 0 ] && grep -qx done "$report"; then ok "quorvel driven through Browse, Fix files and Close"
  else fail "quorvel exited with $status; report: $(cat "$report" 2>/dev/null)"; fi
  grep -q $'^box\tSearch complete.  [0-9]* version 4 .olv files were found.$' "$report" &&
    ok "the search's summary box" || fail "no summary box in the report"
  /usr/bin/quorvel --help | grep -q '^Usage: quorvel' && ok "quorvel --help" || fail "quorvel --help"
  resaved=0
  while IFS=$'\t' read -r kind path version; do
    [ "$kind" = row ] || continue
    case "$version" in
      "4 - resaved")
        if /usr/bin/olvtool verify "$path" >/dev/null; then resaved=$((resaved + 1)); else fail "$path reads resaved but does not verify"; fi ;;
      "4 - failed: "*) ;;
      4|"4 - working...") fail "$path was left at '$version'" ;;
      *)  # any other version: the file must be exactly as it was
        rel="./${path#"$tree"/}"
        grep -qF "  $rel" "$work/before.sum" &&
          [ "$(cd "$tree" && sha256sum "$rel")" = "$(grep -F "  $rel" "$work/before.sum" | head -1)" ] ||
          fail "$path (version $version) changed" ;;
    esac
  done <"$report"
  [ $resaved -gt 0 ] && ok "$resaved files resaved, each verified by olvtool" || fail "no file was resaved"

  # As the desktop starts it: the entry's Exec line with a folder for %f. The search starts at
  # once, without the picker; the tree's version-4 files are all resaved by now.
  exec_line="$(sed -n 's/^Exec=//p' /usr/share/applications/org.quorvel.Quorvel.desktop)"
  # shellcheck disable=SC2206  # the Exec line is split into words as the desktop splits it
  words=(${exec_line//%f/$tree})
  report2="$work/report2"
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" HOME="$work" \
    LD_PRELOAD="$build/tests/libquorvel_drive.so" QUORVEL_DRIVE_REPORT="$report2" \
    timeout 300 "${words[@]}" >"$work/quorvel2.log" 2>&1
  status=$?
  if [ $status -eq 0 ] && grep -qx done "$report2" && grep -q $'^row\t'"$tree/" "$report2"; then
    ok "started from the desktop entry on a folder, browsed without the picker"
  else
    fail "the desktop entry's start on a folder: exit $status; report: $(cat "$report2" 2>/dev/null)"
  fi

  echo "== Removing it"
  if dpkg_retry -r quorvel; then
    installed=0
    [ ! -e /usr/bin/quorvel ] && [ ! -e /usr/bin/olvtool ] && ok "dpkg -r leaves no program behind" ||
      fail "programs left after dpkg -r"
  else
    fail "dpkg -r"
  fi
fi

if [ $failed -ne 0 ]; then
  echo "== Package test FAILED"
  exit 1
fi
echo "== Package test OK"
