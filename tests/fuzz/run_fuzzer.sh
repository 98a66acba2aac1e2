#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a fuzzer for the test suite: `run_fuzzer.sh FUZZER regressions SOURCE_DIR` runs each input
# in SOURCE_DIR/regressions once; `run_fuzzer.sh FUZZER SECONDS SOURCE_DIR` fuzzes for that long
# from the seed corpus in SOURCE_DIR/corpus, keeping what it finds in ./FUZZER-corpus. Either
# fails on the first mismatch. Further arguments go to libFuzzer.
set -euo pipefail
fuzzer=$1
what=$2
source_dir=$3
shift 3

if [ "$what" = regressions ]; then
    inputs=("$source_dir"/regressions/*)
    [ -e "${inputs[0]}" ] || { echo "no regression inputs in $source_dir/regressions"; exit 1; }
    exec "$fuzzer" "$@" "${inputs[@]}"
fi

scratch="$PWD/$(basename "$fuzzer")-corpus"
mkdir -p "$scratch"
exec "$fuzzer" -max_total_time="$what" -timeout=20 -print_final_stats=1 "$@" \
    -artifact_prefix="$PWD/" "$scratch" "$source_dir/corpus"
