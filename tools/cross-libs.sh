#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Unpacks the libraries that the cross-built programs of Debian architecture ARCH (armel, s390x
# ...) link from the archive's own packages into build/cross-libs/<multiarch>, where the cross
# toolchain files (cmake/debian-cross.cmake) find them: the static zlib and libpng on every
# release (apt cannot always install them beside the machine's own: the security archive does not
# carry every architecture, so the two versions can differ), and on Debian 13 Highway and
# GoogleTest too (CROSS_UNPACKED in tools/packages.sh), whose C library the archive does not
# carry for every architecture.
#
# An archive serves a new version to some architectures before others, and lists versions whose
# files it does not have yet. So each package is taken at the newest version the archive both
# lists and serves for the architecture (versions of one source package kept alike where it can),
# else built with the cross compiler from the newest source package of it the archive serves;
# only when neither can be had does it fail, naming what it tried. What was used is printed.
# To try the fallbacks, PATHTRACER_CROSS_LIBS_REFUSE (an extended regular expression) makes it
# take what it matches as not served: "package:arch=version" or "source package=version".
# Usage: tools/cross-libs.sh ARCH...
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
[ $# -gt 0 ] || exit 0
read_package_lists_once
choose_test_legs
refuse=${PATHTRACER_CROSS_LIBS_REFUSE:-}

refused() {
    [ -n "$refuse" ] && [[ "$1" =~ $refuse ]]
}

# The versions of package $1 the archive lists, newest first.
listed_versions() {
    apt-cache madison "$1" 2>/dev/null | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | uniq
}

# The source package that binary package $1 is built from.
source_of() {
    local src
    src=$(apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Source: \([^ ]*\).*/\1/p' | head -n 1)
    echo "${src:-${1%%:*}}"
}

# Downloads package $1 (name:arch) into the current folder at the first version that is served,
# preferring version $2 (that of another package of its source already taken); prints the
# version, or fails having said which versions were refused.
download_served() {
    local pkg=$1 version tried=()
    for version in $( { [ -z "$2" ] || echo "$2"; listed_versions "$pkg"; } | awk '!seen[$0]++'); do
        if refused "$pkg=$version"; then
            tried+=("$version (refused for this try)")
            continue
        fi
        if with_network_patience apt-get -o Acquire::Retries=3 download "$pkg=$version" >&2; then
            echo "$version"
            return 0
        fi
        tried+=("$version")
    done
    echo "not served: $pkg ${tried[*]:-(no version listed)}" >&2
    return 1
}

# A private apt state that reads the sources of the archive this machine's Debian comes from
# (this machine may have no deb-src line), for apt-get source without root.
source_apt=()
read_sources_once() {
    [ "${#source_apt[@]}" -eq 0 ] || return 0
    local state=$work_root/apt-sources archive
    archive=$(apt_archive Debian)
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    chmod -R a+rwX "$state" # apt downloads as its own user
    echo "deb-src $archive $DEBIAN_CODENAME main" >"$state/sources.list"
    source_apt=(-o "Dir::Etc::sourcelist=$state/sources.list" -o Dir::Etc::sourceparts=-
        -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" -o Acquire::Retries=3
        -o Debug::NoLocking=1)
    [ -z "$DEBIAN_RELEASE" ] && source_apt+=(-o Acquire::Check-Valid-Until=false) || true
    with_network_patience apt-get "${source_apt[@]}" update >&2
}

# The upstream source of source package $1 at the newest version whose upstream tarball is
# served, unpacked into folder $2; prints the version.
fetch_source() {
    local src=$1 dir=$2 version tried=()
    read_sources_once
    for version in $(apt-cache "${source_apt[@]}" showsrc "$src" 2>/dev/null |
        sed -n 's/^Version: //p' | sort -u | sort -r -V); do
        rm -rf "$dir" && mkdir -p "$dir" && chmod 0777 "$dir"
        if refused "source $src=$version"; then
            tried+=("$version (refused for this try)")
            continue
        fi
        # Only the upstream tarball is built from: it is enough when the archive serves it but
        # not Debian's own files of the version (apt checks each file it fetches against the
        # sources' list, and keeps those fetched when another fails).
        local orig
        (cd "$dir" && with_network_patience apt-get "${source_apt[@]}" source --download-only \
            "$src=$version" >&2) || true
        orig=$(find "$dir" -maxdepth 1 -name "${src}_*.orig.tar.*" ! -name '*.asc' | head -n 1)
        if [ -n "$orig" ]; then
            tar -xf "$orig" -C "$dir"
            echo "$version"
            return 0
        fi
        tried+=("$version")
    done
    echo "not served: source package $src ${tried[*]:-(no version listed)}" >&2
    return 1
}

# Builds the upstream source unpacked in folder $1 with the cross compiler for $arch, static and
# without its tests, into $dest: by its configure script where it has one (Autoconf's, as
# libpng's, or zlib's own: Debian's zlib source leaves out files its CMake build names), else by
# CMake (Highway, GoogleTest).
build_source() {
    local top compiler
    top=$(find "$1" -mindepth 2 -maxdepth 2 \( -name CMakeLists.txt -o -name configure \) -printf '%h\n' | head -n 1)
    compiler=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    if [ -x "$top/configure" ] && grep -q 'Generated by GNU Autoconf' "$top/configure"; then
        (cd "$top" && ./configure --host="$compiler" --prefix=/usr --libdir="/usr/lib/$multiarch" \
            --disable-shared --enable-static CFLAGS="-O2 -fPIC" CPPFLAGS="-I$dest/usr/include" \
            LDFLAGS="-L$dest/usr/lib/$multiarch" && make -j "$(nproc)" && make install DESTDIR="$dest")
    elif [ -x "$top/configure" ]; then
        (cd "$top" && CC=$compiler-gcc AR=$compiler-ar RANLIB=$compiler-ranlib CFLAGS="-O2 -fPIC" \
            ./configure --prefix=/usr --libdir="/usr/lib/$multiarch" --static &&
            make -j "$(nproc)" && make install DESTDIR="$dest")
    else
        cmake -S "$top" -B "$1/build" -Wno-dev -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="${compiler%%-*}" \
            -DCMAKE_C_COMPILER="$compiler-gcc" -DCMAKE_CXX_COMPILER="$compiler-g++" \
            -DCMAKE_FIND_ROOT_PATH="$dest" -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
            -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
            -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" \
            -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
            -DHWY_ENABLE_TESTS=OFF -DHWY_ENABLE_EXAMPLES=OFF -DHWY_ENABLE_CONTRIB=OFF \
            -DINSTALL_GTEST=ON &&
            cmake --build "$1/build" -j "$(nproc)" &&
            DESTDIR=$dest cmake --install "$1/build"
    fi
}

# Package $pkg for $arch into $dest: from the archive, else from its source; says which.
take() {
    local src version deb
    src=$(source_of "$pkg:$arch")
    if version=$(cd "$work" && download_served "$pkg:$arch" "${taken_version[$src]:-}"); then
        deb=$(ls "$work"/"${pkg}"_*.deb)
        dpkg-deb -x "$deb" "$dest"
        rm -f "$deb"
        taken_version[$src]=$version
        echo "$arch: $pkg $version from the archive"
        return 0
    fi
    if [ -n "${built_source[$src]:-}" ]; then
        echo "$arch: $pkg from source package $src ${built_source[$src]}, built above"
        return 0
    fi
    if version=$(fetch_source "$src" "$work/$src") &&
        build_source "$work/$src" >"$work/$src.log" 2>&1; then
        built_source[$src]=$version
        echo "$arch: $pkg built from source package $src $version (no version of $pkg:$arch served)"
        return 0
    fi
    [ ! -f "$work/$src.log" ] || tail -n 30 "$work/$src.log" >&2
    echo "cross-libs: cannot have $pkg for $arch: no version the archive lists is served, and source package $src neither served nor built (above)" >&2
    return 1
}

work_root=$(mktemp -d)
chmod 0777 "$work_root" # apt downloads as its own user
trap 'rm -rf "$work_root"' EXIT
for arch in "$@"; do
    multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    dest=$PWD/build/cross-libs/$multiarch
    [ -f "$dest/usr/include/png.h" ] && [ -f "$dest/done" ] && continue
    work=$work_root/$arch
    mkdir -p "$work" && chmod 0777 "$work"
    rm -rf "$dest" && mkdir -p "$dest"
    declare -A taken_version=() built_source=()
    for pkg in "${CROSS_UNPACKED[@]}"; do
        take
    done
    unset taken_version built_source
    touch "$dest/done"
done
