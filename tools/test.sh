#!/usr/bin/env bash
# Builds everything and runs the whole test suite, window tests included (on a private Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" libgtest-dev libbenchmark-dev \
    xvfb xauth xdotool imagemagick libsdl1.2-compat
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release
cmake --build build/test -j "$(nproc)"
ctest --test-dir build/test --output-on-failure -j 2
