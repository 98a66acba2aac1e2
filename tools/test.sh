#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the optimised build with the window tests (on
# a private Xvfb, with both SDL 1.2 libraries), then the unit tests and the headless renderer
# under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" libgtest-dev libbenchmark-dev \
    xvfb xauth xdotool imagemagick libsdl1.2-compat
jobs=$(nproc)

cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release -DPATHTRACER_BUILD_BENCHMARKS=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

for sanitizer in address,undefined thread; do
    dir=build/sanitize-${sanitizer%%,*}
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATHTRACER_SANITIZE="$sanitizer" \
        -DPATHTRACER_BUILD_WINDOW=OFF
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
