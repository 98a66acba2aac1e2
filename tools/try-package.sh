#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian package on a clean Debian 12 as a user would, and removes it again: in a
# minimal Debian 12 made with debootstrap in a temporary folder (never on this machine itself).
# apt pulls in what the package depends on, both programs run (the window program on SDL's
# dummy driver), the renderer traces the golden picture, and `apt-get purge` leaves none of the
# package's files behind. Needs root and Debian's package archive.
# Usage: tools/try-package.sh [DEB]   (default: build/package/pathtracer_*_<arch>.deb)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages debootstrap
deb=${1:-$(ls build/package/pathtracer_*_"$(dpkg --print-architecture)".deb)}
root=$(mktemp -d)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
echo "Making a minimal Debian 12 in $root"
as_root debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
as_root mount -t proc proc "$root/proc"
as_root cp "$deb" "$root/tmp/pathtracer.deb"
as_root chroot "$root" /bin/bash -euo pipefail -c '
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y /tmp/pathtracer.deb >/dev/null
    pathtracer-render --version
    pathtracer-render --sequential --frames 1 --output /tmp/one.ppm >/dev/null
    [ "$(sha256sum </tmp/one.ppm | cut -d" " -f1)" = "$1" ] \
        || { echo "FAIL: another picture than the golden one"; exit 1; }
    status=0
    SDL_VIDEODRIVER=dummy timeout --preserve-status -s TERM 2 pathtracer >/tmp/window.out || status=$?
    [ "$status" -eq 0 ] && grep -q "^Tracing time: " /tmp/window.out \
        || { echo "FAIL: the window program (status $status)"; exit 1; }
    dpkg -L pathtracer >/tmp/owned.txt
    DEBIAN_FRONTEND=noninteractive apt-get purge -y pathtracer >/dev/null
    while read -r path; do
        if [ -e "$path" ] && [ ! -d "$path" ]; then echo "FAIL: left behind: $path"; exit 1; fi
    done </tmp/owned.txt
    [ ! -e /usr/share/doc/pathtracer ] || { echo "FAIL: left behind: /usr/share/doc/pathtracer"; exit 1; }
' bash "$(cat tests/golden_one_frame.sha256)"
echo "installed, ran and purged cleanly on a minimal Debian 12: $deb"
