#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the whole test suite on Debian 12, Debian 13 and the development
# release (unstable): first the legs of the release this machine runs, then those of each other
# release inside a minimal system of it made with debootstrap (tools/in-debian.sh), unless
# PATHTRACER_ONE_RELEASE=1. PATHTRACER_PREPARE_ONLY=1 only installs what this release's legs need.
# Which legs run on which release: choose_test_legs in tools/packages.sh.
#   test              the optimised build with the window tests (on a private Xvfb: with classic
#                     SDL 1.2 and sdl12-compat on Debian 12, sdl12-compat on 13, and on Wayland
#                     under weston on 13), on every instruction set this machine runs
#   aarch64 armhf armel i386 ppc64el riscv64 s390x (Debian 13), mips64el (Debian 12)
#                     cross-built for each other release architecture and run under qemu-user on
#                     its most capable processor (i386 on the x86-64 kernel itself where it runs
#                     32-bit programs, else under qemu-i386 too), on every
#                     vector instruction set each offers: what can differ by architecture
#   unoptimised       (Debian 12) the vector searches' and paths' tests built without
#                     optimisation, where each vector load is the one the code writes
#   clang             (unstable) the unit tests, the headless renderer and the window program
#                     built with Clang
#   sanitizers        (unstable) the unit tests and the headless renderer under AddressSanitizer
#                     with UndefinedBehaviorSanitizer
#   thread-sanitizer  (unstable) ... under ThreadSanitizer
#   fuzz              (unstable) the differential search fuzzer and the checkpoint reader's fuzzer:
#                     their regression inputs, then a bounded run of each
#   native            (each release) built for this machine's processor, without its tests: its
#                     picture is the golden one on every set it has
#   clang             (Debian 12) the Release build with Clang 14, likewise
# On each stable release it then builds that release's Debian package twice, installs, runs,
# autopkgtests and purges it in minimal systems of the release (tools/try-package.sh), and
# checks it here with lintian and tests/scripts/package_test.sh without installing it. Each
# leg's time is printed after it, and all of them at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
echo "=== $DEBIAN_NAME"
read_package_lists_once
choose_test_legs
# The cross-built legs' architectures are added before the other releases' systems are made:
# making them reads apt's package cache here, which apt refuses (status 100) while the
# architectures change under it.
add_architectures "${CROSS_ARCHITECTURES[@]}"

# Each leg's time, printed after it and all together at the end.
times=()
timed() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    times+=("$(printf '%-18s %5d s' "$name" $((SECONDS - start)))")
    echo "--- $name: $((SECONDS - start)) s on $DEBIAN_NAME"
}

# The other releases' systems are made, and their packages installed, all at once while this
# release's legs run (the downloads and unpacking wait on the network and the disk, the legs on
# the processors); each release's legs then run as soon as its system is ready. The development
# release is named by its codename, sid, which it keeps.
others=()
other_roots=()
# Work beside the legs, each in a process group of its own; stopped early, it stops whole
# (debootstrap and the other systems' apt too) before the other systems' folders go.
preparing=()
package_base=
package_base_job=
trap 'for job in "${preparing[@]}" $package_base_job; do kill -- "-$job" 2>/dev/null || true; done; wait
      for root in "${other_roots[@]}" $package_base; do tools/in-debian.sh remove "$root"; rm -f "$root.log"; done' EXIT
if [ "${PATHTRACER_ONE_RELEASE:-0}" != 1 ]; then
    # Installed first: this machine's apt serves one command at a time.
    install_missing_packages debootstrap
    for other in bookworm trixie sid; do
        if [ "$other" != "$DEBIAN_CODENAME" ] && { [ "$other" != sid ] || [ -n "$DEBIAN_RELEASE" ]; }; then
            root=$(mktemp -d)
            others+=("$other")
            other_roots+=("$root")
            set -m
            { tools/in-debian.sh make "$other" "$root" &&
                PATHTRACER_ONE_RELEASE=1 PATHTRACER_PREPARE_ONLY=1 \
                    tools/in-debian.sh run "$root" tools/test.sh; } >"$root.log" 2>&1 &
            preparing+=($!)
            set +m
        fi
    done
fi

prepare() {
    install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
    tools/cross-libs.sh "${CROSS_ARCHITECTURES[@]}"
}
timed prepare prepare
[ "${PATHTRACER_PREPARE_ONLY:-0}" != 1 ] || exit 0
jobs=$(nproc)

# The minimal systems the package is tried in (tools/try-package.sh), made and readied (what apt
# fetches and installs in each) while the legs run (after prepare: apt serves one command at a
# time here).
if [ -n "$DEBIAN_RELEASE" ]; then
    package_base=$(mktemp -d)
    set -m
    tools/try-package.sh make "$package_base" >"$package_base.log" 2>&1 &
    package_base_job=$!
    set +m
fi

leg() {
    cmake --preset "$1"
    cmake --build --preset "$1" -j "$jobs"
    ctest --preset "$1" -j "$jobs"
}
for preset in "${TEST_PRESETS[@]}"; do
    echo "=== $preset on $DEBIAN_NAME"
    timed "$preset" leg "$preset"
done
# The builds made without their tests: they build, and their pictures are the golden ones.
build_leg() {
    cmake --preset "$1" -DPATHTRACER_BUILD_TESTS=OFF
    cmake --build --preset "$1" -j "$jobs"
    tests/scripts/golden_sets_test.sh "build/$1/pathtracer-render"
}
for preset in "${BUILD_PRESETS[@]}"; do
    echo "=== $preset (built) on $DEBIAN_NAME"
    timed "$preset" build_leg "$preset"
done

# The Debian package of each stable release: built twice in a minimal system of the release, where
# it is installed and autopkgtested too (tools/try-package.sh), then checked here. (Not beside the
# legs: run so, a test's folder under /tmp vanished twice, by a way not yet found.)
package() {
    local status=0
    wait "$package_base_job" || status=$?
    package_base_job=
    [ "$status" -eq 0 ] || { cat "$package_base.log"; echo "FAIL: making the minimal $DEBIAN_NAME for the package (status $status)"; return 1; }
    tools/try-package.sh "$package_base"
    local deb
    deb=build/package/pathtracer_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
    lint_package "$deb"
    tests/scripts/package_test.sh "$deb"
}
if [ -n "$DEBIAN_RELEASE" ]; then
    echo "=== package on $DEBIAN_NAME"
    timed package package
fi
echo "=== legs of $DEBIAN_NAME"
printf '%s\n' "${times[@]}"

# The other releases' legs, each as soon as its system is ready.
while [ "${#preparing[@]}" -gt 0 ]; do
    # The first that has ended, else wait for one to end (bash's wait -n waits only for those
    # still running).
    i=
    for k in "${!preparing[@]}"; do
        kill -0 "${preparing[$k]}" 2>/dev/null || { i=$k; break; }
    done
    if [ -z "$i" ]; then
        wait -n "${preparing[@]}" 2>/dev/null || true
        continue
    fi
    status=0
    wait "${preparing[$i]}" || status=$?
    preparing=("${preparing[@]:0:$i}" "${preparing[@]:$((i + 1))}")
    cat "${other_roots[$i]}.log"
    [ "$status" -eq 0 ] || { echo "FAIL: making the Debian ${others[$i]} system (status $status)"; exit 1; }
    PATHTRACER_ONE_RELEASE=1 tools/in-debian.sh run "${other_roots[$i]}" tools/test.sh
    tools/in-debian.sh remove "${other_roots[$i]}"
    others=("${others[@]:0:$i}" "${others[@]:$((i + 1))}")
    other_roots=("${other_roots[@]:0:$i}" "${other_roots[@]:$((i + 1))}")
done
