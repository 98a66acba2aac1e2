#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A checkpoint is the same bytes on every architecture, and resumes on any to the same picture: one
# sequential frame's checkpoint, and the picture of one more frame resumed from it, against the
# golden values (tests/golden.txt).
# Usage: checkpoint_golden_test.sh RENDER...  (RENDER after an emulator when cross-built)
set -eu
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"${render[@]}" --sequential --frames 1 --quiet --checkpoint one.ckpt >/dev/null
"${render[@]}" --sequential --frames 1 --quiet --resume one.ckpt --output two.ppm >/dev/null
[ "$(sha256sum <one.ckpt | cut -d' ' -f1)" = "$(golden checkpoint_1_frame_sha256)" ] ||
    fail "the checkpoint of one frame differs from the golden one"
[ "$(sha256sum <two.ppm | cut -d' ' -f1)" = "$(golden resumed_1_more_frame_sha256)" ] ||
    fail "the picture resumed from it differs from the golden one"
[ "$failures" -eq 0 ] && echo "the golden checkpoint and the picture resumed from it"
