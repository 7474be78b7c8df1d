#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one recipe of doc/debugging.md against an install of the build tree, as its reader would,
# and checks what the tool printed.  Exits with 77 (skipped) when the tool is not installed.
# Usage: recipe.sh <recipe> <source dir> <build dir> <work dir>
set -uo pipefail
recipe=$1 source=$2 build=$3 work=$4/$1
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; echo "--- output"; cat "$work/out.txt"; exit 1; }

probe() {  # probe <compiler flags>: can the C compiler build and run a program with them?
  echo 'int main(void) { return 0; }' > "$work/probe.c"
  cc "$@" "$work/probe.c" -o "$work/probe" >/dev/null 2>&1 && "$work/probe" >/dev/null 2>&1
}

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
case $recipe in
  asan | subproject) probe -fsanitize=address || skip "no AddressSanitizer" ;;
  tsan) probe -fsanitize=thread || skip "no ThreadSanitizer" ;;
  valgrind | helgrind) command -v valgrind >/dev/null || skip "no valgrind" ;;
esac
[ "$recipe" != subproject ] || command -v ninja >/dev/null || skip "no ninja"

# Every file the document gives goes into the work directory; run.sh only from this recipe.
awk -v want="$recipe" '
  /^<!-- recipe [a-z]+: [^ ]+ -->$/ { r = $3; sub(/:$/, "", r); file = $4; next }
  file != "" && /^```/ && !inside { inside = 1; keep = (file != "run.sh" || r == want);
                                     if (keep) printf "" > file; next }
  inside && /^```$/ { inside = 0; file = ""; next }
  inside && keep { print >> file }
' "$source/doc/debugging.md"
[ -s run.sh ] || fail "doc/debugging.md has no recipe $recipe"

cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "install"
export PREFIX=$work/prefix KU_SOURCE_DIR=$source
unset KU_DEBUG BROME_DEBUG ASAN_OPTIONS TSAN_OPTIONS
bash run.sh > out.txt 2>&1

expect() { grep -Ezq -- "$1" out.txt || fail "expected /$1/"; }
case $recipe in  # with grep -z, '.' matches newlines too
  asan)
    expect 'heap-use-after-free'
    expect 'freed by thread T0 here:.*ku_home_unref.*main'
    ;;
  valgrind)
    expect 'definitely lost in loss record.*ku_home_create.*main \(leak.c:6\)'
    expect 'ku: 1 home still alive at exit.home 0x[0-9a-f]+ "request": 1 block, 10 bytes'
    expect 'ERROR SUMMARY: 1 errors'
    ;;
  helgrind)
    [ "$(grep -c 'ERROR SUMMARY: 0 errors' out.txt)" = 2 ] || fail "errors left"
    ;;
  tsan)
    grep -q 'WARNING: ThreadSanitizer' out.txt && fail "ThreadSanitizer warned"
    ;;
  subproject)
    expect 'heap-use-after-free.*ku_home_unref.*main.*twice.c:6'
    expect 'freed by thread T0 here:.*ku_home_unref.*main.*twice.c:5'
    ;;
esac
echo "recipe $recipe: ok"
