#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every source, script and CMake file names its licence near its top, as the REUSE convention
# asks, and the licence text is where the README and the package say it is.
# Usage: licence_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
status=0
[ -f LICENSE ] && grep -q '^MIT License$' LICENSE || { echo "FAIL: no MIT LICENSE"; status=1; }
grep -q '^License: Expat$' debian/copyright || { echo "FAIL: debian/copyright names no Expat licence"; status=1; }
while IFS= read -r -d '' file; do
    if ! head -n 3 "$file" | grep -q 'SPDX-License-Identifier: MIT'; then
        echo "FAIL: no SPDX-License-Identifier line at the top of $file"
        status=1
    fi
done < <(find . -path ./build -prune -o -path ./.git -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.cmake' -o -name CMakeLists.txt \
       -o -name '*.in' -o -name '*.xml' -o -name '*.desktop' -o -path ./debian/rules \
       -o -path ./.ci/run -o -path './debian/tests/*' \) -print0)
exit "$status"
