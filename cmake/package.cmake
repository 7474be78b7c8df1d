# SPDX-License-Identifier: MIT
# Debian package of the library, its headers, the hostpeek command and the manual pages:
#   cpack -G DEB          (in the build tree; installs under /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ku)
set(CPACK_PACKAGE_VENDOR "ku developers")
set(CPACK_PACKAGE_CONTACT "ku developers <ku@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "C-ABI utility library with memory homes, and the hostpeek resolver tool")
# Wrapped by hand: dpkg shows the extended description as it stands.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "libku offers library start-up, error-number helpers and an address-lookup\n"
  "wrapper, socket operations and socket-address comparison, logging with\n"
  "per-module levels set from the environment, and a hierarchical memory\n"
  "allocator in which every allocation belongs to a home and ending a home\n"
  "frees everything in it.\n"
  ".\n"
  "The package holds the shared and static library, the C headers with an\n"
  "optional C++17 layer, the CMake and pkg-config files, the hostpeek command\n"
  "and the manual pages.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(KU_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KU_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
endif()
# The library links only the C library (threads included since glibc 2.34); the C++ runtime
# is only needed by C++ programs that include <ku/ku.hpp>, and they bring their own.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, cmake")

# ku.pc names its prefix as configured (/usr/local by default), but the package installs under
# /usr, and "cmake --install --prefix" may pick yet another.  Rewrite the installed copy with
# the prefix the installation really uses.
install(CODE "set(_ku_pc_dir \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")")
install(CODE [[
  set(_ku_pc "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${_ku_pc_dir}/ku.pc")
  if(EXISTS "${_ku_pc}")
    file(READ "${_ku_pc}" _ku_text)
    string(REGEX REPLACE "(^|\n)prefix=[^\n]*" "\\1prefix=${CMAKE_INSTALL_PREFIX}" _ku_text "${_ku_text}")
    file(WRITE "${_ku_pc}" "${_ku_text}")
  endif()
]])

include(CPack)
