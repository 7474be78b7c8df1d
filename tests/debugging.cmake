# SPDX-License-Identifier: MIT
# The recipes of doc/debugging.md, each run against an install of this build: once, in the
# plain GCC build (the dev preset), where the library is not itself instrumented.  A recipe
# whose tool is not installed is skipped.
if(CMAKE_C_COMPILER_ID STREQUAL "GNU" AND CMAKE_BUILD_TYPE STREQUAL "Debug"
   AND NOT CMAKE_C_FLAGS MATCHES "-fsanitize=" AND KU_INSTALL)
  foreach(recipe asan valgrind helgrind tsan subproject)
    add_test(NAME debugging_recipe_${recipe}
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/debugging/recipe.sh ${recipe}
                     ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/debugging)
    set_tests_properties(debugging_recipe_${recipe} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 280)
  endforeach()
endif()
