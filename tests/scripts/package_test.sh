#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package (tools/package.sh, tools/try-package.sh): its fields, its exact file list,
# and the programs unpacked from it (never installed on this machine): versions, the golden
# picture, a window run.
# Usage: package_test.sh DEB
set -u
source "$(dirname "$0")/script_support.sh"
deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = pathtracer ] || fail "package name $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture $(field Architecture)"
depends=$(field Depends)
# Worked out from the binaries by dpkg-shlibdeps: the libraries both programs link (on Debian 13
# some renamed with t64 for 64-bit time).
names=$(echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
for library in libc6 libstdc++6 libpng16-16 libhwy1 libsdl1.2debian; do
    echo "$names" | grep -Fqx -e "$library" -e "${library}t64" || fail "Depends lacks $library: $depends"
done

expected="./usr/bin/pathtracer
./usr/bin/pathtracer-render
./usr/share/applications/example.pathtracer.PathTracer.desktop
./usr/share/bash-completion/completions/pathtracer-render
./usr/share/doc/pathtracer/changelog.gz
./usr/share/doc/pathtracer/copyright
./usr/share/icons/hicolor/256x256/apps/pathtracer.png
./usr/share/icons/hicolor/48x48/apps/pathtracer.png
./usr/share/man/man1/pathtracer-render.1.gz
./usr/share/man/man1/pathtracer.1.gz
./usr/share/metainfo/example.pathtracer.PathTracer.metainfo.xml"
# Debian 13's package and later ones also hold a lintian override
# (debian/appstream.lintian-overrides); the development release has no version.
release=$(. /etc/os-release && echo "${VERSION_ID:-}")
if [ -z "$release" ] || [ "${release%%.*}" -ge 13 ]; then
    expected=$(printf '%s\n./usr/share/lintian/overrides/pathtracer' "$expected" | sort)
fi
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$files" = "$expected" ] || fail "file list differs: $(diff <(echo "$expected") <(echo "$files") | grep '^[<>]' | tr '\n' ' ')"

dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
version=$("$bin/pathtracer-render" --version) || fail "the packaged pathtracer-render does not run"
[ "$version" = "pathtracer-render $(field Version)" ] || fail "--version says '$version', the package $(field Version)"
# The packaged build traces the golden picture of one sequential frame.
"$bin/pathtracer-render" --sequential --frames 1 --output "$work/one.ppm" >/dev/null || fail "a packaged render failed"
[ "$(sha256sum <"$work/one.ppm" | cut -d' ' -f1)" = "$(golden picture_1_frame_sha256)" ] \
    || fail "the packaged renderer traces another picture than the golden one"
# The window program runs (on SDL's dummy driver: no display needed) and ends on SIGTERM.
set -m
SDL_VIDEODRIVER=dummy "$bin/pathtracer" >"$work/window.out" 2>"$work/window.err" &
pid=$!
set +m
wait_for 30 traced_or_gone "$work/window.out" 3 "$pid"
kill -TERM "$pid" 2>/dev/null
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "the packaged pathtracer: status $status: $(cat "$work/window.err")"
[ "$(grep -c '^Tracing time: ' "$work/window.out")" -ge 3 ] || fail "the packaged pathtracer traced no frames"
gzip -dc "$work/root/usr/share/man/man1/pathtracer-render.1.gz" | grep -q '^\.SH SIGNALS' || fail "man page without its SIGNALS section"

[ "$failures" -eq 0 ] && echo "package checks passed: $deb"
[ "$failures" -eq 0 ]
