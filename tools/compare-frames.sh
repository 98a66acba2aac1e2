#!/usr/bin/env bash
# Compares the two-worker frame times of two pathtracer-render binaries side by side: runs them
# alternately, ROUNDS times each with --frames FRAMES, and prints the median of every frame's
# "Tracing time" of each and their ratio.
# Usage: tools/compare-frames.sh OLD_BINARY NEW_BINARY [ROUNDS] [FRAMES] [extra options...]
set -euo pipefail
old=$1
new=$2
rounds=${3:-5}
frames=${4:-40}
shift $(($# < 4 ? $# : 4))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for round in $(seq "$rounds"); do
    "$old" --frames "$frames" "$@" | sed -n 's/^Tracing time: \([0-9]*\) ms\.$/\1/p' >>"$work/old"
    "$new" --frames "$frames" "$@" | sed -n 's/^Tracing time: \([0-9]*\) ms\.$/\1/p' >>"$work/new"
    echo "round $round of $rounds done" >&2
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
m_old=$(median "$work/old")
m_new=$(median "$work/new")
echo "old: median $m_old ms over $(wc -l <"$work/old") frames ($old)"
echo "new: median $m_new ms over $(wc -l <"$work/new") frames ($new)"
awk -v a="$m_old" -v b="$m_new" 'BEGIN { if (b > 0) printf "ratio: %.2f times faster\n", a / b; else print "ratio: new median is 0 ms" }'
