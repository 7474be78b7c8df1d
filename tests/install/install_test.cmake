# SPDX-License-Identifier: MIT
# Installs a build tree into a scratch prefix, checks the layout, runs the installed hostpeek and
# builds the consumer program against the install: through pkg-config, and through
# find_package(ku), as a position-independent and a plain executable against the shared library
# and against the static one.
#
# Usage: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=... [-DC_FLAGS=...]
#              [-DLINK_FLAGS=...] [-DGENERATOR=...] [-DMAKE_PROGRAM=...] -P install_test.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/../run_step.cmake)

function(expect_output expected)
  run(${ARGN})
  if(NOT run_output STREQUAL expected)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "${cmd}\nprinted: [${run_output}]\nexpected: [${expected}]")
  endif()
endfunction()

# ---- The install tree ----
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file IN ITEMS
        bin/hostpeek lib/libku.a lib/libku.so lib/libku.so.0
        lib/pkgconfig/ku.pc lib/cmake/ku/kuConfig.cmake lib/cmake/ku/kuConfigVersion.cmake
        share/man/man1/hostpeek.1 share/doc/ku/homes.md share/doc/ku/CHANGELOG.md
        include/ku/ku.h include/ku/ku_socket.h include/ku/ku_sockaddr.h include/ku/ku_log.h
        include/ku/ku_alloc.h include/ku/ku_alloc_stat.h)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(link IN ITEMS lib/libku.so lib/libku.so.0)
  if(NOT IS_SYMLINK ${prefix}/${link})
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
endforeach()
file(GLOB headers RELATIVE ${prefix}/include/ku ${prefix}/include/ku/*)
set(expected ku.h ku.hpp ku_alloc.h ku_alloc_stat.h ku_log.h ku_sockaddr.h ku_socket.h ku_version.h)
if(NOT headers STREQUAL expected)
  message(FATAL_ERROR "expected the public headers ${expected} in include/ku, found: ${headers}")
endif()

find_program(READELF readelf)
if(READELF)
  run(${READELF} -d ${prefix}/lib/libku.so)
  if(NOT run_output MATCHES "Library soname: \\[libku\\.so\\.0\\]")
    message(FATAL_ERROR "libku.so does not carry the SONAME libku.so.0")
  endif()
endif()

# The installed command finds the installed library through its relative run path.
expect_output("6@[127.0.0.1]:80\n17@[127.0.0.1]:80\n0@[127.0.0.1]:80\n"
              ${prefix}/bin/hostpeek -n 80 127.0.0.1)

separate_arguments(c_flags UNIX_COMMAND "${C_FLAGS}")
separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")

# ---- Consumer through pkg-config ----
find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is needed to test the installed ku.pc")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
run(${PKG_CONFIG} --cflags ku)
separate_arguments(pc_cflags UNIX_COMMAND "${run_output}")
run(${PKG_CONFIG} --libs ku)
separate_arguments(pc_libs UNIX_COMMAND "${run_output}")
run(${PKG_CONFIG} --variable=libdir ku)
string(STRIP "${run_output}" pc_libdir)
file(REAL_PATH ${pc_libdir} pc_libdir)
file(REAL_PATH ${prefix}/lib prefix_libdir)
if(NOT pc_libdir STREQUAL prefix_libdir)
  message(FATAL_ERROR "ku.pc names ${pc_libdir} as its libdir, not the install's ${prefix_libdir}")
endif()
run(${PKG_CONFIG} --modversion ku)
string(STRIP "${run_output}" pc_version)
run(${PKG_CONFIG} --static --libs ku)
separate_arguments(pc_static_libs UNIX_COMMAND "${run_output}")
list(TRANSFORM pc_static_libs REPLACE "^-lku$" "-l:libku.a")
# The program is built the ways programs are: position-independent by the compiler's default,
# as a plain executable (which copies the exported objects it names into itself), with -fPIC,
# and against the static library.
foreach(variant IN ITEMS pie no-pie fpic static)
  set(variant_flags "")
  set(variant_libs ${pc_libs})
  if(variant STREQUAL "no-pie")
    set(variant_flags -fno-pie -no-pie)
  elseif(variant STREQUAL "fpic")
    set(variant_flags -fPIC)
  elseif(variant STREQUAL "static")
    set(variant_libs ${pc_static_libs})
  endif()
  set(program ${WORK_DIR}/consumer-pkgconfig-${variant})
  run(${C_COMPILER} -std=c11 -Wall -Wextra -pedantic -Werror ${c_flags} ${variant_flags}
      ${pc_cflags} "-DKU_PACKAGE_VERSION=\"${pc_version}\""
      ${SOURCE_DIR}/tests/consumer/consumer.c -o ${program}
      ${link_flags} ${variant_flags} ${variant_libs} -Wl,-rpath,${pc_libdir})
  expect_output("consumer: ok\n" ${program})
endforeach()
# The plain executable must hold copies of the exported objects, or it would not test them.
if(READELF)
  run(${READELF} -rW ${WORK_DIR}/consumer-pkgconfig-no-pie)
  if(NOT run_output MATCHES "_COPY[^\n]* count_ku_block_find")
    message(FATAL_ERROR "the plain executable holds no copy of count_ku_block_find")
  endif()
endif()

# ---- Consumer through find_package(ku) ----
set(configure_args -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/consumer-cmake
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
if(GENERATOR)
  list(APPEND configure_args -G ${GENERATOR})
endif()
if(MAKE_PROGRAM)
  list(APPEND configure_args -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM})
endif()
run(${CMAKE_COMMAND} ${configure_args})
file(STRINGS ${WORK_DIR}/consumer-cmake/CMakeCache.txt ku_dir REGEX "^ku_DIR:")
string(REGEX REPLACE "^ku_DIR:[A-Z]*=" "" ku_dir "${ku_dir}")
file(REAL_PATH ${ku_dir} ku_dir)
file(REAL_PATH ${prefix}/lib/cmake/ku prefix_cmake_dir)
if(NOT ku_dir STREQUAL prefix_cmake_dir)
  message(FATAL_ERROR "find_package(ku) found ${ku_dir}, not the install's ${prefix_cmake_dir}")
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-cmake)
foreach(program IN ITEMS consumer consumer_no_pie consumer_static)
  expect_output("consumer: ok\n" ${WORK_DIR}/consumer-cmake/${program})
endforeach()

message(STATUS "install tree, pkg-config consumer and find_package consumer all work")
