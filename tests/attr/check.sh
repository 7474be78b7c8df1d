#!/bin/sh
# SPDX-License-Identifier: MIT
# Compiles uses.c and compares the warnings with its "expect:" comments: each names, for the
# line below it, the warning options that must appear there ("gcc -Wx" or "clang -Wx" for one
# compiler only).  Any other warning, or a missing one, fails.
# usage: check.sh gcc|clang|other COMPILER [FLAGS...]
set -eu
kind=$1
shift
src=$(dirname "$0")/uses.c
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

awk -v kind="$kind" '
  /expect:/ {
    text = $0
    sub(/.*expect: */, "", text)
    sub(/ *\*\/.*/, "", text)
    n = split(text, items, / *, */)
    for (i = 1; i <= n; i++) {
      m = split(items[i], w, / +/)
      if (m == 1 || w[1] == kind) print FNR + 1 ": " w[m]
    }
  }
' "$src" | sort >"$tmp/expected"

if ! "$@" -Wall -Wextra -c "$src" -o "$tmp/uses.o" 2>"$tmp/log"; then
  cat "$tmp/log" >&2
  exit 1
fi
sed -n 's/^[^:]*uses\.c:\([0-9]*\):[0-9]*: warning: .*\[\(-W[^]]*\)\]$/\1: \2/p' "$tmp/log" |
  sort >"$tmp/actual"
if ! cmp -s "$tmp/expected" "$tmp/actual"; then
  echo "warnings expected (<) and given (>), as line: option" >&2
  diff "$tmp/expected" "$tmp/actual" >&2 || true
  cat "$tmp/log" >&2
  exit 1
fi
