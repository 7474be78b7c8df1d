# SPDX-License-Identifier: MIT
# libku.so must export exactly the names in exports.txt, nothing of the C++ runtime and no
# file-local helper.
add_test(NAME exports
         COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:ku>
                 -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/exports.txt
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/install/check_exports.cmake)
