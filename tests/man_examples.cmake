# SPDX-License-Identifier: MIT
# Each library manual page renders without warnings, and the program of its EXAMPLES section
# compiles as C11 against the library and runs successfully.
find_program(KU_GROFF groff)
file(GLOB KU_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/man/*.[1-9])

separate_arguments(KU_EXAMPLE_FLAGS UNIX_COMMAND "${CMAKE_C_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}")
foreach(page IN LISTS KU_MAN_PAGES)
  get_filename_component(page_name ${page} NAME)
  if(KU_GROFF)
    add_test(NAME man_renders.${page_name}
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man/render.sh ${page})
  endif()
  if(page_name MATCHES "\\.3$")
    add_test(NAME man_example.${page_name}
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man/example.sh ${page}
                     ${CMAKE_CURRENT_BINARY_DIR}/man_examples ${CMAKE_C_COMPILER}
                     ${PROJECT_SOURCE_DIR}/lib/include $<TARGET_FILE_DIR:ku> ${KU_EXAMPLE_FLAGS})
  endif()
endforeach()
