#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion installed for pathtracer-render, as bash-completion runs it: the options,
# the instruction sets for --simd (each one the program takes), and file names for the options
# naming files.
# Usage: completion_test.sh SOURCE_DIR PATHTRACER_RENDER   (exit 77: no bash-completion here)
set -uo pipefail
source_dir=$1
render=$(realpath "$2")
[ -r /usr/share/bash-completion/bash_completion ] || { echo "no bash-completion"; exit 77; }
source /usr/share/bash-completion/bash_completion
source "$source_dir/desktop/pathtracer-render.bash-completion"
source "$source_dir/tests/scripts/script_support.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir folder
touch picture.png picture.exr picture.ppm notes.txt state.ckpt

# Completes the command line given (its last word the one completed) and prints the candidates
# sorted on one line.
complete_line() {
    COMP_WORDS=("$render" "$@")
    COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _pathtracer_render "pathtracer-render" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}


# The line after the command, then the candidates.
while IFS='|' read -r line expected; do
    read -ra words <<<"$line"
    [ "${line: -1}" != ' ' ] || words+=("")
    got=$(complete_line "${words[@]}")
    [ "$got" = "$expected" ] || fail "'$line' gives '$got', not '$expected'"
done <<EOF_CASES
--si|--simd
--check|--checkpoint --checkpoint-every
--q|--quiet
--output |folder picture.exr picture.png picture.ppm
--output pic|picture.exr picture.png picture.ppm
--frames 8 --json |folder notes.txt picture.exr picture.png picture.ppm state.ckpt
--resume st|state.ckpt
--frames |
EOF_CASES

# For --output, the formats the program saves, as its message names them: a file of each is
# offered (and one of another kind is not), and the manual page names each.
read -ra extensions <<<"$("$render" --output x 2>&1 | grep -o '\.[a-z]\+' | tr '\n' ' ')"
[ "${#extensions[@]}" -ge 3 ] || fail "no picture formats named by --output's message"
mkdir formats
expected=
for extension in "${extensions[@]}"; do
    touch "formats/a$extension"
    expected+=" formats/a$extension"
    grep -q "^\.RB ( \\$extension )" "$source_dir/docs/man/pathtracer-render.1.in" ||
        fail "the manual page does not name $extension"
done
touch formats/a.txt
got=$(complete_line --output formats/)
expected=$(tr ' ' '\n' <<<"${expected# }" | sort | tr '\n' ' ')
[ "$got" = "${expected% }" ] || fail "--output formats/ gives '$got', not '${expected% }'"

# For --simd, the names the program takes: each one offered traces a frame with it.
read -ra offered <<<"$(complete_line --simd '')"
[ "${#offered[@]}" -gt 0 ] || fail "no instruction set offered for --simd"
for set in "${offered[@]}"; do
    "$render" --simd "$set" --frames 1 --quiet >/dev/null 2>&1 || fail "--simd $set is offered but refused"
done
[ "$failures" -eq 0 ]
