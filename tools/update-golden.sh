#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes tests/golden.txt again from what the renderer makes now, and shows what changed. Only for
# a change meant to alter the pictures or the checkpoint's bytes: every other change must leave
# them as they are (the tests compare against this file).
# Usage: tools/update-golden.sh [RENDER]   (default: build/release/pathtracer-render)
set -euo pipefail
cd "$(dirname "$0")/.."
render=$(realpath "${1:-build/release/pathtracer-render}")
[ -x "$render" ] || { echo "tools/update-golden.sh: no renderer at $render (cmake --build --preset release)" >&2; exit 1; }
golden=$PWD/tests/golden.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# 64-bit FNV-1a of a PPM picture's pixel bytes (after its three header lines), as the tests'
# pictureHash takes it over the mean pixels.
fnv1a() {
    python3 -c '
import sys
data = open(sys.argv[1], "rb").read().split(b"\n", 3)[3]
h = 14695981039346656037
for byte in data:
    h = ((h ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
print("0x%016x" % h)' "$1"
}
sha() {
    sha256sum <"$1" | cut -d' ' -f1
}

echo "Rendering with $render"
"$render" --sequential --frames 1 --quiet --output one.ppm --checkpoint one.ckpt >/dev/null
"$render" --sequential --frames 3 --quiet --output three.ppm >/dev/null
"$render" --sequential --frames 1 --quiet --resume one.ckpt --output resumed.ppm >/dev/null
declare -A value=(
    [picture_1_frame_sha256]=$(sha one.ppm)
    [picture_1_frame_fnv1a]=$(fnv1a one.ppm)
    [picture_3_frames_fnv1a]=$(fnv1a three.ppm)
    [checkpoint_1_frame_sha256]=$(sha one.ckpt)
    [resumed_1_more_frame_sha256]=$(sha resumed.ppm)
)

# The same lines, comments and order, with each value replaced.
while IFS= read -r line; do
    read -r name _ <<<"$line"
    if [[ $line != \#* && -n ${value[$name]:-} ]]; then
        printf '%-32s %s\n' "$name" "${value[$name]}"
        unset "value[$name]"
    else
        printf '%s\n' "$line"
    fi
done <"$golden" >golden.txt
[ "${#value[@]}" -eq 0 ] || { echo "tools/update-golden.sh: not in $golden: ${!value[*]}" >&2; exit 1; }
if diff -u "$golden" golden.txt; then
    echo "The golden values are unchanged."
else
    cat golden.txt >"$golden"
    echo "tests/golden.txt written again: rebuild the tests (the GoldenPicture values are compiled in)."
fi
