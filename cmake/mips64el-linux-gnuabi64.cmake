# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit little-endian MIPS (mips64el) with Debian's cross compiler (mips64el-linux-gnuabi64-g++); tests run under qemu-mips64el.
set(PATHTRACER_CROSS_PROCESSOR mips64)
set(PATHTRACER_CROSS_COMPILER mips64el-linux-gnuabi64)
set(PATHTRACER_CROSS_MULTIARCH mips64el-linux-gnuabi64)
set(PATHTRACER_CROSS_QEMU qemu-mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
