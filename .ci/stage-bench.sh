#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Smoke run of the benchmarks: each one built in the release preset and run briefly, so that a
# benchmark that crashes or no longer builds fails CI.  The figures printed are not compared.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release
cmake --build --preset release
for bench in build/release/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  extra=()
  # The allocator programs repeat their whole list in rounds; one is enough for a smoke run.
  # The memory-resource program leaves out its largest sizes, which take seconds a round.
  case "$bench" in
    *ku_alloc*) extra=(--rounds=1) ;;
    *ku_pmr*) extra=(--rounds=1 "--benchmark_filter=-1e6|64MiB") ;;
  esac
  "$bench" --benchmark_min_time=0.01 "${extra[@]}" >/dev/null
done
# The side-by-side comparison, with the library weighed against itself.
echo "== ku_ab"
for work in nest pair10 request; do
  build/release/bench/ku_ab --work=$work --rounds=3 build/release/lib/libku.so build/release/lib/libku.so >/dev/null
done
