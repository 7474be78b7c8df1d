# SPDX-License-Identifier: MIT
# The Debian package holds a usable library: build it with cpack, unpack it into a scratch
# root with dpkg -x, and build and run a C11 consumer (through pkg-config) and a C++17 consumer
# of <ku/ku.hpp> against the unpacked files alone.
find_program(KU_DPKG dpkg)
find_program(KU_PKG_CONFIG pkg-config)
if(NOT KU_DPKG OR NOT KU_PKG_CONFIG)
  message(STATUS "dpkg or pkg-config missing: no package test")
  return()
endif()

set(KU_PACKAGE_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/package_test)
file(WRITE ${KU_PACKAGE_TEST_DIR}/consumer.c [=[
#include <ku/ku.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>
#include <ku/ku_log.h>
#include <ku/ku_sockaddr.h>
#include <ku/ku_socket.h>
#include <string.h>

int main(void) {
  ku_home_t *home;
  char *text;
  int ok;

  ku_init();
  home = ku_home_create();
  text = ku_alloc(home, 6);
  if (home == NULL || text == NULL) return 1;
  memcpy(text, "hello", 6);
  ok = ku_in_home(home, text) && ku_seterrno(0) == -1 && ku_cmp_sockaddr(NULL, NULL) == 0;
  ku_home_unref(home);
  ku_deinit();
  return ok ? 0 : 1;
}
]=])
file(WRITE ${KU_PACKAGE_TEST_DIR}/consumer.cpp [=[
#include <ku/ku.hpp>
#include <string>

int main() {
  ku::unique_home home = ku::unique_home::create();
  ku::home_resource resource(home.get());
  std::pmr::string text("a string long enough to leave the small buffer", &resource);
  return ku_in_home(home.get(), text.data()) ? 0 : 1;
}
]=])
file(WRITE ${KU_PACKAGE_TEST_DIR}/run.sh [=[
set -eu
cpack=$1 config=$2 work=$3 cc=$4 cxx=$5 flags=$6
rm -rf "$work/out" "$work/root"
"$cpack" -G DEB --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  exit 1
}
deb=$(ls "$work"/out/*.deb)
dpkg-deb --info "$deb" >"$work/info.txt"
grep -q '^ *Package: ku$' "$work/info.txt"
grep -q '^ *Depends: .*libc6' "$work/info.txt"
dpkg-deb --contents "$deb" >"$work/contents.txt"
for f in ./usr/lib/libku.so.0 ./usr/lib/libku.a ./usr/include/ku/ku.h ./usr/include/ku/ku.hpp \
         ./usr/lib/pkgconfig/ku.pc ./usr/lib/cmake/ku/kuConfig.cmake ./usr/bin/hostpeek \
         ./usr/share/man/man3/ku_alloc.3; do
  grep -q " $f" "$work/contents.txt" || { echo "package lacks $f" >&2; exit 1; }
done
dpkg -x "$deb" "$work/root"
grep -qx 'prefix=/usr' "$work/root/usr/lib/pkgconfig/ku.pc"

export PKG_CONFIG_SYSROOT_DIR="$work/root" PKG_CONFIG_LIBDIR="$work/root/usr/lib/pkgconfig"
export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
pc=$(pkg-config --cflags --libs ku)
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra -Werror -D_POSIX_C_SOURCE=200809L $flags "$work/consumer.c" -o "$work/consumer" $pc
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Wextra -Werror $flags "$work/consumer.cpp" -o "$work/consumer_cpp" $pc
LD_LIBRARY_PATH="$work/root/usr/lib" "$work/consumer"
LD_LIBRARY_PATH="$work/root/usr/lib" "$work/consumer_cpp"
]=])

add_test(NAME package_deb_builds_and_links
         COMMAND sh ${KU_PACKAGE_TEST_DIR}/run.sh ${CMAKE_CPACK_COMMAND}
                 ${PROJECT_BINARY_DIR}/CPackConfig.cmake ${KU_PACKAGE_TEST_DIR}
                 ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER}
                 "${CMAKE_C_FLAGS} ${CMAKE_EXE_LINKER_FLAGS}")
# cpack installs the whole build tree into its staging area; keep other tests off its heels.
set_tests_properties(package_deb_builds_and_links PROPERTIES RUN_SERIAL ON TIMEOUT 600)
