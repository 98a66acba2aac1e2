# SPDX-License-Identifier: MIT
# Installs the Debian packages given as arguments that are not installed yet: with apt-get when
# run as root, else through sudo. Sourced by the run and test commands. Packages of another
# architecture (name:arm64) can be named once that architecture is added (add_architecture).
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "Installing Debian packages: ${missing[*]}"
    as_root apt-get -o Acquire::Retries=3 update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 install -y \
        --no-install-recommends "${missing[@]}"
}

# Lets packages of architecture $1 (for example arm64) be installed beside the machine's own.
add_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" || as_root dpkg --add-architecture "$1"
}

# Makes a minimal Debian system of release $1 (bookworm, trixie) in folder $2 with debootstrap,
# reading the release's updates and security archives as an installed system does, and its
# sources too when $3 is with-sources.
make_minimal_debian() {
    as_root debootstrap --variant=minbase "$1" "$2" http://deb.debian.org/debian >/dev/null
    {
        echo "deb http://deb.debian.org/debian $1 main"
        echo "deb http://deb.debian.org/debian $1-updates main"
        echo "deb http://deb.debian.org/debian-security $1-security main"
        [ "${3:-}" != with-sources ] || echo "deb-src http://deb.debian.org/debian $1 main"
    } | as_root tee "$2/etc/apt/sources.list" >/dev/null
    # Names resolve there as they do here.
    as_root cp /etc/hosts /etc/resolv.conf "$2/etc/"
}

# The Debian release this machine runs (12 or 13): some package names and the test legs differ.
DEBIAN_RELEASE=$(. /etc/os-release && echo "${VERSION_ID%%.*}")
DEBIAN_CODENAME=$(. /etc/os-release && echo "$VERSION_CODENAME")

BUILD_PACKAGES=(build-essential g++ cmake make pkg-config libsdl1.2-dev libpng-dev libhwy-dev
    libopenexr-dev nlohmann-json3-dev)
# What the tests of this release's legs need beside (tools/test.sh): Xvfb, xdotool and ImageMagick
# (with its OpenEXR reader) for the window and picture tests, sdl12-compat, the linters.
TEST_PACKAGES=(libgtest-dev libbenchmark-dev xvfb xauth xdotool imagemagick libsdl1.2-compat mandoc
    desktop-file-utils appstream openexr python3 debootstrap)
# The release architectures cross-built and tested under qemu-user (i386 on an x86-64 kernel
# itself) on this release: on Debian 13 all seven others but the machine's own, with every vector
# instruction set each offers; on Debian 12 only mips64el, which Debian 13 no longer has. Their
# cross compilers, and the libraries unpacked from the archive's packages for them
# (CROSS_UNPACKED, by tools/cross-libs.sh) or installed beside the machine's own.
if [ "$DEBIAN_RELEASE" -ge 13 ]; then
    TEST_PACKAGES+=(libmagickcore-7.q16-10-extra weston)
    CROSS_ARCHITECTURES=(arm64 armhf armel i386 ppc64el riscv64 s390x)
    CROSS_PACKAGES=(qemu-user dpkg-dev g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
        g++-arm-linux-gnueabi g++-i686-linux-gnu g++-powerpc64le-linux-gnu g++-riscv64-linux-gnu
        g++-s390x-linux-gnu libc6:i386 libstdc++6:i386)
    CROSS_UNPACKED=(libpng-dev zlib1g-dev libhwy-dev libhwy1t64 libgtest-dev)
    # The CMake presets of this release's legs: the optimised build with the window tests, then
    # each cross-built architecture.
    TEST_PRESETS=(test aarch64 armhf armel i386 ppc64el riscv64 s390x)
else
    TEST_PACKAGES+=(libmagickcore-6.q16-6-extra clang libclang-rt-14-dev)
    CROSS_ARCHITECTURES=(mips64el)
    CROSS_PACKAGES=(qemu-user dpkg-dev g++-mips64el-linux-gnuabi64)
    for arch in "${CROSS_ARCHITECTURES[@]}"; do
        CROSS_PACKAGES+=("libc6:$arch" "libstdc++6:$arch" "libhwy-dev:$arch" "libgtest-dev:$arch")
    done
    unset arch
    CROSS_UNPACKED=(libpng-dev zlib1g-dev)
    # ... the optimised build with the window tests, the sanitizers, Clang, the fuzzers, mips64el.
    TEST_PRESETS=(test sanitizers thread-sanitizer clang fuzz mips64el)
fi
