#!/bin/sh
# SPDX-License-Identifier: MIT
# Every exported name must have a section-3 page in the manual directory: the page that
# documents it, or a link page (".so man3/<page>.3") to it.  man(1) must open the documenting
# page for a function named only in another page's NAME line.
# usage: links.sh MANDIR EXPORTS
set -eu
dir=$1 exports=$2
status=0
while read -r name; do
  page=$dir/man3/$name.3
  if [ ! -f "$page" ]; then
    echo "no manual page for $name" >&2
    status=1
    continue
  fi
  target=$(sed -n 's/^\.so man3\///p' "$page")
  if [ -n "$target" ] && [ ! -f "$dir/man3/$target" ]; then
    echo "$name.3 links to the missing page $target" >&2
    status=1
  fi
done <"$exports"
if command -v man >/dev/null 2>&1; then
  for name in ku_home_new ku_strdup ku_log_default; do
    title=$(MANPATH=$dir MANWIDTH=80 man -P cat "$name" 2>/dev/null | head -n 1)
    case $title in
      KU_ALLOC\(3\)* | KU_LOG\(3\)*) ;;
      *) echo "man $name opened: $title" >&2; status=1 ;;
    esac
  done
fi
exit $status
