# SPDX-License-Identifier: MIT
# Configures, builds and runs the parent project of this directory once per way of pulling ku
# in, then reads the parent's cache: ku must not have set the build type, added CTest's or
# CPack's settings, or switched on anything but the library.
# Usage: cmake -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=... -DCXX_COMPILER=...
#              [-DGENERATOR=...] [-DMAKE_PROGRAM=...] -P subproject_test.cmake
foreach(var SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/../run_step.cmake)

foreach(mode add_subdirectory FetchContent)
  set(build ${WORK_DIR}/${mode})
  # No CMAKE_BUILD_TYPE: the parent leaves it empty, and so must ku.
  set(args -S ${SOURCE_DIR}/tests/subproject -B ${build} -DKU_PARENT_MODE=${mode}
      -DKU_SOURCE_DIR=${SOURCE_DIR} -DFETCHCONTENT_SOURCE_DIR_KU=${SOURCE_DIR}
      -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  if(GENERATOR)
    list(APPEND args -G ${GENERATOR})
  endif()
  if(MAKE_PROGRAM)
    list(APPEND args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
  endif()
  run(${CMAKE_COMMAND} ${args})

  file(STRINGS ${build}/CMakeCache.txt cache REGEX "^[A-Za-z_]+:")
  set(problems "")
  foreach(entry IN LISTS cache)
    if(entry MATCHES "^CMAKE_BUILD_TYPE:[A-Z]+=(.+)$")
      list(APPEND problems "the build type was set to ${CMAKE_MATCH_1}")
    elseif(entry MATCHES "^(CPACK_[A-Za-z_]*|BUILD_TESTING|DART_[A-Za-z_]*):")
      list(APPEND problems "${CMAKE_MATCH_1} was written into the cache")
    elseif(entry MATCHES "^(KU_BUILD_[A-Z]+|KU_INSTALL):BOOL=(.*)$" AND NOT CMAKE_MATCH_2 STREQUAL "OFF")
      list(APPEND problems "${CMAKE_MATCH_1} is ${CMAKE_MATCH_2} in a subproject")
    endif()
  endforeach()
  if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "${mode}: ku changed its parent's cache:\n  ${text}")
  endif()

  run(${CMAKE_COMMAND} --build ${build})
  foreach(app parent_app parent_app_static)
    run(${build}/${app})
    if(NOT run_output STREQUAL "parent: ok\n")
      message(FATAL_ERROR "${mode}: ${app} printed [${run_output}]")
    endif()
  endforeach()
  message(STATUS "${mode}: the parent built and ran against ku::ku and ku::ku_static")
endforeach()
