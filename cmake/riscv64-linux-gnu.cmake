# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit RISC-V (riscv64, a release architecture since Debian 13) with Debian's cross compiler (riscv64-linux-gnu-g++); tests run under qemu-riscv64.
set(PATHTRACER_CROSS_PROCESSOR riscv64)
set(PATHTRACER_CROSS_COMPILER riscv64-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH riscv64-linux-gnu)
set(PATHTRACER_CROSS_QEMU qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
