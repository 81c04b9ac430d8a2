#!/usr/bin/env bash
# End-to-end checks of olvtool: exit codes and output of make, info, verify, resave and demo.
# Usage: olvtool_test.sh PATH_TO_OLVTOOL
set -u
tool=${1:?usage: olvtool_test.sh PATH_TO_OLVTOOL}
[[ $tool == /* ]] || tool=$PWD/$tool  # the checks below run in a scratch folder
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-test-XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
passed=0
failed=0

# expect CODE PATTERN COMMAND...: runs olvtool, checks its exit code and that its output
# (stdout and stderr) matches the extended regular expression PATTERN.
expect() {
    local code=$1 pattern=$2 out rc
    shift 2
    out=$("$tool" "$@" 2>&1)
    rc=$?
    if [[ $rc -eq $code ]] && grep -Eq -- "$pattern" <<<"$out"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: olvtool %s\n  wanted exit %s and /%s/, got exit %s:\n%s\n' "$*" "$code" "$pattern" "$rc" "$out"
    fi
}

cd "$work" || exit 1

# Bad arguments.
expect 2 'usage:'
expect 2 'unknown command' frobnicate
expect 2 'needs --version' make a.olv
expect 2 '--version needs' make a.olv --version 0
expect 2 '--version needs' make a.olv --version four
expect 2 'fault needs --version 4' make a.olv --version 5 --fault
expect 2 'unexpected argument' make a.olv b.olv --version 4
expect 2 'needs exactly one FILE' info
expect 2 'needs at least one FILE' verify

# make, info and verify for every version.
for v in 1 2 3 4 5; do
    expect 0 "wrote version $v, 3 records" make "v$v.olv" --version $v
    expect 0 "probe version: $v" info "v$v.olv"
    expect 0 "ok \\(version $v, 3 records\\)" verify "v$v.olv"
done
expect 0 'wrote version 9' make v9.olv --version 9
expect 1 'probe version: 9' info v9.olv
expect 1 'invalid: version 9 is not supported' verify v9.olv
expect 0 'wrote version 4, 7 records' make big.olv --version 4 --records 7 --bytes 100000
size=$(stat -c %s big.olv)
if (( size < 99000 || size > 100000 )); then
    failed=$((failed + 1)); echo "FAIL: --bytes 100000 made $size bytes"
fi

# The fault: strict verify rejects, info shows it tolerated, resave repairs it once.
expect 0 'with the recoverable fault' make fault.olv --version 4 --fault
expect 0 'recoverable fault: tolerated' info fault.olv
expect 1 'invalid: .*recoverable' verify fault.olv
expect 0 'saved as version 4, 3 records, recoverable fault repaired' resave fault.olv
expect 0 'ok \(version 4' verify fault.olv
expect 0 'recoverable fault: none' info fault.olv
cmp -s fault.olv v4.olv || { failed=$((failed + 1)); echo "FAIL: repaired file differs from a fresh one"; }

# Files that cannot be resaved, and verify's combined exit code (unreadable wins).
expect 1 'only version-4 files are resaved' resave v5.olv
chmod 0444 v4.olv
expect 1 'not saved: read-only' resave v4.olv
printf 'hello' >text.olv
expect 1 'not saved: not an .olv file any more' resave text.olv
expect 2 'load: failed: could not be opened' info missing.olv
expect 1 'text.olv: invalid: ' verify v1.olv text.olv
expect 2 'missing.olv: unreadable' verify text.olv missing.olv v1.olv

# A file-size limit below the file's size: the save fails and says so, the file is unchanged and
# no temporary file is left (without ignoring SIGXFSZ the process would die mid-save). Both with
# the unnamed temporary file and as root, where the limit applies all the same.
expect 0 'wrote version 4, 4 records' make limit.olv --version 4 --fault --records 4 --bytes 400000
cp limit.olv limit.before
out=$( (ulimit -f 100; "$tool" resave limit.olv) 2>&1 ); rc=$?
if [[ $rc -ne 1 ]] || ! grep -q 'not saved: could not be written' <<<"$out"; then
    failed=$((failed + 1)); printf 'FAIL: resave under ulimit -f 100 gave exit %s:\n%s\n' "$rc" "$out"
elif ! cmp -s limit.olv limit.before; then
    failed=$((failed + 1)); echo "FAIL: resave under ulimit -f changed the file"
elif ls -A | grep -q '^\.olvsave-'; then
    failed=$((failed + 1)); echo "FAIL: resave under ulimit -f left a temporary file: $(ls -A | grep olvsave)"
else
    passed=$((passed + 1))
fi
expect 0 'saved as version 4, 4 records, recoverable fault repaired' resave limit.olv

# The demo tree, and never into a folder that holds something.
expect 0 'demo tree in demo: 20 files' demo demo
for f in v1.olv v2.olv v3.olv v4.olv v5.olv v9-future.olv X.OLV y.Olv .olv a.olv.bak olv \
         folder.olv/plain corrupt-v4.olv not-olv.olv nested/one/two/three/DEEP.OLV; do
    [[ -f demo/$f ]] || { failed=$((failed + 1)); echo "FAIL: demo/$f missing"; }
done
# Windows and macOS ignore case: no two names of the tree may differ only in case there.
clashes=$(cd demo && find . | tr '[:upper:]' '[:lower:]' | sort | uniq -d)
[[ -z $clashes ]] || { failed=$((failed + 1)); echo "FAIL: names that differ only in case: $clashes"; }
expect 0 'probe version: 4' info demo/X.OLV
expect 1 'probe version: 4' info demo/corrupt-v4.olv
expect 1 'probe version: 0' info demo/not-olv.olv
expect 0 'recoverable fault: tolerated' info demo/nested/one/two/three/DEEP.OLV
expect 2 'not an empty folder' demo demo
expect 2 'not an empty folder' demo v1.olv

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
