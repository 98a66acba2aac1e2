#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A minimal Debian system of another release in a folder, made with debootstrap (never changing
# this machine's own system), with a copy of this source tree in /source; commands run there
# with this machine's /proc, /sys and /dev. The test command runs the other release's legs so.
# Needs root and Debian's package archive.
# Usage: tools/in-debian.sh make CODENAME DIR      (CODENAME: bookworm, trixie, sid)
#        tools/in-debian.sh run DIR COMMAND...    (run in /source)
#        tools/in-debian.sh remove DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
usage() {
    echo "usage: tools/in-debian.sh make CODENAME DIR | run DIR COMMAND... | remove DIR" >&2
    exit 2
}
[ $# -ge 2 ] || usage

# Detached whole even while a process stopped early still holds a file there, so that no mount
# is left half taken apart (a /dev without its /dev/pts) for the next run.
unmount() {
    local mount
    for mount in proc sys dev; do
        ! mountpoint -q "$1/$mount" || as_root umount -R -l "$1/$mount"
    done
}

case "$1" in
make)
    [ $# -eq 3 ] || usage
    install_missing_packages debootstrap
    echo "Making a minimal Debian $2 in $3"
    # Its root folder open to its own users (apt downloads as _apt), whatever mktemp made it.
    as_root chmod 0755 "$3"
    make_minimal_debian "$2" "$3" with-sources
    as_root mkdir -p "$3/source"
    tar --exclude=./build --exclude=./.git -cf - . | as_root tar -xf - -C "$3/source"
    ;;
run)
    [ $# -ge 3 ] || usage
    root=$2
    shift 2
    [ -d "$root/source" ] || { echo "tools/in-debian.sh: no system made in $root" >&2; exit 1; }
    trap 'unmount "$root"' EXIT
    for mount in proc sys dev; do
        mountpoint -q "$root/$mount" && continue
        as_root mount --rbind "/$mount" "$root/$mount"
        as_root mount --make-rslave "$root/$mount"
    done
    as_root chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 CI="${CI:-}" PATHTRACER_ONE_RELEASE="${PATHTRACER_ONE_RELEASE:-}" \
        PATHTRACER_PREPARE_ONLY="${PATHTRACER_PREPARE_ONLY:-}" \
        PATHTRACER_NETWORK_PATIENCE="${PATHTRACER_NETWORK_PATIENCE:-}" \
        PATHTRACER_CROSS_LIBS_REFUSE="${PATHTRACER_CROSS_LIBS_REFUSE:-}" \
        PATHTRACER_I386_RUNNER="${PATHTRACER_I386_RUNNER:-}" \
        /bin/bash -c 'cd /source && exec "$@"' bash "$@"
    ;;
remove)
    [ $# -eq 2 ] || usage
    unmount "$2"
    as_root rm -rf --one-file-system "$2"
    ;;
*)
    usage
    ;;
esac
