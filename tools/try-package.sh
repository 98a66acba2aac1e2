#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package on a clean system of the release this machine runs (Debian 12 or 13), in
# minimal systems made with debootstrap in a temporary
# folder (never on this machine itself):
# 1. built there from the source with nothing but build-essential and its Build-Depends
#    installed, so that a missing build dependency fails, and byte for byte the package built
#    here (the build is reproducible);
# 2. installed with apt as a user would (apt pulls in what it depends on), both programs run (the
#    window program on SDL's dummy driver), the renderer traces the golden picture, and `apt-get
#    purge` leaves none of its files behind;
# 3. its autopkgtests (debian/tests) run by Debian's autopkgtest against it, in a third copy.
# Needs root and Debian's package archive.
# Usage: tools/try-package.sh [DEB]   (default: build/package/pathtracer_*_<arch>.deb)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages debootstrap autopkgtest
deb=$(realpath "${1:-$(ls build/package/pathtracer_*_"$(dpkg --print-architecture)".deb)}")
work=$(mktemp -d)
cleanup() {
    for root in "$work"/*/; do
        umount "$root/proc" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
echo "Making a minimal $DEBIAN_NAME in $work/base"
make_minimal_debian "$DEBIAN_CODENAME" "$work/base"
# A fresh copy of the minimal system for each step.
fresh() {
    as_root cp -a "$work/base" "$work/$1"
    as_root mount -t proc proc "$work/$1/proc"
    echo "$work/$1"
}

# 1. Built from the source with only its build dependencies.
root=$(fresh build)
as_root mkdir -p "$root/build/source"
tar --exclude=./build --exclude=./.git -cf - . | as_root tar -xf - -C "$root/build/source"
as_root chroot "$root" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
    export DEBIAN_FRONTEND=noninteractive
    quietly apt-get update
    quietly apt-get install -y --no-install-recommends build-essential
    cd /build/source
    quietly apt-get build-dep -y --no-install-recommends ./
    quietly dpkg-buildpackage -b -us -uc -j"$(nproc)"
'
built=$(ls "$root"/build/pathtracer_*_"$(dpkg --print-architecture)".deb)
if ! cmp -s "$built" "$deb"; then
    echo "FAIL: the package built on a minimal $DEBIAN_NAME differs from $deb (not reproducible)"
    sha256sum "$built" "$deb"
    # Which of its files differ, to find why.
    mkdir -p "$work/a" "$work/b"
    dpkg-deb -R "$built" "$work/a" && dpkg-deb -R "$deb" "$work/b"
    diff -r "$work/a" "$work/b" | head -n 20
    exit 1
fi
echo "built on a minimal $DEBIAN_NAME with only its Build-Depends, byte for byte $deb"

# 2. Installed, run and purged.
root=$(fresh install)
as_root cp "$deb" "$root/tmp/pathtracer.deb"
as_root chroot "$root" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
    export DEBIAN_FRONTEND=noninteractive
    quietly apt-get update
    quietly apt-get install -y /tmp/pathtracer.deb
    pathtracer-render --version
    pathtracer-render --sequential --frames 1 --output /tmp/one.ppm >/dev/null
    [ "$(sha256sum </tmp/one.ppm | cut -d" " -f1)" = "$1" ] \
        || { echo "FAIL: another picture than the golden one"; exit 1; }
    # The window program, until its first frame is reported (up to a minute), then SIGTERM.
    SDL_VIDEODRIVER=dummy pathtracer >/tmp/window.out &
    pid=$!
    for _ in $(seq 600); do
        grep -q "^Tracing time: " /tmp/window.out && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -TERM "$pid" 2>/dev/null || true
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] && grep -q "^Tracing time: " /tmp/window.out \
        || { echo "FAIL: the window program (status $status)"; exit 1; }
    dpkg -L pathtracer >/tmp/owned.txt
    quietly apt-get purge -y pathtracer
    while read -r path; do
        if [ -e "$path" ] && [ ! -d "$path" ]; then echo "FAIL: left behind: $path"; exit 1; fi
    done </tmp/owned.txt
    [ ! -e /usr/share/doc/pathtracer ] || { echo "FAIL: left behind: /usr/share/doc/pathtracer"; exit 1; }
' bash "$(awk '$1 == "picture_1_frame_sha256" { print $2 }' tests/golden.txt)"
echo "installed, ran and purged cleanly on a minimal $DEBIAN_NAME: $deb"

# 3. The autopkgtests, against the package, in a minimal system of their own.
root=$(fresh autopkgtest)
quietly as_root chroot "$root" apt-get update
source_copy=$work/source
mkdir -p "$source_copy"
tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$source_copy"
if ! as_root autopkgtest --no-built-binaries "$deb" "$source_copy/" -- chroot "$root" \
    >"$work/autopkgtest.log" 2>&1; then
    cat "$work/autopkgtest.log"
    echo "FAIL: autopkgtest"
    exit 1
fi
sed -n '/@@@@ summary/,/^autopkgtest \[.*\]: Binaries/p' "$work/autopkgtest.log" | sed '1d;$d'
echo "autopkgtests passed on a minimal $DEBIAN_NAME: $deb"
