#!/usr/bin/env bash
# End-to-end checks of olvtool: exit codes and output of make, info, verify, resave and demo,
# results on stdout and errors on stderr; make never replaces a file without --force.
# Usage: olvtool_test.sh PATH_TO_OLVTOOL
set -u
tool=${1:?usage: olvtool_test.sh PATH_TO_OLVTOOL}
[[ $tool == /* ]] || tool=$PWD/$tool  # the checks below run in a scratch folder
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-test-XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
passed=0
failed=0

# expect CODE STREAM PATTERN COMMAND...: runs olvtool, checks its exit code and that STREAM
# (out or err) matches the extended regular expression PATTERN. Errors must go to stderr, and
# nothing of an error to stdout.
expect() {
    local code=$1 stream=$2 pattern=$3 rc
    shift 3
    "$tool" "$@" >"$work/.out" 2>"$work/.err"
    rc=$?
    if [[ $rc -eq $code ]] && grep -Eq -- "$pattern" "$work/.$stream" &&
       { [[ $stream == err ]] || ! grep -Eq -- "$pattern" "$work/.err"; } &&
       { [[ $stream == out ]] || ! grep -Eq -- "$pattern" "$work/.out"; }; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: olvtool %s\n  wanted exit %s and /%s/ on std%s, got exit %s:\n%s\n--- stderr:\n%s\n' \
            "$*" "$code" "$pattern" "$stream" "$rc" "$(cat "$work/.out")" "$(cat "$work/.err")"
    fi
}

cd "$work" || exit 1

# Bad arguments.
expect 2 err 'a COMMAND is needed'
expect 2 err 'unknown command' frobnicate
expect 2 err 'needs --version' make a.olv
expect 2 err '--version needs' make a.olv --version 0
expect 2 err '--version needs' make a.olv --version four
expect 2 err 'fault needs --version 4' make a.olv --version 5 --fault
expect 2 err 'unexpected argument' make a.olv b.olv --version 4
expect 2 err 'needs at least one FILE' info
expect 2 err 'needs at least one FILE' verify

# make, info and verify for every version.
for v in 1 2 3 4 5; do
    expect 0 out "wrote version $v, 3 records" make "v$v.olv" --version $v
    expect 0 out "probe version: $v" info "v$v.olv"
    expect 0 out "ok \\(version $v, 3 records\\)" verify "v$v.olv"
done
expect 0 out 'wrote version 9' make v9.olv --version 9
expect 0 out 'probe version: 2' info v1.olv v2.olv

# make never replaces an existing file unless --force says so.
cp v4.olv keep.olv
expect 1 err 'keep.olv: exists: not replaced' make keep.olv --version 2
cmp -s keep.olv v4.olv || { failed=$((failed + 1)); echo "FAIL: make without --force changed an existing file"; }
expect 0 out 'wrote version 2' make --force keep.olv --version 2
expect 0 out 'probe version: 2' info keep.olv
expect 1 out 'probe version: 9' info v9.olv
expect 1 err 'v9.olv: load: failed: ' info v9.olv
expect 1 err 'invalid: version 9 is not supported' verify v9.olv
expect 0 out 'wrote version 4, 7 records' make big.olv --version 4 --records 7 --bytes 100000
size=$(stat -c %s big.olv)
if (( size < 99000 || size > 100000 )); then
    failed=$((failed + 1)); echo "FAIL: --bytes 100000 made $size bytes"
fi

# The fault: strict verify rejects, info shows it tolerated, resave repairs it once.
expect 0 out 'with the recoverable fault' make fault.olv --version 4 --fault
expect 0 out 'recoverable fault: tolerated' info fault.olv
expect 1 err 'invalid: .*recoverable' verify fault.olv
expect 0 out 'saved as version 4, 3 records, recoverable fault repaired' resave fault.olv
expect 0 out 'ok \(version 4' verify fault.olv
expect 0 out 'recoverable fault: none' info fault.olv
cmp -s fault.olv v4.olv || { failed=$((failed + 1)); echo "FAIL: repaired file differs from a fresh one"; }

# Files that cannot be resaved, and the combined exit code of verify and resave (unreadable wins).
expect 1 err 'only version-4 files are resaved' resave v5.olv
cp fault.olv several.olv
expect 1 out 'several.olv: saved as version 4' resave several.olv v5.olv
chmod 0444 v4.olv
expect 1 err 'not saved: read-only' resave v4.olv
printf 'hello' >text.olv
expect 1 err 'not saved: not an .olv file any more' resave text.olv
expect 2 err 'load: failed: could not be opened' info missing.olv
expect 2 err 'missing.olv: not saved: could not be opened' resave missing.olv
expect 2 err 'missing.olv: not saved' resave missing.olv v5.olv
expect 1 err 'text.olv: invalid: ' verify v1.olv text.olv
expect 2 err 'missing.olv: unreadable' verify text.olv missing.olv v1.olv

# A file-size limit below the file's size: the save fails and says so, the file is unchanged and
# no temporary file is left (without ignoring SIGXFSZ the process would die mid-save). Both with
# the unnamed temporary file and as root, where the limit applies all the same.
expect 0 out 'wrote version 4, 4 records' make limit.olv --version 4 --fault --records 4 --bytes 400000
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
expect 0 out 'saved as version 4, 4 records, recoverable fault repaired' resave limit.olv

# The demo tree, and never into a folder that holds something.
expect 0 out 'demo tree in demo: 20 files' demo demo
for f in v1.olv v2.olv v3.olv v4.olv v5.olv v9-future.olv X.OLV y.Olv .olv a.olv.bak olv \
         folder.olv/plain corrupt-v4.olv not-olv.olv nested/one/two/three/DEEP.OLV; do
    [[ -f demo/$f ]] || { failed=$((failed + 1)); echo "FAIL: demo/$f missing"; }
done
# Windows and macOS ignore case: no two names of the tree may differ only in case there.
clashes=$(cd demo && find . | tr '[:upper:]' '[:lower:]' | sort | uniq -d)
[[ -z $clashes ]] || { failed=$((failed + 1)); echo "FAIL: names that differ only in case: $clashes"; }
expect 0 out 'probe version: 4' info demo/X.OLV
expect 1 out 'probe version: 4' info demo/corrupt-v4.olv
expect 1 out 'probe version: 0' info demo/not-olv.olv
expect 0 out 'recoverable fault: tolerated' info demo/nested/one/two/three/DEEP.OLV
expect 2 err 'not an empty folder' demo demo
expect 2 err 'not an empty folder' demo v1.olv

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
