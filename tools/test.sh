#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite on Debian 12 and Debian 13: first the legs of
# the release this machine runs, then those of the other release inside a minimal system of it
# made with debootstrap (tools/in-debian.sh), unless PATHTRACER_ONE_RELEASE=1.
# PATHTRACER_PREPARE_ONLY=1 only installs what this release's legs need.
#
# Debian 13 (GCC 14, Highway 1.2):
#   test              the optimised build with the window tests (on a private Xvfb, with
#                     sdl12-compat, Debian 13's SDL 1.2), on every instruction set this machine runs
#   aarch64 armhf armel i386 ppc64el riscv64 s390x
#                     cross-built for each other release architecture and run under qemu-user on
#                     its most capable processor (i386 on the x86-64 kernel itself), on every
#                     vector instruction set each offers
# Debian 12 (GCC 12, Highway 1.0):
#   test              the optimised build with the window tests (on a private Xvfb, with both SDL
#                     1.2 libraries: classic SDL and sdl12-compat)
#   sanitizers        the unit tests and the headless renderer under AddressSanitizer with
#                     UndefinedBehaviorSanitizer
#   thread-sanitizer  ... under ThreadSanitizer
#   clang             ... built with Clang
#   fuzz              the differential search fuzzer and the checkpoint reader's fuzzer: their
#                     regression inputs, then a bounded run of each
#   mips64el          cross-built for the one release architecture Debian 13 no longer has
# On each release it then builds that release's Debian package (tools/package.sh, which runs
# lintian on it), checks it (tests/package_test.sh) without installing it there, and builds,
# installs, runs, autopkgtests and purges it in minimal systems of the release
# (tools/try-package.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
echo "=== Debian $DEBIAN_RELEASE ($DEBIAN_CODENAME)"

# The other release's system is made, and its packages installed, while this release's legs run
# (the downloads and unpacking wait on the network and the disk, the legs on the processors).
other_root=
preparing=
if [ "${PATHTRACER_ONE_RELEASE:-0}" != 1 ]; then
    if [ "$DEBIAN_RELEASE" -ge 13 ]; then other=bookworm; else other=trixie; fi
    # Installed first: this machine's apt serves one command at a time.
    install_missing_packages debootstrap
    other_root=$(mktemp -d)
    # Stopped early, the preparation stops whole (its own process group: debootstrap and the
    # other system's apt too) before its folder goes.
    trap '[ -z "$preparing" ] || kill -- "-$preparing" 2>/dev/null || true; wait
          tools/in-debian.sh remove "$other_root"; rm -f "$other_root.log"' EXIT
    set -m
    (
        tools/in-debian.sh make "$other" "$other_root"
        PATHTRACER_ONE_RELEASE=1 PATHTRACER_PREPARE_ONLY=1 \
            tools/in-debian.sh run "$other_root" tools/test.sh
    ) >"$other_root.log" 2>&1 &
    preparing=$!
    set +m
fi

for arch in "${CROSS_ARCHITECTURES[@]}"; do
    [ "$arch" = "$(dpkg --print-architecture)" ] || add_architecture "$arch"
done
install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
tools/cross-libs.sh "${CROSS_ARCHITECTURES[@]}"
[ "${PATHTRACER_PREPARE_ONLY:-0}" != 1 ] || exit 0
jobs=$(nproc)

for preset in "${TEST_PRESETS[@]}"; do
    echo "=== $preset (Debian $DEBIAN_RELEASE)"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

echo "=== package (Debian $DEBIAN_RELEASE)"
tools/package.sh
tests/package_test.sh build/package/pathtracer_*_"$(dpkg --print-architecture)".deb
tools/try-package.sh

if [ -n "$other_root" ]; then
    status=0
    wait "$preparing" || status=$?
    preparing=
    cat "$other_root.log"
    [ "$status" -eq 0 ] || { echo "FAIL: making the Debian $other system (status $status)"; exit 1; }
    PATHTRACER_ONE_RELEASE=1 tools/in-debian.sh run "$other_root" tools/test.sh
fi
