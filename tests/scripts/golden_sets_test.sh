#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The picture of one sequential frame is the golden one on every instruction set this build and
# processor have: for builds the test command makes without their tests (the native and Clang
# builds of tools/test.sh), whose programs must still give the reference's pictures.
# Usage: golden_sets_test.sh RENDER...  (RENDER after an emulator when cross-built)
set -eu
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# The sets, as the refusal of a set it does not have lists them ("... have AVX3, AVX2 (see --help)").
sets=$("${render[@]}" --simd none --frames 1 2>&1 | sed -n 's/.* have \(.*\) (see --help)$/\1/p' | tr -d ',')
[ -n "$sets" ] || fail "no instruction set listed"
for set in $sets; do
    "${render[@]}" --sequential --frames 1 --quiet --simd "$set" --output one.ppm >/dev/null
    [ "$(sha256sum <one.ppm | cut -d' ' -f1)" = "$(golden picture_1_frame_sha256)" ] ||
        fail "the picture of one frame on $set differs from the golden one"
done
[ "$failures" -eq 0 ] && echo "the golden picture on $sets"
