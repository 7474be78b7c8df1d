# SPDX-License-Identifier: MIT
# Each manual page, as configured into the build tree, renders without warnings, and the program
# of a library page's EXAMPLES section compiles as C11 against the library and runs
# successfully.  Every exported name has a page of its own that man(1) follows to the page
# documenting it.
find_program(KU_GROFF groff)

separate_arguments(KU_EXAMPLE_FLAGS UNIX_COMMAND "${CMAKE_C_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}")
list(APPEND KU_EXAMPLE_FLAGS -I${KU_GENERATED_INCLUDE})
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

# The exported names, one a line, from lib/ku.map.
include(${PROJECT_SOURCE_DIR}/cmake/ku_exports.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/ku.map)
ku_exported_names(${PROJECT_SOURCE_DIR}/lib/ku.map names)
list(JOIN names "\n" names)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/exported_names.txt CONTENT "${names}\n")
add_test(NAME man_page_for_every_export
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man/links.sh ${KU_MAN_DIR}
                 ${CMAKE_CURRENT_BINARY_DIR}/exported_names.txt)

add_test(NAME man_log_report_as_printed
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/man/log_report.sh ${KU_MAN_DIR}/man3/ku_log.3
                 $<TARGET_FILE:hostpeek>)
