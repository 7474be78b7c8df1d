# SPDX-License-Identifier: MIT
# Compares the dynamic symbols that libku.so defines with the checked-in list of public names.
# Usage: cmake -DNM=<nm> -DLIBRARY=<libku.so> -DEXPECTED=<exports.txt> -P check_exports.cmake
foreach(var NM LIBRARY EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

set(actual "")
set(problems "")
string(REPLACE "\n" ";" lines "${nm_out}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@@<version>]"; the version node itself is an absolute symbol.
  if(NOT line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ ]+)$")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(symbol "${CMAKE_MATCH_2}")
  if(type STREQUAL "A")
    continue()
  endif()
  string(REGEX REPLACE "@.*$" "" name "${symbol}")
  if(NOT symbol MATCHES "@@KU_0$")
    list(APPEND problems "${symbol}: not in the version node KU_0")
  endif()
  # Mangled names (typeinfo and vtables included) and the C++ runtime's support functions must
  # never become part of a C library's interface.
  if(name MATCHES "^_Z" OR name MATCHES "^__(cxa|gxx|cxx)")
    list(APPEND problems "${name}: C++ symbol exported")
  endif()
  list(APPEND actual "${name}")
endforeach()
list(SORT actual)
list(REMOVE_DUPLICATES actual)

file(STRINGS ${EXPECTED} expected)
list(SORT expected)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
foreach(name IN LISTS missing)
  list(APPEND problems "${name}: public name not exported")
endforeach()
foreach(name IN LISTS extra)
  list(APPEND problems "${name}: exported but not a public name")
endforeach()

list(LENGTH actual n_actual)
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "libku.so exports differ from ${EXPECTED}:\n  ${text}")
endif()
message(STATUS "libku.so exports exactly the ${n_actual} public names")
