# SPDX-License-Identifier: MIT
# Sourced by the test scripts of both programs.

# Reports a failed check and counts it: a script ends with `[ "$failures" -eq 0 ]`.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# golden NAME: the golden value of that name (tests/golden.txt).
golden_values=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/golden.txt
golden() {
    awk -v name="$1" '$1 == name { print $2; found = 1 } END { exit !found }' "$golden_values"
}

# Sets `render` to the renderer's command given as the script's arguments (its path, after an
# emulator and its options when cross-built), with names relative to where the script was
# started made absolute, so that they hold from a work folder too.
render_command() {
    render=()
    local word
    for word in "$@"; do
        [[ -e $word && $word != /* ]] && word=$PWD/$word
        render+=("$word")
    done
}

# wait_for [-s STEP] SECONDS CONDITION...: polls the condition every STEP seconds (0.1 unless
# given) until it holds; fails when it still does not after SECONDS.
wait_for() {
    local step=0.1
    if [ "$1" = -s ]; then
        step=$2
        shift 2
    fi
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep "$step"
    done
}

# traced_at_least FILE COUNT: FILE holds at least COUNT "Tracing time" lines (none while it is
# not there yet).
traced_at_least() {
    local lines
    lines=$(grep -c '^Tracing time: ' "$1" 2>/dev/null) || true
    [ "${lines:-0}" -ge "$2" ]
}

# gone PID: the process has ended.
gone() {
    ! kill -0 "$1" 2>/dev/null
}

# traced_or_gone FILE COUNT PID: FILE holds COUNT "Tracing time" lines, or the process has ended
# (what to wait for before looking at which).
traced_or_gone() {
    traced_at_least "$1" "$2" || gone "$3"
}

# A PNG written whole: its signature first, its closing IEND chunk last (a truncated or
# half-written one ends elsewhere).
whole_png() {
    [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] &&
        [ "$(tail -c 12 "$1" | od -An -tx1 | tr -d ' \n')" = 0000000049454e44ae426082 ]
}

# summary_or_gone FILE PID: FILE holds the summary line, or the process has ended.
summary_or_gone() {
    grep -q '^Traced ' "$1" || gone "$2"
}

# The "Tracing time" lines the window program has written so far to $work/out.txt.
timing_lines() {
    local n
    n=$(grep -c '^Tracing time: ' "$work/out.txt" 2>/dev/null)
    echo "${n:-0}"
}

# forge_checkpoint IN OUT CHANGE VALUE: the checkpoint IN with one change and a valid checksum
# (python3 computes the CRC-32), written to OUT. CHANGE: frames (the frame count), sum (the first
# pixel's red sum), held (the top band's held bounces), extra (one byte more at the end), width
# (the picture's width, the sums cut to it). The layout: docs/checkpoint-format.md.
forge_checkpoint() {
    python3 - "$@" <<'EOF'
import struct, sys, zlib
source, out, change, value = sys.argv[1:5]
WIDTH, FRAMES, HELD = 12, 24, 156  # where the header's fields begin
data = bytearray(open(source, 'rb').read()[:-4])
top, bottom = struct.unpack('<II', data[HELD:HELD + 8])
sums = HELD + 8 + 2 * (top + bottom)
if change == 'frames':
    data[FRAMES:FRAMES + 8] = struct.pack('<Q', int(value))
elif change == 'sum':
    data[sums:sums + 4] = struct.pack('<f', float(value))
elif change == 'held':
    data[HELD:HELD + 4] = struct.pack('<I', int(value))
elif change == 'extra':
    data += b'\0'
elif change == 'width':
    data = data[:WIDTH] + struct.pack('<I', int(value)) + data[WIDTH + 4:sums + int(value) * 480 * 12]
else:
    sys.exit('forge_checkpoint: no change ' + change)
data += struct.pack('<I', zlib.crc32(bytes(data)))
open(out, 'wb').write(data)
EOF
}

# prepare_nobody FOLDER (root only): sets `as_nobody` to the command words that run what follows
# as the user nobody, and `render_anyone` to the renderer's command as nobody can run it. The
# build folder may be closed to other users (a checkout in a 0700 home folder, as Debian makes
# /root), so where nobody cannot reach the renderer there it runs a copy in FOLDER, which every
# user must be able to enter and which the caller removes.
prepare_nobody() {
    as_nobody=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups)
    render_anyone=("${render[@]}")
    local last=$((${#render[@]} - 1))
    # (Whether nobody can reach the file itself, as strace or env must: setpriv may still start
    # a program nobody cannot reach.)
    if ! "${as_nobody[@]}" test -x "${render[$last]}"; then
        cp "${render[$last]}" "$1/pathtracer-render" && chmod 755 "$1/pathtracer-render"
        render_anyone=("${render[@]:0:$last}" "$1/pathtracer-render")
    fi
}

# ended PID: the child process has ended (a zombie not yet waited for, or gone).
ended() {
    [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" = Z ] || gone "$1"
}

# waits_in PID FUNCTION: the process's main thread waits in the kernel function of that name
# (its wchan: pipe_write for a full pipe, wait_for_partner for a FIFO's reader).
waits_in() {
    grep -q "$2" "/proc/$1/wchan" 2>/dev/null
}
