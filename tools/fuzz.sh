#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a fuzzer for longer than the test suite does: the differential search fuzzer, or the
# checkpoint reader's with FUZZER=checkpoint_fuzzer.
# Usage: [FUZZER=search_fuzzer|checkpoint_fuzzer] tools/fuzz.sh DURATION [JOBS]
#   DURATION  seconds, or a number with m or h (90m, 2h)
#   JOBS      fuzzing processes side by side (default: the number of processors)
# Builds the `fuzz` preset, fuzzes from the seed corpus (tests/fuzz/corpus, or
# tests/fuzz/checkpoint/corpus) and keeps what it finds in build/fuzz/FUZZER-corpus; an input that
# finds a fault is written to build/fuzz/ as crash-*, to be added to the regressions folder beside
# the corpus once mended. `tools/fuzz.sh merge` folds what was found into the seed corpus, keeping
# only inputs that add coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages clang libclang-rt-14-dev cmake ninja-build pkg-config libpng-dev libhwy-dev \
    libopenexr-dev nlohmann-json3-dev

usage() { echo "usage: tools/fuzz.sh DURATION [JOBS] | tools/fuzz.sh merge" >&2; exit 2; }
[ $# -ge 1 ] || usage
cmake --preset fuzz >/dev/null
name=${FUZZER:-search_fuzzer}
limits=()
case $name in
search_fuzzer) seeds=tests/fuzz/corpus ;;
checkpoint_fuzzer)
    seeds=tests/fuzz/checkpoint/corpus
    limits=(-malloc_limit_mb=64)
    ;;
*) usage ;;
esac
cmake --build --preset fuzz -j "$(nproc)" --target "$name"
fuzzer=build/fuzz/tests/fuzz/$name
found=build/fuzz/$name-corpus
mkdir -p "$found"

if [ "$1" = merge ]; then
    merged=$(mktemp -d)
    trap 'rm -rf "$merged"' EXIT
    "$fuzzer" -merge=1 "$merged" "$seeds" "$found"
    rm -f "$seeds"/*
    cp "$merged"/* "$seeds"/
    echo "$seeds now holds $(ls "$seeds" | wc -l) inputs"
    exit 0
fi

case $1 in
*h) seconds=$((${1%h} * 3600)) ;;
*m) seconds=$((${1%m} * 60)) ;;
*) seconds=$1 ;;
esac
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || usage
jobs=${2:-$(nproc)}
"$fuzzer" -max_total_time="$seconds" -fork="$jobs" -timeout=20 -print_final_stats=1 "${limits[@]}" \
    -artifact_prefix=build/fuzz/ "$found" "$seeds"
