# SPDX-License-Identifier: MIT
# Sourced by the renderer's test scripts.

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
