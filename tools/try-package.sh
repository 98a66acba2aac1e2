#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package on a clean system of the release this machine runs (Debian 12 or 13), in
# minimal systems made with debootstrap in a temporary
# folder (never on this machine itself):
# 1. built there from the source with nothing but build-essential and its Build-Depends
#    installed, so that a missing build dependency fails, and built again in another folder,
#    byte for byte the same (the build is reproducible); the package is left in build/package;
# 2. installed with apt as a user would (apt pulls in what it depends on), both programs run (the
#    window program on SDL's dummy driver), the renderer traces the golden picture, and `apt-get
#    purge` leaves none of its files behind;
# 3. its autopkgtests (debian/tests) run by Debian's autopkgtest against it, in a third copy.
# Needs root and Debian's package archive.
# Usage: tools/try-package.sh [BASE]
#        tools/try-package.sh make BASE
# BASE: a folder holding the minimal system and a copy of it readied for each step (what apt
# fetches and installs there), made beforehand with `make` (the test command makes it while its
# legs run); without it, the minimal system is made first.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages debootstrap autopkgtest dpkg-dev
# Readies a copy ROOT of the minimal system for step NAME: what apt fetches and installs there
# before the step itself (build: build-essential and the Build-Depends; autopkgtest: what the
# tests depend on beside the package; each: the package lists).
ready() {
    as_root mount -t proc proc "$2/proc"
    as_root chroot "$2" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
        export DEBIAN_FRONTEND=noninteractive
        quietly apt-get update
    '
    case "$1" in
    build)
        as_root mkdir -p "$2/prepare/source"
        tar --exclude=./build --exclude=./.git -cf - . | as_root tar -xf - -C "$2/prepare/source"
        as_root chroot "$2" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
            export DEBIAN_FRONTEND=noninteractive
            quietly apt-get install -y --no-install-recommends build-essential
            cd /prepare/source
            quietly apt-get build-dep -y --no-install-recommends ./
        '
        as_root rm -rf "$2/prepare"
        ;;
    autopkgtest)
        # shellcheck disable=SC2046 # one word per package
        as_root chroot "$2" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
            export DEBIAN_FRONTEND=noninteractive
            quietly apt-get install -y --no-install-recommends "$@"
        ' bash $(sed -n 's/^Depends: //p' debian/tests/control | tr ',' '\n' | tr -d ' ' | grep -vx pathtracer | sort -u)
        ;;
    esac
    as_root umount "$2/proc"
}
steps=(build install autopkgtest)
if [ "${1:-}" = make ] && [ $# -eq 2 ]; then
    echo "Making a minimal $DEBIAN_NAME in $2/minimal, and a copy of it readied for each step"
    make_minimal_debian "$DEBIAN_CODENAME" "$2/minimal"
    for step in "${steps[@]}"; do
        as_root cp -a "$2/minimal" "$2/$step"
        ready "$step" "$2/$step"
    done
    exit 0
fi
[ $# -le 1 ] || { echo "usage: tools/try-package.sh [BASE] | make BASE" >&2; exit 2; }
deb=$PWD/build/package/pathtracer_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
work=$(mktemp -d)
cleanup() {
    for root in "$work"/*/; do
        umount "$root/proc" 2>/dev/null || true
    done
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
base=${1:-$work}
if [ $# -eq 0 ]; then
    echo "Making a minimal $DEBIAN_NAME in $base/minimal"
    make_minimal_debian "$DEBIAN_CODENAME" "$base/minimal"
fi
# The system for each step: the copy readied beforehand, else a fresh copy of the minimal one.
# (A step still asks apt for all it needs: with the copy readied, apt finds it there.)
fresh() {
    if [ -d "$base/$1" ] && [ "$base" != "$work" ]; then
        as_root mv "$base/$1" "$work/$1"
    else
        as_root cp -a "$base/minimal" "$work/$1"
    fi
    as_root mount -t proc proc "$work/$1/proc"
    echo "$work/$1"
}

# 1. Built from the source with only its build dependencies, in folder $1 of the system.
root=$(fresh build)
build_there() {
    as_root mkdir -p "$root$1/source"
    tar --exclude=./build --exclude=./.git -cf - . | as_root tar -xf - -C "$root$1/source"
    as_root chroot "$root" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
        export DEBIAN_FRONTEND=noninteractive
        cd "$1/source"
        quietly apt-get build-dep -y --no-install-recommends ./
        quietly dpkg-buildpackage -b -us -uc -j"$(nproc)"
    ' bash "$1"
    ls "$root$1"/pathtracer_*_"$(dpkg --print-architecture)".deb
}
as_root chroot "$root" /bin/bash -euo pipefail -c "$(declare -f quietly)"'
    export DEBIAN_FRONTEND=noninteractive
    quietly apt-get update
    quietly apt-get install -y --no-install-recommends build-essential
'
built=$(build_there /build)
# Reproducible: built again from the same source with the same packages, in another folder, it
# is the same bytes. (Not compared with a package built on this machine, whose packages may be
# older or newer than the archive's now.)
again=$(build_there /elsewhere/to/build)
if ! cmp -s "$built" "$again"; then
    echo "FAIL: the package built twice on a minimal $DEBIAN_NAME differs (not reproducible)"
    sha256sum "$built" "$again"
    # Which of its files differ, to find why.
    mkdir -p "$work/a" "$work/b"
    dpkg-deb -R "$built" "$work/a" && dpkg-deb -R "$again" "$work/b"
    diff -r "$work/a" "$work/b" | head -n 20 || true
    exit 1
fi
mkdir -p build/package
cp "$built" "$deb"
echo "built twice on a minimal $DEBIAN_NAME with only its Build-Depends, byte for byte the same: $deb"

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
