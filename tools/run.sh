#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds pathtracer (the release preset: for any CPU, the widest instruction set chosen when it
# starts) and starts it. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}"
cmake --preset release
cmake --build --preset release -j "$(nproc)"
exec build/release/pathtracer "$@"
