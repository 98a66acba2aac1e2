# SPDX-License-Identifier: MIT
# Cross-builds for IBM Z, big-endian (s390x) with Debian's cross compiler (s390x-linux-gnu-g++); tests run under qemu-s390x.
set(PATHTRACER_CROSS_PROCESSOR s390x)
set(PATHTRACER_CROSS_COMPILER s390x-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH s390x-linux-gnu)
set(PATHTRACER_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
