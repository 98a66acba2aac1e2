# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit ARM with hardware floating point (armhf) with Debian's cross compiler (arm-linux-gnueabihf-g++); tests run under qemu-arm.
set(PATHTRACER_CROSS_PROCESSOR armv7l)
set(PATHTRACER_CROSS_COMPILER arm-linux-gnueabihf)
set(PATHTRACER_CROSS_MULTIARCH arm-linux-gnueabihf)
set(PATHTRACER_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
