#!/bin/sh
# SPDX-License-Identifier: MIT
# A manual page must render without a single groff warning, and through man(1) as installed, and
# no line of alternating fonts (.BR, .IR, ...) may run two words together: those macros drop the
# blanks between their arguments, so ".IR x ): a log" renders "x):alog".
# usage: render.sh PAGE
set -eu
page=$1
out=$(groff -man -ww -z "$page" 2>&1) || { echo "$out" >&2; exit 1; }
if [ -n "$out" ]; then
  echo "$out" >&2
  exit 1
fi
if command -v man >/dev/null 2>&1; then
  out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || { echo "$out" >&2; exit 1; }
  if [ -n "$out" ]; then
    echo "$out" >&2
    exit 1
  fi
fi

# Splits each alternating-font line into its arguments ("" inside quotes is a quote) and reports
# two neighbours that both touch with a letter or digit.
joined=$(awk '
  /^\.(BR|IR|BI|IB|RB|RI)[ \t]/ {
    line = substr($0, 5); n = 0
    while (line != "") {
      sub(/^[ \t]+/, "", line)
      if (line == "") break
      if (substr(line, 1, 1) == "\"") {
        arg = ""; line = substr(line, 2)
        while (line != "") {
          c = substr(line, 1, 1); line = substr(line, 2)
          if (c == "\"") {
            if (substr(line, 1, 1) != "\"") break
            line = substr(line, 2)
          }
          arg = arg c
        }
      } else {
        match(line, /^[^ \t]+/); arg = substr(line, 1, RLENGTH); line = substr(line, RLENGTH + 1)
      }
      args[++n] = arg
    }
    for (i = 2; i <= n; i++)
      if (args[i - 1] ~ /[[:alnum:]]$/ && args[i] ~ /^[[:alnum:]]/) {
        printf "%s:%d: \"%s\" runs into \"%s\"\n", FILENAME, FNR, args[i - 1], args[i]
        break
      }
  }
' "$page")
if [ -n "$joined" ]; then
  echo "$joined" >&2
  exit 1
fi
