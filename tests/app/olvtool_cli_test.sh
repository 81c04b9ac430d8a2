#!/usr/bin/env bash
# End-to-end checks of olvtool's command line as scripts and pipelines use it: help and
# version, options anywhere, usage errors (an empty ROOT among them), data on stdout and
# messages on stderr, several roots and --from lists, NUL-separated records, quoting of odd
# names, JSON records, --dry-run, -q and -v, and a signal during fix.
# Usage: olvtool_cli_test.sh PATH_TO_OLVTOOL PATH_TO_GATE_LIBRARY
set -u
tool=${1:?usage: olvtool_cli_test.sh PATH_TO_OLVTOOL PATH_TO_GATE_LIBRARY}
gate=${2:?usage: olvtool_cli_test.sh PATH_TO_OLVTOOL PATH_TO_GATE_LIBRARY}
[[ $tool == /* ]] || tool=$PWD/$tool
[[ $gate == /* ]] || gate=$PWD/$gate
work=$(mktemp -d "${TMPDIR:-/tmp}/olvtool-cli-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0
fail() {
    echo "FAIL: $*"
    failed=$((failed + 1))
}
# run ARGS...: olvtool with stdout in out, stderr in err and the exit code in $rc.
run() {
    "$tool" "$@" >out 2>err
    rc=$?
}
# sums DIR: every file beneath DIR with its checksum, for "nothing changed" checks.
sums() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }

"$tool" demo a >/dev/null && "$tool" demo b >/dev/null || { echo "FAIL: demo"; exit 1; }
rm a/corrupt-v4.olv b/corrupt-v4.olv  # so that fix succeeds and exits 0
cp -a a a.orig

# --- Help and version: on stdout, exit 0, every command and option on a line of its own.
while IFS='|' read -r args pattern; do
    eval "set -- $args"
    run "$@"
    [ "$rc" = 0 ] && grep -Eq -- "$pattern" out && [ ! -s err ] || fail "olvtool $args: exit $rc, stdout /$pattern/"
done <<'EOF'
--help|^  scan ROOT\.\.\. +list
-h|^  fix ROOT\.\.\. +rewrite
help fix|^  -n, --dry-run
fix --help|^      --from FILE
scan -h|^  -0, --null
make --help|^  -f, --force
-V|^olvtool \(quorvel\) [0-9]+\.[0-9]+
--version|^olvtool \(quorvel\) [0-9]
EOF
"$tool" --help >help
for word in scan fix make info verify resave demo --help --version --from --null --json --jobs --quiet \
            --verbose --dry-run --fault --records --bytes --force; do
    grep -Eq -- "^ +(-[0-9a-zA-Z], )?$word( |$)" help || fail "--help has no line for $word"
done

# --- Bad command lines: exit 2, a message on stderr, nothing on stdout, nothing walked. (An
# empty ROOT once walked the whole machine: those rows use --dry-run and a time limit, so that
# a relapse cannot rewrite anything.)
while IFS='|' read -r args pattern; do
    eval "set -- $args"
    timeout 60 "$tool" "$@" >out 2>err
    rc=$?
    [ "$rc" = 2 ] && grep -Eq -- "^olvtool: .*$pattern" err && [ ! -s out ] ||
        fail "olvtool $args: exit $rc, stderr $(head -c 200 err)"
done <<'EOF'
|a COMMAND is needed
frobnicate a|unknown command: frobnicate
--bogus scan a|unknown option: --bogus
scan|needs a ROOT
fix --bogus a|fix: unknown option: --bogus
scan a -x|scan: unknown option: -x
scan --jobs 0 a|--jobs needs a number
scan --jobs=x a|--jobs needs a number
scan -j|-j needs a value
fix --json=yes a|--json takes no value
scan --from|--from needs a value
fix --dry-run ""|an empty ROOT is refused
scan a ""|an empty ROOT is refused
fix -n "" a|an empty ROOT is refused
make x.olv|make: needs --version N
EOF
cmp -s <(sums a) <(sums a.orig) || fail "a bad command line changed files"
# Records of a --from list that are no path are skipped with exit 2, and the records around
# them still taken; one longer than any path is never held whole.
long_record() { head -c $((16 * 1024 * 1024 + 1)) /dev/zero | tr '\0' x; }
while IFS='|' read -r args input message; do
    eval "$input" | timeout 60 "$tool" fix --dry-run $args --from - >out 2>err
    rc=$?
    [ "$rc" = 2 ] && grep -q "$message" err && [ "$(tr '\0' '\n' <out | cut -f2 | tr '\n' ' ')" = "a/v4.olv b/v4.olv " ] ||
        fail "--from $args with $input: exit $rc, $(head -c 300 err)"
done <<'EOF'
|printf 'a/v4.olv\n\nb/v4.olv\n'|record 2 is empty
|{ printf 'a/v4.olv\n'; long_record; printf '\nb/v4.olv\n'; }|record 2 is longer than 16 MiB
-0|{ printf 'a/v4.olv\0'; long_record; long_record; printf '\0b/v4.olv'; }|record 2 is longer than 16 MiB
|{ printf 'a/v4.olv\nb/v4.olv\n'; long_record; }|record 3 is longer than 16 MiB
EOF
rm -rf a && cp -a a.orig a

# --- Options anywhere, -- ends them; data on stdout, the counts on stderr.
run scan a
cp out scan.a
grep -qx '16 .olv files, 7 of version 4' err || fail "scan's counts are not on stderr: $(cat err)"
grep -Evq $'^-?[0-9]+\t' out && fail "scan's stdout holds more than records"
for args in "-q a" "a -q" "--quiet -- a" "-qj 2 a" "a --jobs=3 --quiet"; do
    eval "set -- $args"
    run scan "$@"
    [ "$rc" = 0 ] && cmp -s out scan.a && [ ! -s err ] || fail "scan $args: exit $rc, not the records of scan a"
done
cp a/v4.olv ./-dash.olv
run scan -- -dash.olv
[ "$(cat out)" = $'4\t-dash.olv' ] || fail "scan -- -dash.olv: $(cat out err)"

# --- Several roots and files, from the command line and from --from lists, in order.
{ "$tool" scan a; "$tool" scan b; "$tool" scan b/v4.olv; } 2>/dev/null >expected
printf 'a\nb\nb/v4.olv\n' >list
printf 'a\0b\0b/v4.olv\0' >list0
printf 'b\nb/v4.olv' >list.rest  # the last record needs no terminator
while IFS='|' read -r args input; do
    eval "set -- $args"
    "$tool" scan "$@" <"${input:-/dev/null}" 2>err | tr '\0' '\n' >out
    cmp -s out expected && [ "$(wc -l <err)" = 1 ] || fail "scan $args <${input:-/dev/null}: not the records of a, b and b/v4.olv"
done <<'EOF'
a b b/v4.olv|
--from list|
a --from -|list.rest
-0 --from list0|
--null --from -|list0
--from list0 -0 --jobs 1|
EOF
run scan a missing b
[ "$rc" = 2 ] && grep -q "cannot read missing" err && [ "$(wc -l <out)" = 32 ] ||
    fail "scan a missing b: exit $rc, $(wc -l <out) records, $(cat err)"

# --- One file under several names (a path given again, a hard link, a file link) is rewritten
# by one worker at a time, each time as usual: two at once took each other's work for a change.
mkdir same && "$tool" make same/f.olv --version 4 --fault >/dev/null && ln same/f.olv same/h.olv &&
    ln -s f.olv same/l.olv || fail "cannot make same/"
run fix same/f.olv same/f.olv same/f.olv same/h.olv same/l.olv
[ "$rc" = 0 ] && [ "$(grep -c $'^4 - resaved\tsame/' out)" = 5 ] && "$tool" verify same/f.olv >/dev/null ||
    fail "fix of one file under five names: exit $rc, $(cat out err)"

# --- Names in text output: any control character quoted as the shell reads it back, other
# names as they are; with -0 every name as it is.
mkdir q
quoted=($'new\nline.olv' $'tab\there.olv' $'esc\033[31m.olv' $'del\177.olv' $'caf\xe9\n.olv'
        $'c1\xc2\x9b.olv' $'\nfirst.olv')
plain=('sp ace.olv' $'caf\xe9.olv' 'ünï.olv' "'quote.olv" '$dollar.olv')
for name in "${quoted[@]}" "${plain[@]}"; do "$tool" make "q/$name" --version 2 >/dev/null; done
run scan q
[ "$(wc -l <out)" = $((${#quoted[@]} + ${#plain[@]})) ] || fail "scan q: a name broke a record over lines"
while IFS=$'\t' read -r version field; do
    if [[ $field == \'* ]]; then
        eval "path=$field"
    else
        path=$field
    fi
    found=0
    for name in "${quoted[@]}"; do [ "$path" = "q/$name" ] && [[ $field == \'* ]] && found=1; done
    for name in "${plain[@]}"; do [ "$path" = "q/$name" ] && [ "$field" = "q/$name" ] && found=1; done
    [ "$found" = 1 ] || fail "scan q printed $field, which reads back as no name of the tree"
done <out
# A path that begins with a quote is quoted too, so that no plain path looks like a quoted one.
(cd q && "$tool" scan "'quote.olv" 2>/dev/null) >out
[ "$(cat out)" = $'2\t'"''\\''quote.olv'" ] || fail "a path that begins with a quote: $(cat out)"
"$tool" scan -0 q 2>/dev/null >out0
records=()
while IFS= read -r -d '' record; do records+=("$record"); done <out0
[ "${#records[@]}" = $((${#quoted[@]} + ${#plain[@]})) ] || fail "scan -0: ${#records[@]} records"
for name in "${quoted[@]}" "${plain[@]}"; do
    found=0
    for record in "${records[@]}"; do [ "$record" = $'2\t'"q/$name" ] && found=1; done
    [ "$found" = 1 ] || fail "scan -0: q/$name is not there as it is"
done

# --- JSON: one object per line; the path (or for names that are not UTF-8, path_base64) gives
# back every name exactly; fix adds outcome and reason.
cp -a q qfix
for name in "${quoted[@]}" "${plain[@]}"; do "$tool" make --force "qfix/$name" --version 4 >/dev/null; done
"$tool" make qfix/broken.olv --version 4 >/dev/null && head -c 40 qfix/broken.olv >qfix/cut && mv qfix/cut qfix/broken.olv
while IFS='|' read -r args kind root; do
    eval "set -- $args"
    run "$@"
    python3 - out "$kind" "$root" <<'PY' || fail "olvtool $args: JSON records: $(head -c 300 out)"
import base64, json, os, sys
out, kind, root = sys.argv[1], sys.argv[2], os.fsencode(sys.argv[3])
data = open(out, 'rb').read()
records = [r for r in data.split(b'\0' if b'\0' in data else b'\n') if r]
seen = set()
for r in records:
    o = json.loads(r)
    path = base64.b64decode(o['path_base64']) if 'path_base64' in o else o['path'].encode()
    assert ('path_base64' in o) == (b'\xe9' in path), o
    seen.add(path)
    if kind == 'fix':
        assert o['version'] == 4 and o['outcome'] in ('resaved', 'failed'), o
        assert ('reason' in o) == (o['outcome'] == 'failed'), o
        assert (o['outcome'] == 'failed') == path.endswith(b'broken.olv'), o
    elif kind == 'dry-run':
        assert o['version'] == 4 and o['outcome'] == 'would be resaved' and 'reason' not in o, o
    else:
        assert o['version'] == 2 and 'outcome' not in o, o
names = {os.path.join(root, n) for n in os.listdir(root)}
assert seen == names, sorted(seen ^ names)
PY
done <<'EOF'
scan --json q|scan|q
scan --json -0 q|scan|q
fix -n --json qfix|dry-run|qfix
fix --json qfix|fix|qfix
EOF

# --- A file beneath a ROOT that cannot be read may be a version-4 file left as it was: fix
# names each such file on stderr and exits 2, never 0; scan lists it as -1 and ends well.
mkdir unread && "$tool" make unread/ok.olv --version 4 >/dev/null && mkfifo unread/fifo.olv &&
    ln -s nowhere unread/dangling.olv
while IFS='|' read -r args code named records; do
    eval "set -- $args"
    run "$@" unread
    [ "$rc" = "$code" ] && [ "$(grep -c '^olvtool: cannot read unread/.*: not rewritten' err)" = "$named" ] &&
        [ "$(wc -l <out)" = "$records" ] || fail "olvtool $args unread: exit $rc, $(cat out err)"
done <<'EOF'
fix|2|2|1
fix --dry-run|2|2|1
scan|0|0|3
EOF

# --- fix --dry-run lists what fix would rewrite and writes nothing (not even the clean-up of
# a leftover temporary file).
rm -rf a && cp -a a.orig a
: >a/.olvsave-4194305-1.tmp
sums a >before
run fix --dry-run a
grep -P '^4\t' scan.a | cmp -s - out && [ "$rc" = 0 ] || fail "fix --dry-run does not list the version-4 files"
grep -q 'would be resaved; nothing was written' err || fail "fix --dry-run: $(cat err)"
sums a | cmp -s - before || fail "fix --dry-run changed files"

# --- Output that cannot be written is a failure, never a success; fix then starts no further file.
for args in "scan a" "fix a" "info a/v4.olv"; do
    eval "set -- $args"
    "$tool" "$@" >/dev/full 2>err
    rc=$?
    [ "$rc" = 1 ] && grep -q 'output could not be written' err || fail "olvtool $args >/dev/full: exit $rc, $(cat err)"
done
rm -rf a && cp -a a.orig a

# --- -q: nothing on stderr; -v: the folders walked and the count of each version.
run fix -q a
[ "$rc" = 0 ] && [ ! -s err ] && [ "$(wc -l <out)" = 7 ] || fail "fix -q: exit $rc, $(cat err)"
run scan -v b
grep -q '^olvtool: walking b$' err && grep -q '^  version 4: 7$' err && grep -q '^  not an .olv file: 2$' err ||
    fail "scan -v: $(cat err)"

# --- The progress line shows on a terminal (run here under script(1)), but never while the
# records scroll by on that terminal: it would stand in front of a record there.
mkdir progress && "$tool" make progress/f0.olv --version 2 >/dev/null
for i in $(seq 1 299); do cp progress/f0.olv "progress/f$i.olv"; done
while IFS='|' read -r redirect progress records; do
    script -qec "'$tool' scan progress $redirect" /dev/null </dev/null >tty 2>&1
    shown=$(grep -c 'scanned 256 files' tty)
    whole=$(grep -Ec $'^2\tprogress/f[0-9]+\\.olv\r?$' tty)
    [ "$shown" = "$progress" ] && [ "$whole" = "$records" ] ||
        fail "scan on a terminal ${redirect:-to the terminal}: progress shown $shown, $whole whole records: $(head -c 300 tty | cat -A)"
done <<'EOF'
>/dev/null|1|0
|0|300
EOF

# --- A signal during fix: the saves under way finish and their lines come out whole, no
# further file starts, the counts follow on stderr, exit 128 + the signal. The gate holds the
# saves at their flush until the signal is sent.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
mkdir many
for i in $(seq 1 30); do "$tool" make "many/file-$i-$(printf 'x%.0s' {1..100}).olv" --version 4 --fault >/dev/null; done
cp -a many many.orig
for row in INT:130 TERM:143; do
    signal=${row%:*} code=${row#*:}
    rm -rf many gatedir && cp -a many.orig many && mkdir gatedir
    QUORVEL_GATE=$work/gatedir LD_PRELOAD=$gate "$tool" fix --jobs 2 many >out 2>err &
    pid=$!
    for _ in $(seq 600); do [ -e gatedir/entered ] && break; sleep 0.1; done
    kill -"$signal" "$pid"
    sleep 0.2
    touch gatedir/open
    wait "$pid"
    rc=$?
    lines=$(wc -l <out)
    [ "$rc" = "$code" ] || fail "SIG$signal during fix: exit $rc, wanted $code"
    [ "$lines" -ge 1 ] && [ "$lines" -le 2 ] || fail "SIG$signal during fix: $lines lines, wanted the 1 or 2 under way"
    grep -vq $'^4 - resaved\tmany/file-[0-9]*-x*\\.olv$' out && fail "SIG$signal during fix: a line is not whole: $(cat out)"
    grep -q "^$lines version 4 .olv files: $lines resaved, 0 failed$" err && grep -q 'interrupted' err ||
        fail "SIG$signal during fix: counts: $(cat err)"
    for f in many/*; do
        if grep -qF "$f" out; then
            "$tool" verify "$f" >/dev/null 2>&1 || fail "SIG$signal: $f is listed but not resaved"
        else
            cmp -s "$f" "many.orig/${f#many/}" || fail "SIG$signal: $f changed but is not listed"
        fi
    done
done
# Stopped while waiting for more paths on a pipe: ends at once with the same report.
rm -rf many && cp -a many.orig many && rm -f fifo && mkfifo fifo
(
    exec 3>fifo
    printf 'many/%s\n' "$(ls many | head -1)" >&3
    exec sleep 120
) &
writer=$!
: >out  # emptied before the wait below looks at it, not when the command starts at some point
timeout 60 "$tool" fix --from fifo >out 2>err &
pid=$!
for _ in $(seq 600); do [ -s out ] && break; sleep 0.1; done
kill -INT "$pid"
wait "$pid"
rc=$?
kill "$writer" 2>/dev/null
[ "$rc" = 130 ] && [ "$(wc -l <out)" = 1 ] && grep -q '^1 version 4 .olv files: 1 resaved' err ||
    fail "Ctrl+C while waiting for paths: exit $rc, $(cat out err)"

if [ "$failed" -ne 0 ]; then
    echo "$failed checks failed"
    exit 1
fi
echo "all checks passed"
