#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Debian packages: builds libku0, libku-dev and hostpeek with dpkg-buildpackage from a copy of the
# tree, fails on any lintian error or warning, unpacks the packages into a scratch root and builds
# a C and a C++ consumer against that root alone, through pkg-config and through find_package.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(ku VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$packaged" ]; then
  echo "== debian/changelog is at $packaged, CMakeLists.txt at $version"
  exit 1
fi
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/ku-$version
mkdir "$src"
# dpkg-buildpackage writes beside the source tree and into debian/: build in a copy.
git ls-files -z --cached --others --exclude-standard | tar -cf - --null -T - | tar -xf - -C "$src"

echo "== dpkg-buildpackage"
if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
  >"$work/build.log" 2>&1; then
  tail -n 80 "$work/build.log"
  exit 1
fi

echo "== lintian"
lintian --fail-on error,warning --info --display-info "$work/ku_${version}_$(dpkg --print-architecture).changes" \
  2> >(grep -v 'running with root privileges' >&2)

root=$work/root
for pkg in libku0 libku-dev hostpeek; do
  dpkg -x "$work/${pkg}_${version}_$(dpkg --print-architecture).deb" "$root"
done
libdir=$root/usr/lib/$arch
for f in "$libdir/libku.so.0" "$libdir/libku.so" "$libdir/libku.a" "$libdir/pkgconfig/ku.pc" \
  "$libdir/cmake/ku/kuConfig.cmake" "$root/usr/include/ku/ku.h" "$root/usr/bin/hostpeek" \
  "$root/usr/share/man/man1/hostpeek.1.gz" "$root/usr/share/man/man3/ku_alloc.3.gz" \
  "$root/usr/share/man/man3/ku_home_new.3.gz" "$root/usr/share/man/man3/ku_strdup.3.gz" \
  "$root/usr/share/doc/libku0/copyright" "$root/usr/share/doc/libku0/changelog.gz" \
  "$root/usr/share/doc/libku-dev/homes.md.gz"; do
  [ -e "$f" ] || { echo "== the packages lack ${f#"$root"}"; exit 1; }
done
MANPATH=$root/usr/share/man man -P cat ku_home_new 2>/dev/null | head -n 1 | grep -q '^KU_ALLOC(3)'

echo "== hostpeek from the package"
out=$(LD_LIBRARY_PATH=$libdir "$root/usr/bin/hostpeek" -n 80 127.0.0.1)
[ "$out" = $'6@[127.0.0.1]:80\n17@[127.0.0.1]:80\n0@[127.0.0.1]:80' ] || {
  echo "$out"
  exit 1
}

# The level report quoted in ku_log(3) is what the packaged library prints.
quoted=$(zcat "$root/usr/share/man/man3/ku_log.3.gz" | grep '^lib/ku_log\.cpp:')
printed=$(SHOW_DEBUG_LEVELS= KU_DEBUG=3 LD_LIBRARY_PATH=$libdir "$root/usr/bin/hostpeek" -n 80 127.0.0.1 2>&1 >/dev/null)
grep -Fqx -- "$quoted" <<<"$printed" || {
  printf 'ku_log(3) quotes %s\nthe packaged library printed:\n%s\n' "$quoted" "$printed"
  exit 1
}

echo "== consumers through pkg-config"
# Only the unpacked ku.pc, which finds its prefix from its own place inside the scratch root.
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
cflags=$(pkg-config --cflags ku)
case $cflags in *"-I$root/"*) ;; *) echo "pkg-config --cflags ku gave: $cflags"; exit 1 ;; esac
rpath=$(pkg-config --variable=libdir ku)
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -pedantic -Werror tests/consumer/consumer.c -o "$work/consumer" \
  -DKU_PACKAGE_VERSION="\"$(pkg-config --modversion ku)\"" $(pkg-config --cflags --libs ku) \
  -Wl,-rpath,"$rpath"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -pedantic -Werror tests/deb/consumer.cpp -o "$work/consumer_cxx" \
  $(pkg-config --cflags --libs ku) -Wl,-rpath,"$rpath"
"$work/consumer"
"$work/consumer_cxx"
unset PKG_CONFIG_LIBDIR

echo "== consumers through find_package(ku)"
for project in tests/consumer tests/deb; do
  build=$work/cmake-$(basename "$project")
  cmake -S "$project" -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >"$work/cmake.log" 2>&1 || {
    cat "$work/cmake.log"
    exit 1
  }
  grep -q "^ku_DIR:PATH=$libdir/cmake/ku$" "$build/CMakeCache.txt" || {
    grep '^ku_DIR' "$build/CMakeCache.txt"
    exit 1
  }
  cmake --build "$build" >"$work/cmake.log" 2>&1 || {
    cat "$work/cmake.log"
    exit 1
  }
done
"$work/cmake-consumer/consumer"
"$work/cmake-consumer/consumer_static"
"$work/cmake-deb/consumer_cxx"
echo "== packages built, lintian silent, consumers built and run"
