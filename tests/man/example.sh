#!/bin/sh
# SPDX-License-Identifier: MIT
# Extracts the program of a manual page's EXAMPLES section (its .EX/.EE blocks, in order),
# compiles it as C11 against the library and runs it.
# usage: example.sh PAGE WORKDIR CC INCLUDEDIR LIBDIR [COMPILER AND LINKER FLAGS...]
set -eu
page=$1 work=$2 cc=$3 inc=$4 lib=$5
shift 5
name=$(basename "$page" | tr . _)
mkdir -p "$work"
src=$work/$name.c
exe=$work/$name

# roff escapes used in code: \e (backslash), \- (minus), \(aq, \(dq, \(ti, \(ha, \(rs, \&.
awk '
  /^\.SH/ { ex = ($0 ~ /^\.SH +"?EXAMPLES?"?[ \t]*$/); code = 0; next }
  ex && /^\.EE/ { code = 0; next }
  ex && code { print }
  ex && /^\.EX/ { code = 1 }
' "$page" | sed -e 's/\\e/\x01/g' -e 's/\\(rs/\x01/g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" \
  -e 's/\\(dq/"/g' -e 's/\\(ti/~/g' -e 's/\\(ha/^/g' -e 's/\\&//g' -e 's/\x01/\\/g' >"$src"

if [ ! -s "$src" ]; then
  echo "$page: no .EX/.EE block in its EXAMPLES section" >&2
  exit 1
fi
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic "$@" -I"$inc" -o "$exe" "$src" \
  -L"$lib" -Wl,-rpath,"$lib" -lku
env -u KU_DEBUG -u BROME_DEBUG -u SHOW_DEBUG_LEVELS "$exe"
