# SPDX-License-Identifier: MIT
# The attributes of the allocation calls.  attr/check.sh compiles attr/uses.c as C11 and as
# C++17 and compares the warnings with the ones it expects; ku_alloc_attr_test runs copies past
# the end of home blocks under _FORTIFY_SOURCE=3, which needs optimisation (and no sanitizer,
# which checks copies its own way).
if(CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_C_COMPILER_VERSION VERSION_GREATER_EQUAL 11)
  set(kind gcc)
elseif(CMAKE_C_COMPILER_ID MATCHES "Clang")
  set(kind clang)
else()
  set(kind other)
endif()
set(flags -O2 -I${PROJECT_SOURCE_DIR}/lib/include -I${KU_GENERATED_INCLUDE})
add_test(NAME attributes_warn_where_they_should_c11
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/attr/check.sh ${kind} ${CMAKE_C_COMPILER}
                 -std=c11 ${flags})
add_test(NAME attributes_warn_where_they_should_cxx17
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/attr/check.sh ${kind} ${CMAKE_CXX_COMPILER}
                 -x c++ -std=c++17 ${flags})

if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
  target_compile_options(ku_alloc_attr_test PRIVATE -O2 -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
endif()
