#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The map stays true: every file, folder, function, variable, test and benchmark that the README,
# ARCHITECTURE.md and docs/ name in backticks exists in the tree, and every folder and tool is on
# the map (ARCHITECTURE.md). Names of other projects (SDL's,
# Highway's instruction sets) and words of the command line are not the tree's, and not checked.
# Usage: map_test.sh SOURCE_DIR
set -euo pipefail
source "$(dirname "$0")/script_support.sh"
cd "$1"
# Where names are defined or used: everything but the documents that name them.
code=(scene tracer frame headless window tests bench tools cmake debian desktop pathtracer.cpp
    pathtracer_render.cpp CMakeLists.txt CMakePresets.json)

# Whether word $1 occurs in the code.
in_code() {
    grep -rqwF --exclude='*.md' -- "$1" "${code[@]}"
}

# Checks that name $2, written in backticks in document $1, is the tree's.
check() {
    local document=$1 name=$2 word
    case "$name" in
    *'<'* | *'*'?* | *...* | build/* | /* | -*) return ;; # placeholders, patterns, arguments, options
    Set/*) name=${name#Set/} ;;                           # a test on each instruction set
    BM_*) name=${name%%/*} ;;                             # a benchmark, its arguments left out
    */* | *.h | *.cpp | *.sh | *.json | *.md | *.sha256 | *.in)
        [ -e "$name" ] || [ -n "$(find . -path ./build -prune -o -name "$name" -print -quit)" ] ||
            fail "$document names \`$2\`, which is not in the tree"
        return
        ;;
    *::* | g[A-Z]* | [a-z]*[A-Z]* | [A-Z]*[a-z]*[A-Z]* | [a-z]*_[a-z]*) ;;
    *) return ;; # a word of the command line or of another project
    esac
    local words
    read -ra words <<<"${name//[.:()]/ }" # split, never expanded as a file pattern
    for word in "${words[@]}"; do
        [ "$word" = '*' ] || in_code "$word" ||
            fail "$document names \`$2\`: \`$word\` is in no code"
    done
}

# The layers the map draws (ARCHITECTURE.md, the rules): scene/ and tracer/ include nothing of
# the layers above them, frame/ nothing of the programs' own, and none of the three touches files.
for layer in scene tracer frame; do
    above='frame|headless|window'
    [ "$layer" != frame ] || above='headless|window'
    found=$(grep -En "#include \"($above)/" "$layer"/* || true)
    [ -z "$found" ] || fail "$layer/ includes from a layer above it: ${found%%$'\n'*}"
    found=$(grep -En '\b(fopen|fread|fwrite|ofstream|ifstream|fstream|std::cout|std::cin|open|creat|write)\(' \
        "$layer"/* || true)
    [ -z "$found" ] || fail "$layer/ touches files: ${found%%$'\n'*}"
done

# And the map is whole: every folder (to two levels) and every tool is on it, by its name in
# backticks (a folder with its slash).
map=$(grep -o '`[^` ]\+`' ARCHITECTURE.md | tr -d '`')
while IFS= read -r folder; do
    folder=${folder#./}
    grep -qxF -- "$folder/" <<<"$map" || fail "ARCHITECTURE.md does not name the folder \`$folder/\`"
done < <(find . -mindepth 1 -maxdepth 2 -type d \( -name build -o -name .git -o -name 'build-*' \) -prune -o -type d -print)
for tool in tools/*; do
    grep -qxE -- "(tools/)?${tool#tools/}" <<<"$map" || fail "ARCHITECTURE.md does not name the tool \`$tool\`"
done

for document in README.md ARCHITECTURE.md docs/*.md; do
    while IFS= read -r name; do
        check "$document" "$name"
    done < <(grep -o '`[^` ]\+`' "$document" | tr -d '`' | sort -u)
done
[ "$failures" -eq 0 ]
