# SPDX-License-Identifier: MIT
# What the run and test commands share (sourced): installing the Debian packages they need (with
# apt-get when run as root, else through sudo), the release this machine runs and the packages
# and test legs that go with it, and minimal Debian systems made with debootstrap from the archive
# this machine's own apt reads.
# Whatever step fails says so before the script stops: where it is (in a function, also where
# that was called from), the command and its status, the failing command of a substitution too
# (whose output only says what it found). The scripts that source this file run with
# `set -euo pipefail`, where such a failure is otherwise silent.
set -E
trap 'echo "FAIL: ${BASH_SOURCE[0]}, line $LINENO: $BASH_COMMAND (status $?)${FUNCNAME[0]:+; in ${FUNCNAME[0]}, called from ${BASH_SOURCE[1]}, line ${BASH_LINENO[0]}}" >&2' ERR

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Runs a command that reaches the package archive, again while it fails with what says the
# network failed for a while (a resolver, a refused or dropped connection, a busy server), for up
# to PATHTRACER_NETWORK_PATIENCE seconds (default 600) with growing pauses. Its output is shown
# when it fails for good; a failure of any other kind (a missing file: 404) is not retried.
with_network_patience() {
    local log waited=0 pause=10 status
    log=$(mktemp)
    while true; do
        status=0
        "$@" >"$log" 2>&1 || status=$?
        if [ "$status" -eq 0 ]; then
            rm -f "$log"
            return 0
        fi
        if ! grep -qiE 'Temporary failure|Could not resolve|Could not connect|Connection (timed out|refused|reset|failed)|Network is unreachable|No route to host|Unable to connect|Service Unavailable|Bad Gateway|Gateway Time-?out|50[234] ' "$log" ||
            [ "$waited" -ge "${PATHTRACER_NETWORK_PATIENCE:-600}" ]; then
            cat "$log" >&2
            rm -f "$log"
            return "$status"
        fi
        echo "the archive could not be reached for now ($(grep -m1 -oiE 'Temporary failure[^]]*|Could not [a-z]+[^]]*|Connection [a-z ]+|[^ ]* unreachable|No route to host|Unable to connect[^]]*|50[234] [A-Za-z ]*' "$log")); again in $pause s" >&2
        sleep "$pause"
        waited=$((waited + pause))
        pause=$((pause * 2 > 120 ? 120 : pause * 2))
    done
}

# Runs a command with its output kept aside, shown only when it fails: its last 40 lines (apt's
# and dpkg's say what they could not do there), then what failed. A script run in another system
# takes it along as `$(declare -f quietly)`.
quietly() {
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || { tail -n 40 "$log" >&2; echo "FAIL: $* (status $status)" >&2; }
    rm -f "$log"
    return "$status"
}

# Whether package $1 of this machine's own architecture (or of none: Architecture all) is
# installed. (dpkg-query answers for a package of any architecture, so a libhwy-dev:arm64
# unpacked for a cross build would pass for the machine's own.)
installed_here() {
    dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
        grep -qE "^install ok installed ($(dpkg --print-architecture)|all)\$"
}

install_missing_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        case "$pkg" in
        *:*) dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ;;
        *) installed_here "$pkg" ;;
        esac || missing+=("$pkg")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "Installing Debian packages: ${missing[*]}"
    with_network_patience as_root apt-get -o Acquire::Retries=3 update
    with_network_patience as_root env DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Retries=3 \
        install -y --no-install-recommends "${missing[@]}"
}

# Lets packages of the architectures given (for example arm64) be installed beside the machine's
# own, other than its own, and reads the package lists again for them. (An apt command that reads
# its package cache while an architecture is being added refuses it, with status 100: nothing else
# may use apt here meanwhile.)
add_architectures() {
    local arch added=0
    for arch in "$@"; do
        [ "$arch" != "$(dpkg --print-architecture)" ] || continue
        dpkg --print-foreign-architectures | grep -qx "$arch" && continue
        as_root dpkg --add-architecture "$arch"
        added=1
    done
    [ "$added" -eq 0 ] || with_network_patience as_root apt-get -o Acquire::Retries=3 update
}

# The first package of those given that the archive offers (names change between releases).
first_offered() {
    local pkg
    for pkg in "$@"; do
        if [ -n "$(apt-cache policy "$pkg" 2>/dev/null | sed -n 's/^ *Candidate: //p' | grep -v '(none)')" ]; then
            echo "$pkg"
            return 0
        fi
    done
    return 1
}

# The package that package $1 depends on (or, with $3 = Recommends, recommends) whose name matches
# the extended regular expression $2: how a name that carries a version is found (clang ->
# clang-14, libhwy-dev -> libhwy1t64).
dependency_named() {
    apt-cache depends "$1" |
        sed -nE "s/^ *\|?${3:-Depends}: <?([^ >]+)>?\$/\1/p" | grep -E -m1 "^($2)\$"
}

# The archive's package lists, once, where none were read yet (a system just made).
read_package_lists_once() {
    [ -n "$(apt-get indextargets --format '$(TARGET_OF)' 2>/dev/null | head -n 1)" ] &&
        [ -n "$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages*' -print -quit 2>/dev/null)" ] ||
        with_network_patience as_root apt-get -o Acquire::Retries=3 update
}

# The address of the archive this machine's apt reads Debian from ($1 = Debian) or its security
# updates from ($1 = Debian-Security), as its own configuration says (sources.list or deb822
# .sources files, wherever apt is told to look): a local mirror or a snapshot works unchanged.
apt_archive() {
    apt-get indextargets --format '$(LABEL) $(TARGET_OF) $(REPO_URI)' |
        awk -v label="$1" '$1 == label && $2 == "deb" { print $3; exit }'
}

# This machine's proxy settings for apt, as lines of apt's configuration.
apt_proxy_settings() {
    apt-config dump 2>/dev/null | grep -E '^Acquire::[a-z]+::Proxy' || true
}

# Makes a minimal Debian system of release $1 (bookworm, trixie, sid) in folder $2 with
# debootstrap, reading the release's updates and security archives as an installed system does
# (where the release has them), and its sources too when $3 is with-sources: from the archive
# and through the proxy this machine's apt uses. Only such a throwaway system of the development
# release, whose Release file a snapshot archive serves past its date, is told not to check that
# date.
make_minimal_debian() {
    local archive security proxy
    read_package_lists_once
    archive=$(apt_archive Debian)
    security=$(apt_archive Debian-Security)
    [ -n "$archive" ] || { echo "no Debian archive in this machine's apt sources" >&2; return 1; }
    proxy=$(apt_proxy_settings | sed -nE 's/^Acquire::http::Proxy "(.*)";$/\1/p' | head -n 1)
    with_network_patience as_root env ${proxy:+http_proxy="$proxy"} \
        debootstrap --variant=minbase "$1" "$2" "$archive"
    {
        echo "deb $archive $1 main"
        [ "$1" = sid ] || echo "deb $archive $1-updates main"
        [ "$1" = sid ] || [ -z "$security" ] || echo "deb $security $1-security main"
        [ "${3:-}" != with-sources ] || echo "deb-src $archive $1 main"
    } | as_root tee "$2/etc/apt/sources.list" >/dev/null
    {
        apt_proxy_settings
        [ "$1" != sid ] || echo 'Acquire::Check-Valid-Until "false";'
    } | as_root tee "$2/etc/apt/apt.conf.d/50pathtracer-test-system" >/dev/null
    # Names resolve there as they do here.
    as_root cp /etc/hosts /etc/resolv.conf "$2/etc/"
}

# Debian's lintian on the package $1: no error and no warning.
lint_package() {
    install_missing_packages lintian
    echo "=== lintian"
    lintian --fail-on error,warning --display-info "$1"
}

# The Debian release this machine runs: its version (12, 13; empty for the development release,
# testing and unstable, which have none) and the codename its apt reads (bookworm, trixie, sid).
DEBIAN_RELEASE=$(. /etc/os-release && echo "${VERSION_ID:-}")
DEBIAN_RELEASE=${DEBIAN_RELEASE%%.*}
DEBIAN_CODENAME=$(apt-get indextargets --format '$(LABEL) $(TARGET_OF) $(CODENAME)' |
    awk '$1 == "Debian" && $2 == "deb" && $3 !~ /-/ { print $3; exit }')
[ -n "$DEBIAN_CODENAME" ] || DEBIAN_CODENAME=$(. /etc/os-release && echo "${VERSION_CODENAME:-sid}")
# How messages name it: "Debian 13 (trixie)", "Debian sid".
DEBIAN_NAME="Debian ${DEBIAN_RELEASE:+$DEBIAN_RELEASE (}$DEBIAN_CODENAME${DEBIAN_RELEASE:+)}"

# (The presets build with Ninja: it compiles a library's users beside the library itself, where
# make builds one target at a time and leaves a processor idle while the per-set code compiles.)
BUILD_PACKAGES=(build-essential g++ cmake ninja-build pkg-config libsdl1.2-dev libpng-dev
    libhwy-dev libopenexr-dev nlohmann-json3-dev)

# What the test command needs and runs on this release (tools/test.sh), with the names this
# release's archive gives them (read_package_lists_once first):
#   TEST_PACKAGES        what the tests of its legs need beside the build's
#   CROSS_ARCHITECTURES  the release architectures cross-built and tested under qemu-user (i386
#                        on an x86-64 kernel itself)
#   CROSS_PACKAGES       their cross compilers, and libraries installed beside the machine's own
#   CROSS_UNPACKED       the libraries unpacked from the archive's packages for them instead
#                        (tools/cross-libs.sh)
#   TEST_PRESETS         the CMake presets of its legs
#   BUILD_PRESETS        presets built without their tests, their programs' pictures checked on
#                        every instruction set (tests/scripts/golden_sets_test.sh): the builds for this
#                        machine's processor (native, on every release: each has its own
#                        Highway) and Clang's Release build where no leg builds it otherwise
# Each leg runs where it finds the most: the cross legs on Debian 13, which has the release
# architectures (mips64el only on Debian 12, the last to have it); the sanitizers,
# Clang and the fuzzers on the development release, with the newest compilers and libraries; the
# optimised build with the window tests on each stable release (classic SDL 1.2 on Debian 12,
# sdl12-compat after).
choose_test_legs() {
    local magick
    TEST_PACKAGES=(libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils imagemagick mandoc
        desktop-file-utils appstream openexr python3 debootstrap dosfstools acl strace
        bash-completion)
    # FAT through FUSE, for saving where modes are not kept and names fold case.
    TEST_PACKAGES+=($(first_offered fusefat || true))
    # sdl12-compat beside classic SDL 1.2, where it is a package of its own.
    TEST_PACKAGES+=($(first_offered libsdl1.2-compat || true))
    # ImageMagick's OpenEXR reader.
    magick=$(dependency_named imagemagick 'imagemagick-[0-9.]+q16')
    TEST_PACKAGES+=("$(dependency_named "$magick" 'libmagickcore-.*-extra' Recommends)")
    CROSS_ARCHITECTURES=()
    CROSS_PACKAGES=()
    CROSS_UNPACKED=(zlib1g-dev libpng-dev) # zlib first: libpng built from source needs it
    BUILD_PRESETS=(native)
    case "$DEBIAN_RELEASE" in
    '')
        TEST_PACKAGES+=(clang libclang-rt-dev weston)
        TEST_PRESETS=(clang sanitizers thread-sanitizer fuzz)
        ;;
    13)
        TEST_PACKAGES+=(weston)
        CROSS_ARCHITECTURES=(arm64 armhf armel i386 ppc64el riscv64 s390x)
        CROSS_PACKAGES=(qemu-user dpkg-dev g++-aarch64-linux-gnu g++-arm-linux-gnueabihf
            g++-arm-linux-gnueabi g++-i686-linux-gnu g++-powerpc64le-linux-gnu
            g++-riscv64-linux-gnu g++-s390x-linux-gnu libc6:i386 libstdc++6:i386)
        # Highway with the shared library its headers' package depends on, and GoogleTest:
        # the archive lacks some architectures' C library, so they run on the cross compiler's.
        CROSS_UNPACKED+=(libhwy-dev "$(dependency_named libhwy-dev 'libhwy[0-9].*')" libgtest-dev)
        TEST_PRESETS=(test aarch64 armhf armel i386 ppc64el riscv64 s390x)
        ;;
    12)
        CROSS_ARCHITECTURES=(mips64el)
        CROSS_PACKAGES=(qemu-user dpkg-dev g++-mips64el-linux-gnuabi64 libc6:mips64el
            libstdc++6:mips64el libhwy-dev:mips64el libgtest-dev:mips64el)
        TEST_PRESETS=(test unoptimised mips64el)
        TEST_PACKAGES+=(clang)
        BUILD_PRESETS+=(clang)
        ;;
    *)
        # A later stable release: its own build and window tests; the cross-built legs stay
        # Debian 13's, run in a system of it (tools/test.sh), not twice.
        TEST_PACKAGES+=(weston)
        TEST_PRESETS=(test)
        ;;
    esac
    # A stable release's package is tried in minimal systems of it (tools/try-package.sh).
    [ -z "$DEBIAN_RELEASE" ] || TEST_PACKAGES+=(autopkgtest lintian dpkg-dev)
}
