#!/usr/bin/env bash
# End-to-end checks of olvtool's tree commands: scan lists what the dialog lists, in the same
# order whatever the number of jobs; fix rewrites exactly the version-4 files with the dialog's
# outcomes; names keep their bytes (with -0 as they are); bad arguments and unreadable roots
# exit 2.
# Usage: olvtool_tree_test.sh PATH_TO_OLVTOOL
set -u
tool=${1:?usage: olvtool_tree_test.sh PATH_TO_OLVTOOL}
[[ $tool == /* ]] || tool=$PWD/$tool
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-tree-test-XXXXXX")
trap 'chmod -R u+rwx "$work"; rm -rf "$work"' EXIT
failed=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
    local what=$1
    shift
    if ! "$@"; then
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}

tree=$work/tree
"$tool" demo "$tree" >/dev/null || { echo "FAIL: demo"; exit 1; }
# Names of every kind: not UTF-8, a newline, a leading dash.
name_latin=$'caf\xe9.olv'
name_newline=$'two\nlines.olv'
"$tool" make "$tree/$name_latin" --version 4 --fault >/dev/null
"$tool" make "$tree/$name_newline" --version 3 >/dev/null
"$tool" make "$tree/-dash.olv" --version 4 >/dev/null
mkdir -p "$tree/loop" && ln -s .. "$tree/loop/up"
cp -a "$tree" "$work/before"

# The same lines in the same order with one job and with many.
"$tool" scan "$tree" --jobs 1 >"$work/scan1" 2>"$work/scan1.err"; rc1=$?
"$tool" scan "$tree" --jobs 16 >"$work/scan16" 2>/dev/null; rc16=$?
check "scan exits 0" test "$rc1$rc16" = 00
check "scan order does not depend on the jobs" cmp -s "$work/scan1" "$work/scan16"
check "scan counts on stderr" grep -aqx '20 .olv files, 10 of version 4' "$work/scan1.err"
check "scan version and tab" grep -aqx $'9\t'"$tree/v9-future.olv" "$work/scan1"
check "scan keeps a non-UTF-8 name's bytes" grep -aqxF $'4\t'"$tree/$name_latin" "$work/scan1"
"$tool" scan -0 "$tree" >"$work/scan0" 2>/dev/null
has_record() {  # has_record FILE RECORD: FILE holds RECORD as one NUL-terminated record
    local record
    while IFS= read -r -d '' record; do [ "$record" = "$2" ] && return 0; done <"$1"
    return 1
}
check "scan -0 keeps a name with a newline" has_record "$work/scan0" $'3\t'"$tree/$name_newline"
check "scan lists no similar names" bash -c "! grep -aEq 'olv\\.bak|/olv\$|x\\.olv/plain' '$work/scan1'"
check "a link loop is walked once" bash -c "! grep -aq '/loop/up/' '$work/scan1'"

# Fix: every version-4 file gets one outcome; the damaged one fails, so exit 1.
"$tool" fix "$tree" >"$work/fix" 2>"$work/fix.err"; rc=$?
check "fix exits 1 when a file failed" test "$rc" = 1
check "fix counts on stderr" grep -aqx '10 version 4 .olv files: 9 resaved, 1 failed' "$work/fix.err"
check "fix names the failure" grep -aqxF $'4 - failed: damaged beyond repair\t'"$tree/corrupt-v4.olv" "$work/fix"
check "fix resaves a non-UTF-8 name" grep -aqxF $'4 - resaved\t'"$tree/$name_latin" "$work/fix"
check "fix resaves a leading-dash name" grep -aqxF $'4 - resaved\t'"$tree/-dash.olv" "$work/fix"
for f in .olv X.OLV y.Olv v4.olv v4-fault.olv nested/one/v4-fault.olv nested/one/two/three/DEEP.OLV \
         "$name_latin" -- -dash.olv; do
    [ "$f" = -- ] && continue
    check "resaved file verifies: $f" "$tool" verify "$tree/$f" >/dev/null
done
for f in v1.olv v2.olv v3.olv v5.olv v9-future.olv not-olv.olv empty.olv corrupt-v4.olv a.olv.bak olv \
         "$name_newline" nested/one/two/v2.olv; do
    check "untouched: $f" cmp -s "$tree/$f" "$work/before/$f"
done
check "no temporary files left" bash -c "! find '$tree' -name '.olvsave-*' | grep -aq ."

# Bad arguments and unreadable roots.
for args in "scan" "fix" "scan a b" "scan $tree --jobs 0" "scan $tree --jobs x" "fix $tree --bogus"; do
    # shellcheck disable=SC2086
    "$tool" $args >/dev/null 2>"$work/err"; rc=$?
    check "exit 2 for: $args" test "$rc" = 2
    check "a message for: $args" grep -aq 'olvtool:' "$work/err"
done
"$tool" scan "$work/missing" >/dev/null 2>"$work/err"; rc=$?
check "missing root exits 2" test "$rc" = 2
check "missing root says so" grep -aq 'cannot read .*missing' "$work/err"
chmod 000 "$work/before/nested"
"$tool" scan "$work/before/nested" >/dev/null 2>"$work/err"; rc=$?
chmod 755 "$work/before/nested"
if [ "$(id -u)" -ne 0 ]; then
    check "unreadable root exits 2" test "$rc" = 2
    check "unreadable root says so" grep -aq 'cannot read the folder' "$work/err"
fi

if [ "$failed" -ne 0 ]; then
    echo "$failed checks failed"
    exit 1
fi
echo "all checks passed"
