#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test command's scripts say what failed: a step that fails in a script sourcing
# tools/packages.sh names its line, its command and its status, the command inside a substitution
# too; `quietly` keeps a command's output aside and shows its last lines only when it fails.
# Usage: tools_test.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/script_support.sh"

# Runs the script given on standard input from the source tree, as the scripts in tools/ run.
script() {
    cat >"$work/script.sh"
    (cd "$source" && bash "$work/script.sh") >"$work/out" 2>&1
}

# A failure in a substitution, which prints nothing of its own.
if script <<'SCRIPT'; then fail "a failing substitution did not stop the script"; fi
set -euo pipefail
source tools/packages.sh
found=$(false)
echo "not reached"
SCRIPT
grep -qx 'FAIL: .*script.sh, line 3: false (status 1)' "$work/out" ||
    fail "the failing command inside the substitution is not named: $(cat "$work/out")"
grep -qx 'FAIL: .*script.sh, line 3: found=$(false) (status 1)' "$work/out" ||
    fail "the failing step is not named: $(cat "$work/out")"
! grep -q 'not reached' "$work/out" || fail "the script went on after a failure"

# Failures that are answers (conditions, ||) are not reported.
script <<'SCRIPT' || fail "a condition's failure stopped the script: $(cat "$work/out")"
set -euo pipefail
source tools/packages.sh
if [ -n "$(echo a | grep b)" ]; then echo found; fi
grep -q nothing /dev/null || echo none
SCRIPT
[ "$(cat "$work/out")" = none ] || fail "a condition's failure was reported: $(cat "$work/out")"

# quietly: nothing shown when the command succeeds; its last 40 lines and what failed when not.
script <<'SCRIPT' || fail "quietly failed on a command that succeeds: $(cat "$work/out")"
set -euo pipefail
source tools/packages.sh
quietly seq 100
SCRIPT
[ ! -s "$work/out" ] || fail "quietly showed a command's output though it succeeded: $(cat "$work/out")"
if script <<'SCRIPT'; then fail "quietly hid a failure"; fi
set -euo pipefail
source tools/packages.sh
quietly sh -c 'seq 100; echo "E: Unable to locate package nothing" >&2; exit 100'
SCRIPT
[ "$(sed -n 1p "$work/out")" = 62 ] || fail "quietly did not start at the last 40 lines: $(head -n 3 "$work/out")"
[ "$(sed -n 40p "$work/out")" = "E: Unable to locate package nothing" ] ||
    fail "quietly did not show the failing command's last line: $(cat "$work/out")"
grep -qx 'FAIL: sh -c .* (status 100)' "$work/out" || fail "quietly did not say what failed: $(cat "$work/out")"
[ "$failures" -eq 0 ]
