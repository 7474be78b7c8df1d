# SPDX-License-Identifier: MIT
# lib/ku.map is the one list of exported names: libku.so, the public definitions in libku.a and
# debian/libku0.symbols must agree with it (man_page_for_every_export checks the manual pages).
add_test(NAME exports
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DREADELF=${CMAKE_READELF}
                 -DSHARED=$<TARGET_FILE:ku> -DSTATIC=$<TARGET_FILE:ku_static>
                 -DMAP=${PROJECT_SOURCE_DIR}/lib/ku.map
                 -DSYMBOLS=${PROJECT_SOURCE_DIR}/debian/libku0.symbols
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check_exports.cmake)
