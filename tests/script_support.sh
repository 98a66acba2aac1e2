# SPDX-License-Identifier: MIT
# Sourced by the test scripts of both programs.

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

# wait_for SECONDS CONDITION...: polls the condition every 0.1 s.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# The "Tracing time" lines the window program has written so far to $work/out.txt.
timing_lines() {
    local n
    n=$(grep -c '^Tracing time: ' "$work/out.txt" 2>/dev/null)
    echo "${n:-0}"
}
