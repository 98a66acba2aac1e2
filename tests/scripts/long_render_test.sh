#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Long renders that lose nothing: checkpoints and exact resume, OpenEXR pictures, the progress
# line, the JSON summary, a closed output, names up to the system's limit (how every file is
# written wherever a name leads: tests/scripts/files_test.sh).
# Usage: long_render_test.sh EXR_TO_PPM RENDER...  (RENDER after an emulator when cross-built;
# EXR_TO_PPM is "-" where the build has no OpenEXR support)
set -u
exr_to_ppm=$1
shift
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() { (cd "$work" && "${render[@]}" "$@"); }
same() { cmp -s "$work/$1" "$work/$2" || fail "$3: $1 and $2 differ"; }

# Exact resume: 10 sequential frames in one go, and 4 then 6 more from the checkpoint, give the
# same picture (every format) and the same checkpoint, byte for byte.
formats="ppm png"
[ "$exr_to_ppm" != - ] && formats="$formats exr"
for format in $formats; do
    run --sequential --frames 10 --quiet --output "whole.$format" --checkpoint whole.ckpt >/dev/null \
        || fail "a 10-frame render to .$format failed"
    run --sequential --frames 4 --quiet --checkpoint part.ckpt >/dev/null || fail "a 4-frame render failed"
    run --sequential --frames 6 --quiet --resume part.ckpt --checkpoint part.ckpt \
        --output "resumed.$format" >"$work/resumed.txt" || fail "resuming for 6 frames failed"
    grep -q '^Traced 6 frames (sequential' "$work/resumed.txt" || fail "resumed: $(cat "$work/resumed.txt")"
    same "whole.$format" "resumed.$format" "4 + 6 frames against 10 ($format)"
    same whole.ckpt part.ckpt "the checkpoint after 4 + 6 frames against after 10"
done

# Interrupted by SIGINT after some frames (of far more than it can trace first), then resumed for
# two more: the same picture and checkpoint as that many frames in one go.
rm -f "$work"/part.ckpt
set -m
(cd "$work" && exec "${render[@]}" --sequential --frames 1000000 --checkpoint part.ckpt >"$work/long.out" 2>"$work/long.err") &
pid=$!
set +m
wait_for -s 0.05 60 traced_or_gone "$work/long.out" 3 "$pid"
kill -INT "$pid" 2>/dev/null
wait "$pid"
status=$?
done_frames=$(grep -c '^Tracing time' "$work/long.out")
[ "$status" -eq 130 ] || fail "SIGINT during a render: status $status: $(cat "$work/long.err")"
grep -q "interrupted by SIGINT after $done_frames of 1000000 frames; the checkpoint saved holds those frames" \
    "$work/long.err" || fail "SIGINT: $(cat "$work/long.err")"
run --sequential --frames 2 --quiet --resume part.ckpt --checkpoint part.ckpt \
    --output after-sigint.ppm >/dev/null || fail "resuming after SIGINT failed"
run --sequential --frames $((done_frames + 2)) --quiet --checkpoint straight.ckpt \
    --output straight.ppm >/dev/null || fail "a render of $((done_frames + 2)) frames failed"
same straight.ppm after-sigint.ppm "$done_frames frames, SIGINT, and 2 more against all in one go"
same straight.ckpt part.ckpt "the checkpoint after an interrupted render resumed"

# Two workers: a resumed render carries on the same sums and frame count.
run --frames 3 --quiet --checkpoint two.ckpt >/dev/null || fail "a two-worker render failed"
run --frames 2 --quiet --resume two.ckpt --json two.json >/dev/null || fail "resuming two workers failed"
grep -q '"total_frames": 5,' "$work/two.json" || fail "two workers resumed: $(cat "$work/two.json")"

# Bad checkpoints are refused before any frame, naming the problem, with nothing overwritten.
refuse() {
    local what=$1 pattern=$2
    shift 2
    echo keep >"$work/kept.ppm"
    run --sequential --frames 1 --output kept.ppm "$@" >"$work/.out" 2>"$work/.err"
    local got=$?
    [ "$got" -eq 1 ] || fail "$what: status $got, expected 1"
    grep -q "^pathtracer-render: $pattern" "$work/.err" || fail "$what: $(cat "$work/.err")"
    grep -q '^Tracing time' "$work/.out" && fail "$what: frames were traced"
    [ "$(cat "$work/kept.ppm")" = keep ] || fail "$what: the picture was overwritten"
}
size=$(wc -c <"$work/whole.ckpt")
head -c $((size / 2)) "$work/whole.ckpt" >"$work/truncated.ckpt"
refuse "a truncated checkpoint" "checkpoint 'truncated.ckpt' is truncated" --resume truncated.ckpt
cp "$work/whole.ckpt" "$work/corrupt.ckpt"
printf '\377' | dd of="$work/corrupt.ckpt" bs=1 seek=$((size - 1000)) conv=notrunc 2>/dev/null
refuse "a corrupted checkpoint" "checkpoint 'corrupt.ckpt' is corrupted" --resume corrupt.ckpt
cp "$work/whole.ckpt" "$work/v9.ckpt"
printf '\011' | dd of="$work/v9.ckpt" bs=1 seek=8 conv=notrunc 2>/dev/null
refuse "another format version" "checkpoint 'v9.ckpt' is of format version 9; this program reads version 1" --resume v9.ckpt
printf 'P6\n1 1\n255\n...' >"$work/not.ckpt"
refuse "not a checkpoint" "'not.ckpt' is not a pathtracer checkpoint" --resume not.ckpt
refuse "a missing checkpoint" "cannot read checkpoint 'none.ckpt': No such file or directory" --resume none.ckpt
refuse "a two-worker checkpoint resumed sequentially" \
    "checkpoint 'two.ckpt' is of a two-worker render: resume it without --sequential" --resume two.ckpt
# Another size: the width rewritten, and the checksum with it.
if command -v python3 >/dev/null; then
    forge_checkpoint "$work/whole.ckpt" "$work/small.ckpt" width 320
    refuse "another picture size" "checkpoint 'small.ckpt' is of a 320x480 picture, not 640x480" --resume small.ckpt
fi

# OpenEXR: read by independent readers, and the display's conversion of its values gives the PPM.
if [ "$exr_to_ppm" != - ]; then
    "$exr_to_ppm" "$work/whole.exr" "$work/from-exr.ppm" || fail "OpenEXR's reader could not read the picture"
    same whole.ppm from-exr.ppm "the EXR's values converted as the display does, against the PPM"
    if command -v exrheader >/dev/null; then
        exrheader "$work/whole.exr" >"$work/header.txt" || fail "exrheader cannot read the picture"
        for line in 'compression (type compression): zip' 'frames (type int): 10' \
            'mode (type string): "sequential"' 'software (type string): "pathtracer-render ' \
            'R, 32-bit floating-point' 'instructionSet (type string): "'; do
            grep -qF "$line" "$work/header.txt" || fail "exrheader: no '$line': $(cat "$work/header.txt")"
        done
    fi
    if command -v convert >/dev/null; then
        # ImageMagick reads it as the same picture, to its own rounding (within one level).
        # (Its values are the picture's as shown: no conversion from linear light.)
        convert "$work/whole.exr" -set colorspace sRGB -depth 8 "$work/magick.ppm" 2>"$work/magick.err" \
            || fail "ImageMagick cannot read the picture: $(cat "$work/magick.err")"
        differing=$(compare -metric AE -fuzz 0.5% "$work/magick.ppm" "$work/whole.ppm" null: 2>&1)
        [ "${differing%% *}" = 0 ] || fail "ImageMagick reads another picture: $differing pixels differ"
    fi
fi

# The summary as JSON, parsed back.
run --sequential --frames 2 --quiet --json summary.json >"$work/quiet.txt" || fail "--json failed"
grep -q '^Tracing time' "$work/quiet.txt" && fail "--quiet printed per-frame lines"
grep -q '^Traced 2 frames' "$work/quiet.txt" || fail "--quiet dropped the summary"
if command -v python3 >/dev/null; then
    python3 - "$work/summary.json" <<'EOF' || fail "the JSON summary: $(cat "$work/summary.json")"
import json, sys
s = json.load(open(sys.argv[1]))
assert s["program"] == "pathtracer-render" and s["frames"] == 2 and s["mode"] == "sequential", s
assert 0 < s["fastest_ms"] <= s["median_ms"] <= s["slowest_ms"], s
assert s["fastest_ms"] <= s["mean_ms"] <= s["slowest_ms"], s
assert s["path_segments_per_second"] > 0 and s["instruction_set"], s
assert s["cpu_model"] is None or isinstance(s["cpu_model"], str), s
assert s["retraced_frames"] == 0, s  # a sequential frame is never traced again
EOF
    # Two-worker frames traced again are counted among the frames.
    run --frames 3 --quiet --json workers.json >/dev/null || fail "--json of two-worker frames failed"
    python3 - "$work/workers.json" <<'EOF' || fail "the two-worker JSON summary: $(cat "$work/workers.json")"
import json, sys
s = json.load(open(sys.argv[1]))
assert s["mode"] == "two workers" and s["frames"] == 3, s
assert isinstance(s["retraced_frames"], int) and 0 <= s["retraced_frames"] <= 3, s
EOF
fi

# The progress line: on a terminal only (script(1) gives the program one), never in a pipe.
run --sequential --frames 3 --quiet 2>"$work/progress.err" >/dev/null
[ -s "$work/progress.err" ] && fail "progress written where standard error is no terminal: $(cat "$work/progress.err")"
if command -v script >/dev/null && [ "${#render[@]}" -eq 1 ]; then
    (cd "$work" && script -qec "$(printf '%q ' "${render[@]}") --sequential --frames 3 --quiet" /dev/null \
        >"$work/terminal.txt" 2>&1) || fail "a render on a terminal failed"
    grep -q 'frame 3 of 3, [0-9:]* elapsed' "$work/terminal.txt" || fail "no progress line on a terminal: $(cat -v "$work/terminal.txt")"
fi

# A closed standard output ends the run as a stop signal does: status 1, the picture saved.
cd "$work" || exit 1
"${render[@]}" --sequential --frames 200 --output pipe.png 2>"$work/pipe.err" | head -n 1 >/dev/null
status=${PIPESTATUS[0]}
cd - >/dev/null || exit 1
[ "$status" -eq 1 ] || fail "a closed pipe: status $status, expected 1: $(cat "$work/pipe.err")"
grep -q "^pathtracer-render: cannot write to standard output: Broken pipe; stopped after [0-9]* of 200 frames; the picture saved holds those frames$" \
    "$work/pipe.err" || fail "a closed pipe: $(cat "$work/pipe.err")"
[ -s "$work/pipe.png" ] || fail "a closed pipe: no picture saved"

# Names up to the system's limit.
long=$(printf 'a%.0s' $(seq 251)).ppm
run --sequential --frames 1 --quiet --output "$long" >/dev/null 2>"$work/.err" || fail "a 255-character name: $(cat "$work/.err")"
[ -f "$work/$long" ] || fail "a 255-character name was not written"
[ "$(ls -A "$work" | grep -c '^\.pt-')" -eq 0 ] || fail "temporary files left behind"

[ "$failures" -eq 0 ] && echo "long-render checks passed"
[ "$failures" -eq 0 ]
