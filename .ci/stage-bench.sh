#!/usr/bin/env bash
# Smoke run of the benchmarks: each one built in the release preset and run briefly, so that a
# benchmark that crashes or no longer builds fails CI.  The figures printed are not compared.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release
cmake --build --preset release
for bench in build/release/bench/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.01 >/dev/null
done
