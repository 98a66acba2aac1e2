#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite, one CMake preset after another:
#   test              the optimised build with the window tests (on a private Xvfb, with both SDL
#                     1.2 libraries), on every instruction set this machine runs
#   sanitizers        the unit tests and the headless renderer under AddressSanitizer with
#                     UndefinedBehaviorSanitizer
#   thread-sanitizer  ... under ThreadSanitizer
#   clang             ... built with Clang
#   aarch64           ... cross-built for ARM64 and run under qemu-user
#   i386 armhf armel ppc64el s390x mips64el
#                     ... cross-built for each of Debian 12's other release architectures and run
#                     under qemu-user (i386 on the x86-64 kernel itself)
#   fuzz              the differential search fuzzer and the checkpoint reader's fuzzer: their
#                     regression inputs, then a bounded run of each
# then builds the Debian package (tools/package.sh, which runs lintian on it), checks it
# (tests/package_test.sh) without installing it here, and installs, runs and purges it in a
# minimal Debian 12 made with debootstrap (tools/try-package.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
for arch in arm64 "${CROSS_ARCHITECTURES[@]}"; do
    add_architecture "$arch"
done
install_missing_packages "${BUILD_PACKAGES[@]}" "${ARM64_PACKAGES[@]}" "${CROSS_PACKAGES[@]}" \
    libgtest-dev libbenchmark-dev clang libclang-rt-14-dev xvfb xauth xdotool imagemagick \
    libsdl1.2-compat mandoc desktop-file-utils appstream openexr libmagickcore-6.q16-6-extra python3
tools/cross-libs.sh "${CROSS_ARCHITECTURES[@]}"
jobs=$(nproc)

for preset in test sanitizers thread-sanitizer clang aarch64 fuzz "${CROSS_ARCHITECTURES[@]}"; do
    echo "=== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "=== package"
tools/package.sh
tests/package_test.sh build/package/pathtracer_*_"$(dpkg --print-architecture)".deb
tools/try-package.sh
