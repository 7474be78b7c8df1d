#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz preset and runs every fuzzer for a bounded time, each from a copy of its seed
# corpus, so the committed corpus never changes.  Fails on the first crash, leak, timeout or
# failed property; the input that caused it is kept under build/fuzz/artifacts/<fuzzer>/.
#   KU_FUZZ_SECONDS  time per fuzzer (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${KU_FUZZ_SECONDS:-60}

# Options of one fuzzer beyond the common ones.  The allocator's input is a sequence of
# operations: without a fixed -max_len, libFuzzer guesses one from the short seeds, and it
# raises that limit only slowly unless -len_control=0, so the sequences stayed short.
fuzzer_options() {
  case $1 in
    ku_alloc_fuzz) echo -max_len=4096 -len_control=0 ;;
  esac
}

cmake --preset fuzz
cmake --build --preset fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

summary=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  fuzzer=build/fuzz/fuzz/$name
  artifacts=build/fuzz/artifacts/$name
  mkdir -p "$work/$name" "$artifacts"
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$work/$name/"
  fi

  echo "== $name: ${seconds}s"
  log=$work/$name.log
  read -r -a extra <<<"$(fuzzer_options "$name")"
  if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "${extra[@]}" \
       -artifact_prefix="$artifacts/" "$work/$name" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "== $name FAILED; reproduce with: $fuzzer $artifacts/<crash-file>"
    exit 1
  fi

  # libFuzzer ends with "Done N runs in S second(s)" and, with -print_final_stats, the
  # stat:: lines; the executed units are the authoritative total.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  corpus=$(find "$work/$name" -type f | wc -l)
  line="$name: ${runs:-?} executions in ${took:-?} s, ${rate:-?} exec/s, corpus ${corpus} inputs"
  echo "== $line"
  summary+=("$line")
done

echo "== fuzzing summary"
printf '   %s\n' "${summary[@]}"
