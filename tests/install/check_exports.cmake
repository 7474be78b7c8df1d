# SPDX-License-Identifier: MIT
# Checks every list of the library's interface against lib/ku.map, the one written by hand:
#  - libku.so exports exactly its names, in its version node, and nothing of the C++ runtime;
#  - the library's objects (libku.a) mark exactly those names public (KU_API), so a public call
#    left out of the map is caught even though the map then hides it;
#  - debian/libku0.symbols lists exactly those names and the node.
# Each problem is reported with the name and the list that lacks it.
# Usage: cmake -DNM=<nm> -DREADELF=<readelf> -DSHARED=<libku.so> -DSTATIC=<libku.a>
#              -DMAP=<ku.map> -DSYMBOLS=<libku0.symbols> -P check_exports.cmake
foreach(var NM READELF SHARED STATIC MAP SYMBOLS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ku_exports.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../run_step.cmake)
ku_exported_names(${MAP} expected node)

set(problems "")
# compare(<list of found names> <where found>): a problem for each name only one side has.
macro(compare found where)
  set(missing ${expected})
  set(extra ${${found}})
  if(extra)
    list(REMOVE_ITEM missing ${extra})
  endif()
  list(REMOVE_ITEM extra ${expected})
  foreach(name IN LISTS missing)
    list(APPEND problems "${name}: in lib/ku.map, missing from ${where}")
  endforeach()
  foreach(name IN LISTS extra)
    list(APPEND problems "${name}: in ${where}, missing from lib/ku.map")
  endforeach()
endmacro()

# ---- libku.so ----
run(${NM} -D --defined-only ${SHARED})
string(REPLACE "\n" ";" lines "${run_output}")
set(shared "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@@<version>]"; the version node itself is an absolute symbol.
  if(NOT line MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ ]+)$" OR CMAKE_MATCH_1 STREQUAL "A")
    continue()
  endif()
  set(symbol "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "@.*$" "" name "${symbol}")
  if(NOT symbol MATCHES "@@${node}$")
    list(APPEND problems "${symbol}: not in the version node ${node}")
  endif()
  # Mangled names (typeinfo and vtables included) and the C++ runtime's support functions must
  # never become part of a C library's interface.
  if(name MATCHES "^_Z" OR name MATCHES "^__(cxa|gxx|cxx)")
    list(APPEND problems "${name}: C++ symbol exported")
  endif()
  list(APPEND shared "${name}")
endforeach()
list(REMOVE_DUPLICATES shared)
compare(shared "the exports of libku.so")

# ---- libku.a: global definitions of default visibility ----
# Names with two leading underscores are the compiler's (a sanitizer's __odr_asan.*), never ours.
run(${READELF} -sW ${STATIC})
string(REPLACE "\n" ";" lines "${run_output}")
set(public "")
foreach(line IN LISTS lines)
  # "Num: Value Size Type Bind Vis Ndx Name"
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9x]+ +[A-Z_]+ +GLOBAL +DEFAULT +([0-9]+|COM) +([^ ]+)$")
    set(name "${CMAKE_MATCH_2}")
    if(NOT name MATCHES "^__")
      list(APPEND public "${name}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES public)
compare(public "the KU_API definitions of libku.a")

# ---- debian/libku0.symbols: " <name>@<node> <version>" ----
file(STRINGS ${SYMBOLS} lines REGEX "^ ")
set(listed "")
set(has_node FALSE)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^ ([^@ ]+)@([^ ]+) ")
    continue()
  endif()
  if(CMAKE_MATCH_1 STREQUAL node)
    set(has_node TRUE)
  else()
    list(APPEND listed "${CMAKE_MATCH_1}")
  endif()
  if(NOT CMAKE_MATCH_2 STREQUAL node)
    list(APPEND problems "${CMAKE_MATCH_1}@${CMAKE_MATCH_2}: debian/libku0.symbols names another node than ${node}")
  endif()
endforeach()
if(NOT has_node)
  list(APPEND problems "${node}@${node}: the version node is missing from debian/libku0.symbols")
endif()
compare(listed "debian/libku0.symbols")

list(LENGTH expected n)
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "the lists of exported names disagree:\n  ${text}")
endif()
message(STATUS "libku.so, libku.a and debian/libku0.symbols agree with the ${n} names of lib/ku.map")
