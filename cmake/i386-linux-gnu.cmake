# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit x86 (i386) with Debian's cross compiler (i686-linux-gnu-g++). On an
# x86-64 machine the kernel runs the tests and programs itself, as it runs any 32-bit program;
# elsewhere qemu-i386 does. (qemu 7.2's i386 emulation breaks pthread_join after a signal has
# been delivered: it fails with EDEADLK, which ends the renderer in std::terminate. The
# same binaries on a real x86 kernel join as they should.)
set(PATHTRACER_CROSS_PROCESSOR i686)
set(PATHTRACER_CROSS_COMPILER i686-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH i386-linux-gnu)
if(CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(PATHTRACER_CROSS_QEMU "")
else()
  set(PATHTRACER_CROSS_QEMU qemu-i386)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
