# SPDX-License-Identifier: MIT
# Cross-builds with one of Debian's cross compilers against the libraries of a multiarch system
# (dpkg --add-architecture ARCH; libhwy-dev:ARCH ...), included by the toolchain file of each
# architecture after it sets:
#   PATHTRACER_CROSS_PROCESSOR  CMAKE_SYSTEM_PROCESSOR
#   PATHTRACER_CROSS_COMPILER   the compilers' prefix (i686-linux-gnu for i386)
#   PATHTRACER_CROSS_MULTIARCH  the multiarch folder's name (i386-linux-gnu)
#   PATHTRACER_CROSS_QEMU       the qemu-user program that runs the tests and programs
#   PATHTRACER_CROSS_CPU        (optional) its processor model, on Debian 13: max by default
# libpng and zlib are linked statically from the architecture's -dev packages unpacked into
# build/cross-libs/<multiarch> (tools/cross-libs.sh): the security archive does not carry every
# architecture, so the machine's own libpng-dev can be newer than another architecture's, and
# apt cannot install the two side by side. Where tools/cross-libs.sh has also unpacked Highway
# and GoogleTest there (Debian 13, whose archive lacks some architectures' C library), those are
# used, and the programs run on the cross compiler's own C library (libc6-dev-ARCH-cross, in
# /usr/<compiler prefix>) on the emulator's most capable processor, so that every vector
# instruction set the architecture has is offered.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PATHTRACER_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${PATHTRACER_CROSS_COMPILER}-gcc)
set(CMAKE_CXX_COMPILER ${PATHTRACER_CROSS_COMPILER}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PATHTRACER_CROSS_MULTIARCH})
# The C library of the multiarch system (libc6:ARCH) runs the programs, found by qemu where the
# architecture's own system would have it.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PATHTRACER_CROSS_QEMU})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${PATHTRACER_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)

get_filename_component(libs "${CMAKE_CURRENT_LIST_DIR}/../build/cross-libs/${PATHTRACER_CROSS_MULTIARCH}" ABSOLUTE)
if(NOT EXISTS "${libs}/usr/include/png.h")
  message(FATAL_ERROR "No libpng for ${PATHTRACER_CROSS_MULTIARCH} in ${libs}: run tools/cross-libs.sh first")
endif()
set(PNG_PNG_INCLUDE_DIR "${libs}/usr/include" CACHE PATH "")
set(PNG_LIBRARY "${libs}/usr/lib/${PATHTRACER_CROSS_MULTIARCH}/libpng16.a" CACHE FILEPATH "")
set(ZLIB_INCLUDE_DIR "${libs}/usr/include" CACHE PATH "")
set(ZLIB_LIBRARY "${libs}/usr/lib/${PATHTRACER_CROSS_MULTIARCH}/libz.a" CACHE FILEPATH "")

# Highway and GoogleTest unpacked beside them, with the C library they run on.
if(EXISTS "${libs}/usr/lib/${PATHTRACER_CROSS_MULTIARCH}/cmake/hwy")
  set(hwy_DIR "${libs}/usr/lib/${PATHTRACER_CROSS_MULTIARCH}/cmake/hwy" CACHE PATH "")
  set(GTest_DIR "${libs}/usr/lib/${PATHTRACER_CROSS_MULTIARCH}/cmake/GTest" CACHE PATH "")
  list(APPEND CMAKE_FIND_ROOT_PATH "${libs}")
  if(PATHTRACER_CROSS_QEMU)
    if(NOT PATHTRACER_CROSS_CPU)
      set(PATHTRACER_CROSS_CPU max)
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PATHTRACER_CROSS_QEMU} -cpu ${PATHTRACER_CROSS_CPU}
        -L /usr/${PATHTRACER_CROSS_COMPILER})
  endif()
endif()
