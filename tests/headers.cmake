# SPDX-License-Identifier: MIT
# The public headers from C and C++: headers_c.c includes all of them twice and calls through
# them as a strict C11 program; each header also has to compile alone as C11 and as C++17.
# The compile checks run as tests with warnings as errors, whatever the build's own setting.
add_executable(headers_c headers_c.c)
set_target_properties(headers_c PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(headers_c PRIVATE -pedantic)
target_link_libraries(headers_c PRIVATE ku)
add_test(NAME headers_c COMMAND headers_c)

set(KU_HEADER_DIR ${PROJECT_SOURCE_DIR}/lib/include)
set(KU_STRICT_FLAGS -Wall -Wextra -pedantic -Werror -fsyntax-only -I${KU_HEADER_DIR}
    -I${KU_GENERATED_INCLUDE})
add_test(NAME headers_c11_no_warnings
         COMMAND ${CMAKE_C_COMPILER} -std=c11 ${KU_STRICT_FLAGS} ${CMAKE_CURRENT_SOURCE_DIR}/headers_c.c)
foreach(header ku ku_socket ku_sockaddr ku_log ku_alloc ku_alloc_stat)
  add_test(NAME header_${header}_alone_c11
           COMMAND ${CMAKE_C_COMPILER} -x c -std=c11 ${KU_STRICT_FLAGS} ${KU_HEADER_DIR}/ku/${header}.h)
  add_test(NAME header_${header}_alone_cxx17
           COMMAND ${CMAKE_CXX_COMPILER} -x c++ -std=c++17 ${KU_STRICT_FLAGS}
                   ${KU_HEADER_DIR}/ku/${header}.h)
endforeach()
# The generated <ku/ku_version.h> holds macros only, which alone make an empty C program:
# headers_c.c includes it first, before anything else.
add_test(NAME header_ku_version_alone_cxx17
         COMMAND ${CMAKE_CXX_COMPILER} -x c++ -std=c++17 ${KU_STRICT_FLAGS}
                 ${KU_GENERATED_INCLUDE}/ku/ku_version.h)
