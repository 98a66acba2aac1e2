#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the differential search fuzzer for longer than the test suite does.
# Usage: tools/fuzz.sh DURATION [JOBS]
#   DURATION  seconds, or a number with m or h (90m, 2h)
#   JOBS      fuzzing processes side by side (default: the number of processors)
# Builds the `fuzz` preset, fuzzes from the seed corpus (tests/fuzz/corpus) and keeps what it finds
# in build/fuzz/corpus; an input that finds a mismatch is written to build/fuzz/ as crash-*, to be
# added to tests/fuzz/regressions once mended. `tools/fuzz.sh merge` folds build/fuzz/corpus into
# the seed corpus, keeping only inputs that add coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages clang libclang-rt-14-dev cmake make pkg-config libpng-dev libhwy-dev

usage() { echo "usage: tools/fuzz.sh DURATION [JOBS] | tools/fuzz.sh merge" >&2; exit 2; }
[ $# -ge 1 ] || usage
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target search_fuzzer
fuzzer=build/fuzz/tests/fuzz/search_fuzzer
mkdir -p build/fuzz/corpus

if [ "$1" = merge ]; then
    merged=$(mktemp -d)
    trap 'rm -rf "$merged"' EXIT
    "$fuzzer" -merge=1 "$merged" tests/fuzz/corpus build/fuzz/corpus
    rm -f tests/fuzz/corpus/*
    cp "$merged"/* tests/fuzz/corpus/
    echo "tests/fuzz/corpus now holds $(ls tests/fuzz/corpus | wc -l) inputs"
    exit 0
fi

case $1 in
*h) seconds=$((${1%h} * 3600)) ;;
*m) seconds=$((${1%m} * 60)) ;;
*) seconds=$1 ;;
esac
[[ $seconds =~ ^[0-9]+$ ]] && [ "$seconds" -gt 0 ] || usage
jobs=${2:-$(nproc)}
"$fuzzer" -max_total_time="$seconds" -fork="$jobs" -timeout=20 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ build/fuzz/corpus tests/fuzz/corpus
