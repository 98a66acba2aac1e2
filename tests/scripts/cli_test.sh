#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The headless renderer as a user meets it: refusals, status codes, files left behind, output lines.
set -u
# The renderer's command: its path, after an emulator and its options when cross-built.
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT

# expect STATUS DESCRIPTION -- ARGS...: runs in $work, checks the status and a one-line message.
expect() {
    local want=$1 what=$2
    shift 3
    (cd "$work" && "${render[@]}" "$@" >"$work/.out" 2>"$work/.err")
    local got=$?
    [ "$got" -eq "$want" ] || fail "$what: status $got, expected $want"
    if [ "$want" -ne 0 ]; then
        [ "$(wc -l <"$work/.err")" -eq 1 ] || fail "$what: expected one line on stderr, got: $(cat "$work/.err")"
        grep -q '^pathtracer-render: ' "$work/.err" || fail "$what: message lacks the program name"
    fi
    rm -f "$work/.out" "$work/.err"
}

# What the options accept and refuse is RenderOptions.* (tests/unit/headless_test.cpp); here, that a
# refusal is status 2 with one line, and the instruction set, which only the CPU can judge.
expect 2 "unknown option" -- --bogus
expect 2 "unknown instruction set" -- --frames 1 --simd mmx
expect 1 "missing directory" -- --frames 1 --output no/such/dir/p.png
mkdir "$work/folder.png"
expect 1 "directory as the output" -- --frames 1 --output folder.png
rmdir "$work/folder.png"
# A read-only folder, as an ordinary user (root writes anywhere: run as nobody instead).
as_user=() render_user=("${render[@]}")
if [ "$(id -u)" -eq 0 ]; then
    anyone=$(mktemp -d)
    chmod 755 "$anyone"
    trap 'rm -rf "$work" "$anyone"' EXIT
    prepare_nobody "$anyone"
    as_user=("${as_nobody[@]}") render_user=("${render_anyone[@]}")
fi
chmod 555 "$work"
if "${as_user[@]}" "${render_user[@]}" --version >/dev/null 2>&1; then
    (cd "$work" && "${as_user[@]}" "${render_user[@]}" --frames 1 --output p.png >"$work/.out" 2>"$work/.err")
    status=$?
    [ "$status" -eq 1 ] || fail "read-only directory: status $status, expected 1"
    grep -q "^pathtracer-render: cannot write 'p.png': Permission denied$" "$work/.err" \
        || fail "read-only directory: $(cat "$work/.err")"
    grep -q '^Tracing time' "$work/.out" && fail "read-only directory: frames traced first"
else
    echo "note: the read-only folder is not checked: nobody cannot run the renderer"
fi
chmod 755 "$work"
rm -f "$work/.out" "$work/.err"
# A file-size limit is a write error like any other: the picture (900 KB) outgrows 100 KB.
(cd "$work" && ulimit -f 100 && "${render[@]}" --frames 1 --output big.ppm >/dev/null 2>"$work/.err")
status=$?
[ "$status" -eq 1 ] || fail "file-size limit: status $status, expected 1"
grep -q "^pathtracer-render: cannot write 'big.ppm': File too large$" "$work/.err" \
    || fail "file-size limit: $(cat "$work/.err")"
rm -f "$work/.err"
# Under a memory limit the renderer traces or says why it cannot, never ending by a signal or
# hanging. From the lowest limit it starts under to the first it traces under, the first frame's
# buffers or the workers' stacks do not fit (the second frame is the first that starts both
# workers). A build that does not start under any, sanitized or emulated, is not checked; under
# an emulator, which reserves the address space of the program it runs, a limit can hang it, so
# none is tried.
limits=
if [ "${#render[@]}" -eq 1 ] && { (ulimit -v 80000 && "${render[@]}" --version) >/dev/null 2>&1; } 2>/dev/null; then
    limits=$(seq 8000 200 80000)
fi
for kb in $limits; do
    { (ulimit -v "$kb" && "${render[@]}" --version) >/dev/null 2>&1; } 2>/dev/null || continue
    { (cd "$work" && ulimit -v "$kb" && timeout 60 "${render[@]}" --frames 2 --output p.png >/dev/null 2>"$work/.err"); } 2>/dev/null
    status=$?
    [ "$status" -eq 0 ] && break
    [ "$status" -eq 1 ] || fail "memory limit of $kb KB: status $status, expected 0 or 1"
    grep -q -x -E "pathtracer-render: (out of memory|cannot start a worker thread: .+|cannot write 'p.png': Cannot allocate memory)" "$work/.err" \
        || fail "memory limit of $kb KB: $(cat "$work/.err")"
done
# Just enough memory for the frames and the final saves: periodic checkpoints that run short
# fail like any other save, and the render goes on to save everything at the end.
if [ -n "$limits" ] && [ "$status" -eq 0 ]; then
    { (cd "$work" && ulimit -v "$kb" && timeout 60 "${render[@]}" --frames 4 --quiet --output p.png \
        --checkpoint c.ckpt --checkpoint-every 0.000001 >/dev/null 2>"$work/.err"); } 2>/dev/null
    status=$?
    [ "$status" -eq 0 ] && [ -s "$work/p.png" ] && [ -s "$work/c.ckpt" ] \
        || fail "periodic checkpoints short of memory: status $status: $(cat "$work/.err")"
    grep -q -x "pathtracer-render: cannot write 'c.ckpt': Cannot allocate memory" "$work/.err" \
        || fail "periodic checkpoints short of memory: $(cat "$work/.err")"
fi
rm -f "$work/.err" "$work/p.png" "$work/c.ckpt"
# Lines that cannot be written make the run fail, with the reason: --version's here, a render's
# in tests/scripts/files_test.sh.
(cd "$work" && "${render[@]}" --version >/dev/full 2>"$work/.err")
status=$?
[ "$status" -eq 1 ] || fail "--version to a full disk: status $status, expected 1"
grep -q -x 'pathtracer-render: cannot write to standard output: No space left on device' "$work/.err" \
    || fail "--version to a full disk: $(cat "$work/.err")"
rm -f "$work/.err"
[ -z "$(ls -A "$work")" ] || fail "refused runs left files behind: $(ls -A "$work")"

(cd "$work" && "${render[@]}" --help >"$work/help.txt") || fail "--help failed"
grep -q -- '--frames N' "$work/help.txt" || fail "--help does not describe --frames"
version=$("${render[@]}" --version) || fail "--version failed"
echo "$version" | grep -q -x -E 'pathtracer-render [0-9]+\.[0-9]+\.[0-9]+' || fail "--version: $version"

# A real run: one timing line per frame, then the summary, then the picture.
(cd "$work" && "${render[@]}" --frames 2 --output out.ppm >"$work/run.txt") || fail "a two-frame run failed"
[ "$(grep -c -E '^Tracing time: [0-9]+ ms\.$' "$work/run.txt")" -eq 2 ] || fail "expected two timing lines: $(cat "$work/run.txt")"
tail -n 1 "$work/run.txt" | grep -q -E '^Traced 2 frames \(two workers, [A-Z0-9_]+\): median [0-9.]+ ms, fastest [0-9.]+ ms, [0-9.]+ million path segments per second\.$' \
    || fail "summary line: $(tail -n 1 "$work/run.txt")"
[ "$(head -c 15 "$work/out.ppm")" = "$(printf 'P6\n640 480\n255\n')" ] || fail "ppm header"
[ "$(stat -c %s "$work/out.ppm")" -eq $((15 + 640 * 480 * 3)) ] || fail "ppm size"
[ "$(ls -A "$work" | grep -c "^\.pt-")" -eq 0 ] || fail "temporary file left behind"
(cd "$work" && "${render[@]}" --frames 2 --sequential --output out.png >"$work/seq.txt") || fail "a sequential run failed"
grep -q '(sequential, ' "$work/seq.txt" || fail "sequential summary: $(tail -n 1 "$work/seq.txt")"

# Ctrl-C or SIGTERM during a long render: the frame being traced is finished, the picture of the
# frames done so far is saved, the summary counts them, and the status is 128 + the signal.
wait_for_lines() { # FILE COUNT PID: up to 120 s for COUNT timing lines while PID runs
    wait_for 120 traced_or_gone "$@" && traced_at_least "$1" "$2"
}
for signal in INT TERM; do
    want=$((128 + $(kill -l "$signal")))
    rm -f "$work"/long.*
    set -m # the renderer gets default signal dispositions, as from a terminal
    (cd "$work" && exec "${render[@]}" --frames 1000000 --output long.png >"$work/long.out" 2>"$work/long.err") &
    pid=$!
    set +m
    wait_for_lines "$work/long.out" 2 "$pid" || fail "SIG$signal: no frames traced"
    kill -"$signal" "$pid"
    wait "$pid"
    got=$?
    [ "$got" -eq "$want" ] || fail "SIG$signal: status $got, expected $want: $(cat "$work/long.err")"
    frames=$(grep -c '^Tracing time: ' "$work/long.out")
    grep -q "^Traced $frames frames (" "$work/long.out" || fail "SIG$signal: the summary does not count the $frames frames: $(tail -n 1 "$work/long.out")"
    grep -q "^pathtracer-render: interrupted by SIG$signal after $frames of 1000000 frames; the picture saved holds those frames$" "$work/long.err" \
        || fail "SIG$signal: no line saying it was interrupted: $(cat "$work/long.err")"
    whole_png "$work/long.png" || fail "SIG$signal: no whole picture saved"
done
# A second Ctrl-C ends it at once, leaving no half-written file.
rm -f "$work"/long.*
set -m
(cd "$work" && exec "${render[@]}" --frames 1000000 --output long.png >"$work/long.out" 2>"$work/long.err") &
pid=$!
set +m
wait_for_lines "$work/long.out" 1 "$pid" || fail "no frames traced"
kill -INT "$pid"
# The second while the picture is being saved (it is saved after the summary line).
wait_for -s 0.001 12 summary_or_gone "$work/long.out" "$pid"
kill -INT "$pid"
wait_for 10 gone "$pid" || { kill -9 "$pid"; fail "still running 10 s after a second Ctrl-C"; }
wait "$pid"
got=$?
[ "$got" -eq 130 ] || fail "status $got after a second Ctrl-C, expected 130"
[ "$(ls -A "$work" | grep -c "^\.pt-")" -eq 0 ] || fail "a second Ctrl-C left a temporary file behind"
# Either the second came before the picture was begun (no picture), or while it was written,
# which it waited for: a whole picture, never part of one.
if [ -e "$work/long.png" ]; then
    whole_png "$work/long.png" || fail "a second Ctrl-C while saving left a half-written picture"
else
    grep -q "^Traced " "$work/long.out" || fail "a second Ctrl-C: no summary before it ended"
fi

# SIGHUP (a closed terminal) ends the render, but not halfway through the picture: sent as the
# picture is being saved, it takes effect once the picture is whole and in place.
rm -f "$work"/long.*
set -m
(cd "$work" && exec "${render[@]}" --frames 1 --output long.png >"$work/long.out" 2>"$work/long.err") &
pid=$!
set +m
wait_for -s 0.01 120 summary_or_gone "$work/long.out" "$pid"
# On a busy machine the render may have saved the picture and ended before the signal could be
# sent: then it ends as it would have.
expected=0
! kill -HUP "$pid" 2>/dev/null || expected=129
{ wait "$pid"; } 2>/dev/null # without the shell's "Hangup" notice
got=$?
[ "$got" -eq "$expected" ] || fail "status $got after SIGHUP while saving, expected $expected"
whole_png "$work/long.png" || fail "SIGHUP while saving left no whole picture"
[ "$(ls -A "$work" | grep -c "^\.pt-")" -eq 0 ] || fail "SIGHUP while saving left a temporary file behind"

# A signal ignored at start stays ignored after the other one asked the render to stop.
rm -f "$work"/long.*
set -m
(trap '' INT && cd "$work" && exec "${render[@]}" --frames 1000000 --output long.png >"$work/long.out" 2>"$work/long.err") &
pid=$!
set +m
wait_for_lines "$work/long.out" 1 "$pid" || fail "no frames traced with SIGINT ignored"
kill -TERM "$pid"
# Once SIGTERM has stopped the render (its summary is out), SIGINT is still ignored.
wait_for -s 0.001 120 summary_or_gone "$work/long.out" "$pid"
kill -INT "$pid" 2>/dev/null
wait "$pid"
got=$?
[ "$got" -eq 143 ] || fail "status $got after SIGTERM with SIGINT ignored, expected 143"
grep -q "^pathtracer-render: interrupted by SIGTERM" "$work/long.err" || fail "SIGTERM with SIGINT ignored: $(cat "$work/long.err")"

# Every instruction set the refusal names traces the very same picture.
sets=$("${render[@]}" --simd none 2>&1 | sed -n 's/.* have \(.*\) (see --help)$/\1/p' | tr -d ',')
[ -n "$sets" ] || fail "the refusal of an unknown instruction set names none"
for set in $sets; do
    (cd "$work" && "${render[@]}" --frames 1 --sequential --simd "$set" --output "set-$set.ppm" >"$work/set.txt") \
        || fail "a run with --simd $set failed"
    grep -q "(sequential, $set)" "$work/set.txt" || fail "--simd $set: $(tail -n 1 "$work/set.txt")"
    first=${first:-set-$set.ppm}
    cmp -s "$work/$first" "$work/set-$set.ppm" || fail "$set traces another picture than $first"
done

[ "$failures" -eq 0 ] && echo "command-line checks passed"
