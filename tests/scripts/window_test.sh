#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The window program end to end under a private Xvfb.
# Usage: window_test.sh PATHTRACER MODE [SDL_LIBRARY]
#   key      it starts, traces frames, shows the scene, and exits with status 0 after a key press
#   sigint   ... and exits with status 0 within a frame or so of SIGINT (Ctrl-C)
#   sigterm  ... the same for SIGTERM
#   motion   ... and a key pressed while the pointer keeps moving over the window ends it too
#   nodriver without a usable video driver, without any display, or with only a driver that shows
#            no window, it stops at once with a diagnostic naming `screen'
# SDL_LIBRARY, when given, is preloaded in place of the SDL 1.2 the program was linked with.
set -u
source "$(dirname "$0")/script_support.sh"
program=$1
mode=$2
sdl_library=${3:-}
work=$(mktemp -d)
xvfb_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
die() { echo "FAIL: $*"; exit 1; }

for tool in Xvfb xdotool xprop convert import; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
done
[ -z "$sdl_library" ] || [ -e "$sdl_library" ] || die "no SDL library at $sdl_library"
# Runs in a subshell of its own (as a background job or under env), so it execs the program:
# signals sent to the job's PID then reach the program itself.
run_program() {
    if [ -n "$sdl_library" ]; then
        LD_PRELOAD=$sdl_library exec "$@"
    else
        exec "$@"
    fi
}

# expect_startup_failure DESCRIPTION ENV-ARGS...: the program, started under `env ENV-ARGS`,
# stops at once with status 134 (SIGABRT) and a diagnostic naming `screen' with a reason.
expect_startup_failure() {
    local what=$1
    shift
    timeout -s KILL 20 env "$@" bash -c "$(declare -f run_program); sdl_library='$sdl_library'; run_program '$program'" \
        >"$work/out.txt" 2>"$work/err.txt"
    local status=$?
    [ "$status" -eq 134 ] || die "status $status $what, expected 134 (SIGABRT): $(head -c 2000 "$work/err.txt")"
    grep -q "Assertion \`screen' failed: ." "$work/err.txt" || die "no diagnostic naming screen with a reason $what: $(head -c 2000 "$work/err.txt")"
    [ ! -s "$work/out.txt" ] || die "output was written $what: $(head -c 200 "$work/out.txt")"
    echo "$what: $(cat "$work/err.txt")"
}

if [ "$mode" = nodriver ]; then
    # Assertions vanish from release builds; these checks must not.
    expect_startup_failure "with an unknown video driver" -u DISPLAY SDL_VIDEODRIVER=nosuchdriver
    expect_startup_failure "without any display" -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER
    # What the user can do is said before the failed check.
    grep -B 100 "Assertion \`screen' failed" "$work/err.txt" |
        grep -q "^pathtracer: no window can be opened here: start pathtracer in a graphical session" ||
        die "no word on what to do before the diagnostic: $(head -c 2000 "$work/err.txt")"
    # Nor on a terminal that ncurses does not know, or with no TERM at all (a service, env -i).
    expect_startup_failure "without any display, on an unknown terminal" -u DISPLAY \
        -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER TERM=pathtracer-no-such-terminal
    expect_startup_failure "without any display or TERM" -u DISPLAY -u WAYLAND_DISPLAY \
        -u SDL_VIDEODRIVER -u TERM
    # A Wayland session without an X server: classic SDL 1.2 has no Wayland driver and falls back
    # to a text-terminal one, sdl12-compat to one that shows nothing; neither is taken unasked.
    expect_startup_failure "with only a Wayland display" -u DISPLAY -u SDL_VIDEODRIVER \
        WAYLAND_DISPLAY=wayland-pathtracer-test XDG_RUNTIME_DIR="$work"
    # (SDL 3, under sdl2-compat, falls back to no driver at all: the program says so.)
    grep -qE "no graphical display: SDL found only its '[a-z]*' video driver, which shows no window|no graphical display SDL can use \(.+\)" \
        "$work/err.txt" || die "the diagnostic does not say that no driver showing a window was found"
    echo "window test passed (nodriver)${sdl_library:+ with $sdl_library}"
    exit 0
fi

# A display of our own: Xvfb picks a free number itself and writes it to descriptor 3 once it
# listens (choosing one here could race with another test starting at the same time). Without
# -noreset the server resets whenever its last client leaves, and a client connecting meanwhile
# (SDL opens the display twice in a row) is refused.
Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 10 test -s "$work/display" || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(head -n 1 "$work/display")"
xdotool getmouselocation >/dev/null 2>&1 || die "no X server at $DISPLAY: $(cat "$work/xvfb.log")"


set -m  # the program gets default signal dispositions, as from a terminal
run_program "$program" >"$work/out.txt" 2>"$work/err.txt" &
app_pid=$!
set +m

wait_for 60 traced_or_gone "$work/out.txt" 6 "$app_pid" || die "fewer than 6 frames in 60 s: $(cat "$work/out.txt" "$work/err.txt")"
traced_at_least "$work/out.txt" 6 || die "the program stopped before 6 frames: $(cat "$work/out.txt" "$work/err.txt")"
window=$(xdotool search --name '^pathtracer - press any key to quit$' | head -n 1)
[ -n "$window" ] || die "no window titled 'pathtracer - press any key to quit'"
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 640 ] && [ "$HEIGHT" = 480 ] || die "window is ${WIDTH}x${HEIGHT}, expected 640x480"

# Tied to its menu entry: the window's class is the entry's StartupWMClass, and it has an icon
# (_NET_WM_ICON under sdl12-compat, the older WM_HINTS pixmap under classic SDL 1.2).
entry_class=$(sed -n 's/^StartupWMClass=//p' "$(dirname "$0")/../../desktop/example.pathtracer.PathTracer.desktop")
[ -n "$entry_class" ] || die "the desktop entry names no StartupWMClass"
xprop -id "$window" WM_CLASS | grep -qF "= \"$entry_class\", \"$entry_class\"" ||
    die "the window's class is not the desktop entry's '$entry_class': $(xprop -id "$window" WM_CLASS)"
xprop -id "$window" _NET_WM_ICON WM_HINTS | grep -qE '^_NET_WM_ICON\(CARDINAL\) =[[:space:]]+Icon \(48 x 48\)|bitmap id # to use for icon' ||
    die "the window has no icon: $(xprop -id "$window" _NET_WM_ICON WM_HINTS | head -c 300)"

import -window "$window" "$work/shot.png" || die "screenshot failed"
[ -n "${PATHTRACER_SCREENSHOT:-}" ] && cp "$work/shot.png" "$PATHTRACER_SCREENSHOT"
# mean R G B (0 to 1) of a WxH+X+Y region of the screenshot
region() { convert "$work/shot.png" -crop "$1" +repage -format '%[fx:mean.r] %[fx:mean.g] %[fx:mean.b]' info:; }
read -r r g b < <(region 640x40+0+0)
awk -v r="$r" -v g="$g" -v b="$b" 'BEGIN { exit !(r > 0.9 && g > 0.9 && b > 0.9) }' \
    || die "top band is not bright: $r $g $b"
read -r r g b < <(region 40x100+0+170)
awk -v r="$r" -v g="$g" -v b="$b" 'BEGIN { exit !(r > 0.25 && r > 3 * g && r > 3 * b) }' \
    || die "left wall is not red: $r $g $b"
read -r r g b < <(region 40x100+600+170)
awk -v r="$r" -v g="$g" -v b="$b" 'BEGIN { exit !(g > 0.25 && g > 3 * r && g > 3 * b) }' \
    || die "right wall is not green: $r $g $b"

case "$mode" in
key)
    # Keys go to the window under the pointer when no window manager runs.
    xdotool mousemove --window "$window" 320 240
    xdotool key space
    ;;
motion)
    # Far more pointer motion than the event queue holds, with the key pressed in the middle.
    xdotool mousemove --window "$window" 320 240
    (for i in $(seq 300); do
        xdotool mousemove --window "$window" $((100 + i)) $((100 + i % 200))
        [ "$i" -eq 150 ] && touch "$work/halfway"
    done) &
    flood=$!
    wait_for -s 0.01 60 test -e "$work/halfway" || die "the pointer did not move"
    xdotool key space
    pressed_at=$(timing_lines)
    wait "$flood"
    ;;
sigint) kill -INT "$app_pid" ;;
sigterm) kill -TERM "$app_pid" ;;
*) die "unknown mode $mode" ;;
esac
wait_for 30 gone "$app_pid" || die "still running 30 s after the $mode"
wait "$app_pid"
status=$?
app_pid=
[ "$status" -eq 0 ] || die "exit status $status after the $mode: $(cat "$work/err.txt")"
if [ "$mode" = motion ]; then
    # The key is taken at the start of the next frame; allow a frame for timing and for the
    # press to reach the program.
    after=$(($(timing_lines) - pressed_at))
    [ "$after" -le 3 ] || die "$after frames traced after the key press"
fi

lines=$(wc -l <"$work/out.txt")
[ "$lines" -ge 6 ] || die "only $lines output lines"
bad=$(grep -v -c -E '^Tracing time: [0-9]+ ms\.$' "$work/out.txt")
[ "$bad" -eq 0 ] || die "$bad malformed output lines: $(grep -v -E '^Tracing time: [0-9]+ ms\.$' "$work/out.txt" | head -n 3)"
echo "window test passed ($mode): $lines frames${sdl_library:+ with $sdl_library}"
