#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Unpacks the libraries that the cross-built programs of Debian architecture ARCH (armel, s390x
# ...) link from the archive's own packages into build/cross-libs/<multiarch>, where the cross
# toolchain files (cmake/debian-cross.cmake) find them: the static libpng and zlib on every
# release (apt cannot always install them beside the machine's own: the security archive does not
# carry every architecture, so the two versions can differ), and on Debian 13 Highway and
# GoogleTest too (CROSS_UNPACKED in tools/packages.sh), whose C library the archive does not
# carry for every architecture. An architecture's zlib1g-dev missing from the archive is built
# from zlib's source package with the cross compiler instead.
# Usage: tools/cross-libs.sh ARCH...
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh

# zlib's static library for $1 (multiarch $2) from the source package, into $3.
zlib_from_source() {
    local arch=$1 multiarch=$2 dest=$3 src
    src=$(mktemp -d)
    chmod 0777 "$src"
    # The archive may lack the Debian part of the source package too: its upstream tarball is
    # what is needed.
    local orig attempt
    for attempt in 1 2 3; do
        (cd "$src" && apt-get -o Acquire::Retries=3 source --download-only zlib >"$src/log" 2>&1) || true
        orig=$(find "$src" -maxdepth 1 -name 'zlib_*.orig.tar.*' | head -n 1)
        [ -n "$orig" ] && break
        sleep $((attempt * 5))
    done
    if [ -z "$orig" ]; then
        cat "$src/log" >&2
        echo "no zlib1g-dev:$arch nor zlib's source in the archive (a deb-src line is needed)" >&2
        exit 1
    fi
    tar -xf "$orig" -C "$src"
    local compiler
    compiler=$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    if ! (cd "$src"/zlib-*/ && CC=$compiler-gcc AR=$compiler-ar RANLIB=$compiler-ranlib \
        CFLAGS="-O2 -fPIC" ./configure --static && make -j "$(nproc)" libz.a) >"$src/log" 2>&1; then
        tail -n 30 "$src/log" >&2
        echo "zlib's source did not build for $arch" >&2
        exit 1
    fi
    mkdir -p "$dest/usr/include" "$dest/usr/lib/$multiarch"
    cp "$src"/zlib-*/zlib.h "$src"/zlib-*/zconf.h "$dest/usr/include/"
    cp "$src"/zlib-*/libz.a "$dest/usr/lib/$multiarch/"
    rm -rf "$src"
    echo "built zlib for $arch from its source package (no zlib1g-dev:$arch in the archive)"
}

for arch in "$@"; do
    multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    dest=build/cross-libs/$multiarch
    [ -f "$dest/usr/include/png.h" ] && [ -f "$dest/done" ] && continue
    work=$(mktemp -d)
    chmod 0777 "$work" # apt downloads as its own user
    rm -rf "$dest" && mkdir -p "$dest"
    for pkg in "${CROSS_UNPACKED[@]}"; do
        if ! (cd "$work" && apt-get -o Acquire::Retries=3 download "$pkg:$arch" >/dev/null 2>&1); then
            [ "$pkg" = zlib1g-dev ] || { echo "cannot download $pkg:$arch" >&2; exit 1; }
            zlib_from_source "$arch" "$multiarch" "$dest"
        fi
    done
    for deb in "$work"/*.deb; do
        dpkg-deb -x "$deb" "$dest"
    done
    rm -rf "$work"
    touch "$dest/done"
    echo "unpacked ${CROSS_UNPACKED[*]} for $arch into $dest"
done
