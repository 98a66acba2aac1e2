# SPDX-License-Identifier: MIT
# Fails when the second build of the fast tracer (compiled for a vector unit the baseline lacks)
# defines a symbol that another object may define too (a weak or unique symbol: an inline
# function or template kept out of line), other than its own namespace's: the linker could take
# that copy for callers on processors without the unit.
# Usage: cmake -DNM=nm -DOBJECTS=a.o;b.o -P check-extended-object.cmake
foreach(object IN LISTS OBJECTS)
  # Mangled names (no brackets or semicolons to upset CMake's lists): name, type, value, size.
  execute_process(COMMAND ${NM} --defined-only --format=posix ${object} OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" lines "${symbols}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ]+) [WVu] ")
      set(name "${CMAKE_MATCH_1}")
      if(NOT name MATCHES "13fast_extended")
        list(APPEND shared "${name}")
      endif()
    endif()
  endforeach()
endforeach()
if(shared)
  list(JOIN shared "\n  " shared)
  message(FATAL_ERROR "The fast tracer's second build defines functions the plain build may "
                      "share; keep them inline or in its namespace:\n  ${shared}")
endif()
