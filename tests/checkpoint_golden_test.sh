#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A checkpoint is the same bytes on every architecture, and resumes on any to the same picture: one
# sequential frame's checkpoint, and the picture of one more frame resumed from it, against the
# sha256 sums in golden_checkpoint.sha256 (written on x86-64).
# Usage: checkpoint_golden_test.sh RENDER...  (RENDER after an emulator when cross-built)
set -eu
golden=$(cd "$(dirname "$0")" && pwd)/golden_checkpoint.sha256
source "$(dirname "$0")/script_support.sh"
render_command "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"${render[@]}" --sequential --frames 1 --quiet --checkpoint one.ckpt >/dev/null
"${render[@]}" --sequential --frames 1 --quiet --resume one.ckpt --output two.ppm >/dev/null
sha256sum one.ckpt two.ppm | diff "$golden" - && echo "the golden checkpoint and the picture resumed from it"
