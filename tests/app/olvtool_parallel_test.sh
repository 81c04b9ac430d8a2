#!/usr/bin/env bash
# A fix split over several workers with GNU parallel, as the README shows for a very large share
# (the workers run here, on this machine): handing the paths of one scan out in batches, and
# splitting the walk itself by top-level folder. Each way must give exactly what one
# `olvtool fix` gives: the same records in the same order and the same files afterwards.
# Usage: olvtool_parallel_test.sh PATH_TO_OLVTOOL
set -u
tool=${1:?usage: olvtool_parallel_test.sh PATH_TO_OLVTOOL}
[[ $tool == /* ]] || tool=$PWD/$tool
command -v parallel >/dev/null || { echo "FAIL: GNU parallel is not installed (scripts/setup.sh installs it)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-parallel-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }

# The share: the demo tree (every kind of file, one damaged) and several top-level folders with
# version-4 files among others, names with a newline and with bytes that are not UTF-8 too.
"$tool" demo share >/dev/null || { echo "FAIL: demo"; exit 1; }
for top in $(seq 1 5); do
    for n in $(seq 1 8); do
        mkdir -p "share/top$top/sub$((n % 3))"
        version=$((n % 3 + 3)) fault=
        [ "$version" = 4 ] && fault=--fault
        "$tool" make "share/top$top/sub$((n % 3))/f$n.olv" --version "$version" $fault >/dev/null
    done
done
"$tool" make "share/top1/"$'two\nlines.olv' --version 4 --fault >/dev/null
"$tool" make "share/top2/"$'caf\xe9.olv' --version 4 --fault >/dev/null
cp -a share share.orig

# One fix over everything: the result every split must match.
"$tool" fix -0 share >one.out 2>/dev/null
sums share >one.sums
[ "$(tr -cd '\0' <one.out | wc -c)" -gt 20 ] || fail "one fix wrote too few records"

# check NAME OUT ERR: the split run left what one fix left, with more than one worker.
check() {
    cmp -s "$2" one.out || fail "$1: the records differ from one fix's"
    sums share | cmp -s - one.sums || fail "$1: the files differ from one fix's"
    [ "$(grep -c 'version 4 .olv files:' "$3")" -gt 1 ] || fail "$1: the work was not split over several workers"
    rm -rf share && cp -a share.orig share
}
rm -rf share && cp -a share.orig share

# Batches: one scan lists the paths, workers fix a batch each (4 paths here, thousands on a
# share), -k keeps their records in the list's order.
"$tool" scan -0 share 2>/dev/null | cut -z -f2- |
    parallel --will-cite --pipe --recend '\0' -N 4 -j 3 -k "$tool" fix --from - -0 >batches.out 2>batches.err
check "batches of paths" batches.out batches.err

# The walk split too: one worker per top-level folder (and per .olv file at the top).
find share -mindepth 1 -maxdepth 1 \( -xtype d -o -iname '*.olv' \) -print0 |
    parallel --will-cite -0 -k -j 3 "$tool" fix -0 -- {} >walk.out 2>walk.err
check "walk split by top-level folder" walk.out walk.err

if [ "$failed" -ne 0 ]; then
    echo "$failed checks failed"
    exit 1
fi
echo "all checks passed"
