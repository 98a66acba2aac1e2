# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit ARM with software floating point (armel) with Debian's cross compiler (arm-linux-gnueabi-g++); tests run under qemu-arm.
set(PATHTRACER_CROSS_PROCESSOR armv5tel)
set(PATHTRACER_CROSS_COMPILER arm-linux-gnueabi)
set(PATHTRACER_CROSS_MULTIARCH arm-linux-gnueabi)
set(PATHTRACER_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
