# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit ARM (arm64) with Debian's cross compiler (aarch64-linux-gnu-g++); tests run under qemu-aarch64.
set(PATHTRACER_CROSS_PROCESSOR aarch64)
set(PATHTRACER_CROSS_COMPILER aarch64-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH aarch64-linux-gnu)
set(PATHTRACER_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
