#!/usr/bin/env bash
# Builds pathtracer optimised for this machine's CPU and starts it. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DPATHTRACER_ARCH=native -DPATHTRACER_BUILD_TESTS=OFF \
    -DPATHTRACER_BUILD_WINDOW=ON
cmake --build build/release -j "$(nproc)" --target pathtracer
exec build/release/pathtracer "$@"
