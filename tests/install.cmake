# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix and builds a C consumer against it through
# pkg-config and through find_package(ku).
add_test(NAME install_and_consume
         COMMAND ${CMAKE_COMMAND}
                 -DBUILD_DIR=${PROJECT_BINARY_DIR}
                 -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                 -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install_and_consume
                 -DC_COMPILER=${CMAKE_C_COMPILER}
                 "-DC_FLAGS=${CMAKE_C_FLAGS}"
                 "-DLINK_FLAGS=${CMAKE_EXE_LINKER_FLAGS}"
                 "-DGENERATOR=${CMAKE_GENERATOR}"
                 -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/install/install_test.cmake)
