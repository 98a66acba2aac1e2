# SPDX-License-Identifier: MIT
# Cross-builds for 64-bit ARM with Debian's cross compiler (g++-aarch64-linux-gnu) against the
# arm64 libraries of a multiarch system (dpkg --add-architecture arm64; libpng-dev:arm64 ...).
# Tests and the programs run under qemu-user, so ctest works unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# The arm64 C library of the multiarch system (libc6:arm64) runs the programs: with the cross
# toolchain's copy instead (qemu-aarch64 -L /usr/aarch64-linux-gnu), qemu 7.2 hangs on the first
# thread started.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# Headers and CMake package files are shared between the architectures under /usr; libraries are
# looked up in the arm64 multiarch folder only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
