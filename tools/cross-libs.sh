#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Unpacks the static libpng and zlib of Debian architecture ARCH (armel, s390x ...) from the
# archive's own packages into build/cross-libs/<multiarch>, where the cross toolchain files
# (cmake/debian-cross.cmake) link them from. apt cannot always install them beside the
# machine's own: the security archive does not carry every architecture, so the two versions can
# differ, and these packages must match across architectures.
# Usage: tools/cross-libs.sh ARCH...
set -euo pipefail
cd "$(dirname "$0")/.."
for arch in "$@"; do
    multiarch=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    dest=build/cross-libs/$multiarch
    [ -f "$dest/usr/include/png.h" ] && continue
    work=$(mktemp -d)
    chmod 0777 "$work" # apt downloads as its own user
    (cd "$work" && apt-get download "libpng-dev:$arch" "zlib1g-dev:$arch" >/dev/null)
    rm -rf "$dest" && mkdir -p "$dest"
    for deb in "$work"/*.deb; do
        dpkg-deb -x "$deb" "$dest"
    done
    rm -rf "$work"
    echo "unpacked libpng and zlib for $arch into $dest"
done
