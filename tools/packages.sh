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
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# Lets packages of architecture $1 (for example arm64) be installed beside the machine's own.
add_architecture() {
    dpkg --print-foreign-architectures | grep -qx "$1" || as_root dpkg --add-architecture "$1"
}

BUILD_PACKAGES=(g++ cmake make pkg-config libsdl1.2-dev libpng-dev libhwy-dev libopenexr-dev
    nlohmann-json3-dev)
# What the ARM64 leg of the tests needs: the cross compiler, qemu-user to run its programs and
# the arm64 libraries they link.
ARM64_PACKAGES=(g++-aarch64-linux-gnu qemu-user libpng-dev:arm64 libgtest-dev:arm64 libhwy-dev:arm64)
# The other release architectures of Debian 12, cross-built and tested under qemu-user (i386 runs
# on an x86-64 kernel itself): their cross compilers, and the architecture's libraries the
# programs link (libpng and zlib come from tools/cross-libs.sh instead).
CROSS_ARCHITECTURES=(i386 armhf armel ppc64el s390x mips64el)
CROSS_PACKAGES=(qemu-user dpkg-dev g++-i686-linux-gnu g++-arm-linux-gnueabihf g++-arm-linux-gnueabi
    g++-powerpc64le-linux-gnu g++-s390x-linux-gnu g++-mips64el-linux-gnuabi64)
for arch in "${CROSS_ARCHITECTURES[@]}"; do
    CROSS_PACKAGES+=("libc6:$arch" "libstdc++6:$arch" "libhwy-dev:$arch" "libgtest-dev:$arch")
done
unset arch
