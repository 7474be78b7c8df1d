// SPDX-License-Identifier: MIT
// What a name costs a home: create + end of a heap home without a name, with one, and with one
// and a block (the common request home), each against the same without the name.
//   create_end/unnamed          ku_home_create, ku_home_unref
//   create_end/named            the same with ku_home_set_name(home, "request %d", i)
//   create_alloc_end/unnamed    ku_home_create, one 64-byte block, ku_home_unref
//   create_alloc_end/named      the same with the name
#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>

namespace {

void create_end(benchmark::State &st, bool named, int block) {
  int i = 0;
  for (auto _ : st) {
    ku_home_t *home = ku_home_create();
    if (named) ku_home_set_name(home, "request %d", ++i);
    if (block) benchmark::DoNotOptimize(ku_alloc(home, block));
    ku_home_unref(home);
  }
}

BENCHMARK_CAPTURE(create_end, unnamed, false, 0);
BENCHMARK_CAPTURE(create_end, named, true, 0);
BENCHMARK_CAPTURE(create_end, alloc_unnamed, false, 64);
BENCHMARK_CAPTURE(create_end, alloc_named, true, 64);

}  // namespace

BENCHMARK_MAIN();
