# SPDX-License-Identifier: MIT
# lib/ku.map is the one hand-written list of the library's interface.  The tests read it through
# ku_exported_names() and check everything else against it: the names libku.so exports, the
# names the library's objects mark public, debian/libku0.symbols and the manual pages.

# ku_exported_names(<version script> <variable> [<node variable>]): the names of the script's
# global: list, in the order written, and the name of its version node.
function(ku_exported_names map out)
  file(READ ${map} text)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
  if(NOT text MATCHES "^[ \t\r\n]*([A-Za-z0-9_.]+)[ \t\r\n]*{[ \t\r\n]*global:([^}]*)local:")
    message(FATAL_ERROR "${map}: expected \"<node> { global: <names>; local: *; };\"")
  endif()
  set(node "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "[ \t\r\n]+" "" names "${CMAKE_MATCH_2}")
  string(REGEX REPLACE ";$" "" names "${names}")
  set(${out} ${names} PARENT_SCOPE)
  if(ARGC GREATER 2)
    set(${ARGV2} ${node} PARENT_SCOPE)
  endif()
endfunction()
