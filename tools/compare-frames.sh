#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compares the frame times of pathtracer-render commands side by side: runs them in turn, ROUNDS
# times each with --frames FRAMES, and prints for each the median of every frame's "Tracing time"
# (whole milliseconds), the median of the runs' own medians (to 0.01 ms), and each one's ratio to
# the first. The machine's speed drifts from second to second, so each command's run is also set
# against the first's and the one before's of the same round, and the median of those per-round
# ratios printed: the steadier figure on a busy machine.
# Usage: tools/compare-frames.sh OLD NEW [ROUNDS] [FRAMES] [extra options...]
#   OLD and NEW are binaries, or quoted commands with options ("build/x/pathtracer-render --simd
#   sse4"); more than two commands can be given with COMMANDS="cmd1;cmd2;..." in place of both.
set -euo pipefail
if [ -n "${COMMANDS:-}" ]; then
    IFS=';' read -r -a commands <<<"$COMMANDS"
else
    commands=("$1" "$2")
    shift 2
fi
rounds=${1:-5}
frames=${2:-40}
shift $(($# < 2 ? $# : 2))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for round in $(seq "$rounds"); do
    for i in "${!commands[@]}"; do
        # shellcheck disable=SC2086 # a command is its words
        ${commands[$i]} --frames "$frames" "$@" >"$work/run"
        sed -n 's/^Tracing time: \([0-9]*\) ms\.$/\1/p' "$work/run" >>"$work/frames.$i"
        sed -n 's/^Traced .*: median \([0-9.]*\) ms,.*/\1/p' "$work/run" >>"$work/medians.$i"
    done
    echo "round $round of $rounds done" >&2
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of one command's per-round ratios to another's run medians.
paired() {
    paste "$1" "$2" | awk '{ print $2 / $1 }' >"$work/ratios"
    median "$work/ratios" | awk '{ printf "%.3f", $1 }'
}
first=
for i in "${!commands[@]}"; do
    m=$(median "$work/medians.$i")
    first=${first:-$m}
    printf '%s: median %s ms over %d frames, median of run medians %s ms, %s times the first' \
        "${commands[$i]}" "$(median "$work/frames.$i")" "$(wc -l <"$work/frames.$i")" "$m" \
        "$(awk -v a="$first" -v b="$m" 'BEGIN { printf "%.3f", b / a }')"
    if [ "$i" -gt 0 ]; then
        printf '; per round, %s times the first, %s times the one before' \
            "$(paired "$work/medians.0" "$work/medians.$i")" \
            "$(paired "$work/medians.$((i - 1))" "$work/medians.$i")"
    fi
    printf '\n'
done
if [ "${#commands[@]}" -eq 2 ]; then
    awk -v a="$first" -v b="$m" 'BEGIN { if (b > 0) printf "ratio: %.2f times faster\n", a / b; else print "ratio: new median is 0 ms" }'
fi
