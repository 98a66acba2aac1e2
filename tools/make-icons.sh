#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the program's icons from its own converged picture: a sequential render of 1,024 frames
# (the same on every machine), cropped to the square in its middle, at 256x256 and 48x48.
# Usage: tools/make-icons.sh PATHTRACER-RENDER
set -euo pipefail
cd "$(dirname "$0")/.."
render=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$render" --sequential --frames 1024 --output "$work/converged.png" | tail -n 1
for size in 256 48; do
    mkdir -p "desktop/icons/${size}x${size}"
    convert "$work/converged.png" -gravity center -crop 480x480+0+0 +repage -filter Lanczos \
        -resize "${size}x${size}" -strip "desktop/icons/${size}x${size}/pathtracer.png"
done
