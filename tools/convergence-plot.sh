#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Plots how the picture's noise falls with the number of frames: the RMSE of the displayed 8-bit
# values after N = 1, 2, 4 ... 1024 frames against a 4,096-frame sequential render, for
# sequential and two-worker frames, log-log, with a 1/sqrt(N) line for reference. Writes
# docs/images/convergence.png and prints the figures and the fitted slopes.
# Usage: tools/convergence-plot.sh PATHTRACER-RENDER   (about three minutes on two cores)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages gnuplot-nox python3
render=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "reference: 4096 sequential frames" >&2
"$render" --sequential --frames 4096 --output "$work/reference.ppm" >/dev/null

# rmse A B: root mean square difference of two P6 pictures' bytes.
rmse() {
    python3 - "$1" "$2" <<'PY'
import math, sys
def pixels(path):
    data = open(path, "rb").read()
    # header: P6, width, height, 255, each followed by one blank
    fields, at = [], 0
    while len(fields) < 4:
        end = data.index(b"\n", at) if data[at:at + 1] != b"#" else None
        parts = data[at:end].split()
        fields += parts
        at = end + 1
    return data[at:]
a, b = pixels(sys.argv[1]), pixels(sys.argv[2])
print(math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)))
PY
}

printf '# frames sequential two-workers\n' >"$work/rmse.dat"
for n in 1 2 4 8 16 32 64 128 256 512 1024; do
    echo "$n frames" >&2
    "$render" --sequential --frames "$n" --output "$work/seq.ppm" >/dev/null
    "$render" --frames "$n" --output "$work/two.ppm" >/dev/null
    printf '%d %s %s\n' "$n" "$(rmse "$work/seq.ppm" "$work/reference.ppm")" \
        "$(rmse "$work/two.ppm" "$work/reference.ppm")" >>"$work/rmse.dat"
done
cat "$work/rmse.dat"

# Least-squares slopes of log RMSE against log N, over all points and over N <= 256.
slopes() {
    awk -v max="$1" -v col="$2" '!/^#/ && $1 <= max {
        x = log($1); y = log($col); n++; sx += x; sy += y; sxx += x * x; sxy += x * y }
        END { printf "%.3f", (n * sxy - sx * sy) / (n * sxx - sx * sx) }' "$work/rmse.dat"
}
echo "slope, sequential: $(slopes 1024 2) (N <= 256: $(slopes 256 2))"
echo "slope, two workers: $(slopes 1024 3) (N <= 256: $(slopes 256 3))"

first=$(awk '!/^#/ { print $2; exit }' "$work/rmse.dat")
gnuplot <<GP
set terminal pngcairo size 720,480 font "DejaVu Sans,11"
set output "docs/images/convergence.png"
set logscale xy 2
set xrange [0.8:1300]
set xlabel "frames (samples per pixel)"
set ylabel "RMSE of the shown 8-bit values"
set title "Error against a 4,096-frame sequential render"
set grid
set key top right
plot "$work/rmse.dat" using 1:2 with linespoints lw 2 pt 7 title "sequential", \
     "$work/rmse.dat" using 1:3 with linespoints lw 2 pt 5 title "two workers", \
     $first / sqrt(x) with lines dt 2 lw 1.5 lc rgb "gray40" title "1/sqrt(N)"
GP
echo "wrote docs/images/convergence.png" >&2
