# SPDX-License-Identifier: MIT
# Cross-builds for 32-bit x86 (i386) with Debian's cross compiler (i686-linux-gnu-g++). Where the
# kernel runs 32-bit x86 programs, it runs the tests and programs itself; where it does not (any
# other processor, or an x86-64 kernel without IA-32 emulation: booted with ia32_emulation=0,
# or a sandbox that leaves it out), qemu-i386 does, as for the other cross-built architectures.
# Which one is found by running a program, once per build folder (the cache variable
# PATHTRACER_I386_RUNNER: kernel or qemu, taken from the environment variable of that name where
# it is set, to try the other way). (qemu 7.2's i386 emulation breaks
# pthread_join after a signal has been delivered: it fails with EDEADLK, which ends the renderer
# in std::terminate. The same binaries on a real x86 kernel join as they should.)
set(PATHTRACER_CROSS_PROCESSOR i686)
set(PATHTRACER_CROSS_COMPILER i686-linux-gnu)
set(PATHTRACER_CROSS_MULTIARCH i386-linux-gnu)

# A static program that only exits (no C library of the architecture needed to run it): the
# kernel either runs it or refuses it ("Exec format error").
function(pathtracer_kernel_runs_i386 result)
  set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/kernel-runs-i386")
  file(WRITE "${probe}.c" "int main(void) { return 0; }\n")
  execute_process(COMMAND ${PATHTRACER_CROSS_COMPILER}-gcc -static -o "${probe}" "${probe}.c"
    RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(ran 1)
  if(built EQUAL 0)
    execute_process(COMMAND "${probe}" RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(ran STREQUAL "0")
    set(${result} ON PARENT_SCOPE)
  else()
    set(${result} OFF PARENT_SCOPE)
  endif()
endfunction()

if(NOT PATHTRACER_I386_RUNNER)
  if(DEFINED ENV{PATHTRACER_I386_RUNNER} AND NOT "$ENV{PATHTRACER_I386_RUNNER}" STREQUAL "")
    set(runner "$ENV{PATHTRACER_I386_RUNNER}")
    set(why "as PATHTRACER_I386_RUNNER says")
  elseif(NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i[3-6]86)$")
    set(runner qemu)
    set(why "on a ${CMAKE_HOST_SYSTEM_PROCESSOR} machine")
  else()
    pathtracer_kernel_runs_i386(kernel_runs)
    if(kernel_runs)
      set(runner kernel)
      set(why "which runs 32-bit x86 programs")
    else()
      set(runner qemu)
      set(why "this kernel runs no 32-bit x86 programs")
    endif()
  endif()
  if(runner STREQUAL "kernel")
    message(STATUS "The i386 tests run on this kernel itself, ${why}")
  else()
    message(STATUS "The i386 tests run under qemu-i386: ${why}")
  endif()
  set(PATHTRACER_I386_RUNNER ${runner} CACHE STRING
    "What runs the i386 tests and programs: the kernel itself, or qemu-i386")
  set_property(CACHE PATHTRACER_I386_RUNNER PROPERTY STRINGS kernel qemu)
endif()
# CMake's checks that build and run a program see the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PATHTRACER_I386_RUNNER)

if(PATHTRACER_I386_RUNNER STREQUAL "kernel")
  set(PATHTRACER_CROSS_QEMU "")
elseif(PATHTRACER_I386_RUNNER STREQUAL "qemu")
  set(PATHTRACER_CROSS_QEMU qemu-i386)
else()
  message(FATAL_ERROR "PATHTRACER_I386_RUNNER is kernel or qemu, not '${PATHTRACER_I386_RUNNER}'")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
