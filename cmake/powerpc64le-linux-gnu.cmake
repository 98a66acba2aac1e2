# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit little-endian POWER (ppc64el) with Debian's cross compiler (powerpc64le-linux-gnu-g++); tests run under qemu-ppc64le.
set(PATHTRACER_CROSS_PROCESSOR ppc64le)
set(PATHTRACER_CROSS_COMPILER powerpc64le-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH powerpc64le-linux-gnu)
set(PATHTRACER_CROSS_QEMU qemu-ppc64le)
# qemu-ppc64le has no "max": its most capable processor is a POWER10.
set(PATHTRACER_CROSS_CPU power10)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
