#!/bin/sh
# SPDX-License-Identifier: MIT
# The level report that ku_log(3) quotes is the line the library prints, prefix and all.
# usage: log_report.sh PAGE HOSTPEEK
set -eu
page=$1 hostpeek=$2
quoted=$(grep '^lib/ku_log\.cpp:' "$page")
printed=$(env -u BROME_DEBUG SHOW_DEBUG_LEVELS= KU_DEBUG=3 "$hostpeek" -n 80 127.0.0.1 2>&1 >/dev/null)
if ! printf '%s\n' "$printed" | grep -Fqx -- "$quoted"; then
  printf 'ku_log(3) quotes:\n  %s\nthe library printed:\n%s\n' "$quoted" "$printed" >&2
  exit 1
fi
