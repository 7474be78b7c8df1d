# SPDX-License-Identifier: MIT
# A parent project pulls ku in by add_subdirectory and by FetchContent, links ku::ku and
# ku::ku_static, and keeps its cache and package settings to itself.
add_test(NAME subproject_add_subdirectory_and_fetchcontent
         COMMAND ${CMAKE_COMMAND}
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/subproject
                 -DC_COMPILER=${CMAKE_C_COMPILER}
                 -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                 "-DGENERATOR=${CMAKE_GENERATOR}"
                 -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/subproject/subproject_test.cmake)
