#!/bin/sh
# SPDX-License-Identifier: MIT
# A manual page must render without a single groff warning, and through man(1) as installed.
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
