# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix and builds a C consumer against it through
# pkg-config and through find_package(ku); then builds the programs of examples/ against the
# same install, as a user would (find_package(ku), warnings as errors), and runs each.
set(KU_TEST_PREFIX ${CMAKE_CURRENT_BINARY_DIR}/install_and_consume/prefix)
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
set_tests_properties(install_and_consume PROPERTIES FIXTURES_SETUP ku_installed)

set(examples ${CMAKE_CURRENT_BINARY_DIR}/examples)
set(strict "-Wall -Wextra -pedantic -Werror")
add_test(NAME examples_build
         COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test ${PROJECT_SOURCE_DIR}/examples ${examples}
                 --build-generator ${CMAKE_GENERATOR} --build-makeprogram ${CMAKE_MAKE_PROGRAM}
                 --build-options -DCMAKE_PREFIX_PATH=${KU_TEST_PREFIX}
                 -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
                 "-DCMAKE_C_FLAGS=${CMAKE_C_FLAGS} ${strict}"
                 "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS} ${strict}"
                 "-DCMAKE_EXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}")
set_tests_properties(examples_build PROPERTIES FIXTURES_REQUIRED ku_installed
                                               FIXTURES_SETUP ku_examples)
add_test(NAME example.request COMMAND ${examples}/request)
add_test(NAME example.request_cpp COMMAND ${examples}/request_cpp)
add_test(NAME example.logging COMMAND ${examples}/logging a b)
set_tests_properties(example.request example.request_cpp example.logging
                     PROPERTIES FIXTURES_REQUIRED ku_examples)
set_tests_properties(example.logging PROPERTIES ENVIRONMENT APP_DEBUG=2
                     PASS_REGULAR_EXPRESSION "main\\(\\) argument 2: b\n"
                     FAIL_REGULAR_EXPRESSION "not written")
