#!/usr/bin/env bash
# olvtool's walk under limits and in a tree another user can write: few descriptors (the whole
# tree is still found, however deep), few threads (the work runs on fewer), folders it cannot read or must not
# enter (named on stderr, exit 1), a user's link to root's folder (not followed by root).
# Usage: olvtool_walk_test.sh PATH_TO_OLVTOOL
set -u
tool=${1:?usage: olvtool_walk_test.sh PATH_TO_OLVTOOL}
[[ $tool == /* ]] || tool=$PWD/$tool
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-walk-test-XXXXXX")
chmod 755 "$work"
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

# A chain of 100 folders with a version-4 file on each level, under 64 descriptors.
chain=$work/chain
dir=$chain
for i in $(seq 100); do
    dir=$dir/d
    mkdir -p "$dir"
    "$tool" make "$dir/x.olv" --version 4 >/dev/null
done
out=$(ulimit -n 64; "$tool" fix "$chain" 2>"$work/chain.err"); rc=$?
check "fix under 64 descriptors exits 0 (rc $rc: $(head -3 "$work/chain.err"))" test "$rc" = 0
check "fix under 64 descriptors finds the whole chain" grep -qx '100 version 4 .olv files: 100 resaved, 0 failed' "$work/chain.err"
check "fix under 64 descriptors prints a record per file" test "$(grep -c $'^4 - resaved\t' <<<"$out")" = 100

# 1,500 levels with a version-4 file at the bottom and a link out of it, under 20 descriptors:
# the rewrites still under way when the search ends reopen the root.
deep=$work/deep
bottom=$deep/$(printf 'd/%.0s' $(seq 1500))
mkdir -p "$bottom" "$work/out"
"$tool" make "$bottom/z.olv" --version 4 >/dev/null
"$tool" make "$work/out/y.olv" --version 4 >/dev/null
ln -s "$work/out" "$bottom/link"
(ulimit -n 20; "$tool" fix "$deep" >/dev/null 2>"$work/deep.err"); rc=$?
check "fix of 1,500 levels under 20 descriptors exits 0 (rc $rc)" test "$rc" = 0
check "fix of 1,500 levels under 20 descriptors rewrites both files" \
    grep -qx '2 version 4 .olv files: 2 resaved, 0 failed' "$work/deep.err"

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the rest needs root (another user, links of another user)"
    exit "$((failed > 0))"
fi
# A user with no other process, so that a process limit counts only olvtool's threads.
user=$((47000 + $$ % 1000))
tree=$work/tree
mkdir -p "$tree/open" "$tree/locked" "$work/secret"
"$tool" make "$tree/open/a.olv" --version 4 >/dev/null
"$tool" make "$tree/locked/b.olv" --version 4 >/dev/null
"$tool" make "$work/secret/s.olv" --version 4 --fault >/dev/null
chown -R "$user:$user" "$tree"
chmod 700 "$work/secret"
chmod 000 "$tree/locked"

as_user() { setpriv --reuid="$user" --regid="$user" --clear-groups "$@"; }

# Six processes at most for the user: olvtool gets five threads besides its own; one: none.
for procs in 6 1; do
    # (A sanitizer's leak check needs a thread of its own at exit.)
    out=$(ASAN_OPTIONS=${ASAN_OPTIONS:-}:detect_leaks=0 as_user bash -c 'ulimit -u "$2"; exec "$0" scan "$1"' \
          "$tool" "$tree" "$procs" 2>"$work/user.err"); rc=$?
    check "scan as a user with $procs processes exits 1 for the locked folder (rc $rc)" test "$rc" = 1
    check "scan as a user with $procs processes lists the rest" grep -qxF $'4\t'"$tree/open/a.olv" <<<"$out"
    check "scan as a user with $procs processes names the folder it could not read" \
        grep -qxF "olvtool: not searched: $tree/locked: permission denied" "$work/user.err"
done

# Root, in the user's tree: the user's link to root's folder is not followed, and is named.
chmod 755 "$tree/locked"
ln -s ../secret "$tree/theirs" && chown -h "$user:$user" "$tree/theirs"
cp "$work/secret/s.olv" "$work/s.before"
"$tool" fix "$tree" >"$work/fix.out" 2>"$work/fix.err"; rc=$?
check "root's fix exits 1 for the link it did not follow (rc $rc)" test "$rc" = 1
check "root's fix names the link" \
    grep -qxF "olvtool: not searched: $tree/theirs: a link owned by another user, not followed" "$work/fix.err"
check "root's fix rewrites the user's files" grep -qxF $'4 - resaved\t'"$tree/locked/b.olv" "$work/fix.out"
check "root's file behind the link is untouched" cmp -s "$work/secret/s.olv" "$work/s.before"

[ "$failed" = 0 ] && echo "olvtool walk: all checks passed"
exit "$((failed > 0))"
