#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The window program end to end on Wayland: under a private weston (its headless back end, the
# kiosk shell showing the window full screen on a 640x480 output) and no X server, it starts,
# traces frames and shows the picture the headless renderer makes after as many frames (compared
# on 16x16-pixel block means, which the noise of a few frames hardly moves), and exits with
# status 0 on SIGINT. (Weston's headless back end has no keyboard: the key press is tested
# under Xvfb, window_test.sh.)
# Usage: wayland_test.sh PATHTRACER PATHTRACER_RENDER [SDL_LIBRARY]
# SDL_LIBRARY, when given, is preloaded in place of the SDL 1.2 the program was linked with (it
# must be sdl12-compat: classic SDL 1.2 has no Wayland driver).
set -u
source "$(dirname "$0")/script_support.sh"
program=$1
render=$2
sdl_library=${3:-}
work=$(mktemp -d)
weston_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
    [ -n "$weston_pid" ] && kill "$weston_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
die() { echo "FAIL: $*"; exit 1; }
for tool in weston weston-screenshooter convert compare; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
# The options below are weston 11's and later's (Debian 13 has 14; Debian 12's 10 is skipped).
weston_major=$(weston --version 2>/dev/null | sed -n 's/^weston \([0-9]*\).*/\1/p')
if [ "${weston_major:-0}" -lt 11 ]; then
    echo "SKIP: weston ${weston_major:-?} is older than 11"
    exit 77
fi

mkdir -m 0700 "$work/run"
export XDG_RUNTIME_DIR=$work/run WAYLAND_DISPLAY=pathtracer-test
unset DISPLAY SDL_VIDEODRIVER
# --debug offers weston's screen capture to clients (weston-screenshooter).
weston --backend=headless --renderer=pixman --shell=kiosk --width=640 --height=480 \
    --socket="$WAYLAND_DISPLAY" --no-config --idle-time=0 --debug >"$work/weston.log" 2>&1 &
weston_pid=$!
socket_ready() { [ -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY" ]; }
wait_for 20 socket_ready || die "weston did not start: $(tail -n 20 "$work/weston.log")"

set -m # the program gets default signal dispositions, as from a terminal
if [ -n "$sdl_library" ]; then
    LD_PRELOAD=$sdl_library "$program" >"$work/out.txt" 2>"$work/err.txt" &
else
    "$program" >"$work/out.txt" 2>"$work/err.txt" &
fi
app_pid=$!
set +m
wait_for 60 traced_or_gone "$work/out.txt" 6 "$app_pid" || die "fewer than 6 frames in 60 s: $(cat "$work/out.txt" "$work/err.txt")"
gone "$app_pid" && die "the program stopped before 6 frames: $(cat "$work/out.txt" "$work/err.txt")"

# The screenshot shows the picture after at least this many frames.
frames=$(timing_lines)
mkdir "$work/shot"
(cd "$work/shot" && weston-screenshooter >/dev/null 2>&1) || die "weston-screenshooter failed"
shot=$(ls "$work"/shot/*.png 2>/dev/null | head -n 1)
[ -n "$shot" ] || die "no screenshot was written"
[ "$(identify -format '%wx%h' "$shot")" = 640x480 ] || die "screenshot is $(identify -format '%wx%h' "$shot")"
[ -n "${PATHTRACER_SCREENSHOT:-}" ] && cp "$shot" "$PATHTRACER_SCREENSHOT"

kill -INT "$app_pid"
wait_for 30 gone "$app_pid" || die "still running 30 s after SIGINT"
wait "$app_pid"
status=$?
app_pid=
[ "$status" -eq 0 ] || die "exit status $status after SIGINT: $(cat "$work/err.txt")"
bad=$(grep -v -c -E '^Tracing time: [0-9]+ ms\.$' "$work/out.txt")
[ "$bad" -eq 0 ] || die "$bad malformed output lines"

"$render" --frames "$frames" --output "$work/headless.ppm" >/dev/null || die "the headless renderer failed"
convert "$shot" -alpha off -scale 40x30 "$work/a.ppm" && convert "$work/headless.ppm" -scale 40x30 "$work/b.ppm" \
    || die "ImageMagick could not read the pictures"
rmse=$(compare -metric RMSE "$work/a.ppm" "$work/b.ppm" null: 2>&1 | sed -n 's/.*(\([0-9.e-]*\)).*/\1/p')
awk -v e="$rmse" 'BEGIN { exit !(e != "" && e < 0.015) }' \
    || die "the window shows another picture than the headless renderer after $frames frames (RMSE of block means $rmse)"
echo "Wayland window test passed: $(timing_lines) frames, block means within $rmse of the headless picture after $frames${sdl_library:+ with $sdl_library}"
