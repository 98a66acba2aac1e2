#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds pathtracer (the release preset: for any CPU, the widest instruction set chosen when it
# starts) and starts it. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
# Where SDL draws the window's title bar itself (Wayland, through libdecor), a plugin to draw it.
read_package_lists_once
install_missing_packages "${BUILD_PACKAGES[@]}" $(first_offered libdecor-0-plugin-1-cairo || true)
cmake --preset release
cmake --build --preset release -j "$(nproc)"
exec build/release/pathtracer "$@"
