// SPDX-License-Identifier: MIT
// The floor a home's block table sets: the table's own work, with no malloc at all, for the
// workloads of ku_alloc_bench and ku_alloc_auto_bench whose targets it decides.  The table's
// layout, slot sequence and growth steps are fixed, so these costs cannot be taken away; the
// rows with malloc beside them give the ratio the table alone would reach.
//
//   table alone      N addresses 80 bytes apart (as 64 B blocks lie in glibc's heap) entered
//                    with the growth a home makes, then walked and cleared as at its end
//                    (N = 1e3, 1e5, 1e6); per block
//   table pair       one entry entered, found (lookup counters included) and cleared in a
//                    31-slot table beside 10 others: what an alloc/free pair adds to malloc
//   auto table       an automatic home's 7-slot table cleared, 4 entries, the walk at the end
//   malloc pair      malloc/free of 64 B, and 4 of 32 B: the floors the targets are set against
#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "ku_alloc_slots.h"

namespace {

uintptr_t fake(uint64_t i) { return 0x7f0000000000 + 80 * i; }

void table_alone(benchmark::State &st) {
  const auto n = static_cast<uint64_t>(st.range(0));
  for (auto _ : st) {
    ku_home_t *h = ku_home_create();
    ku_block_t *t = h->kuh_blocks;
    for (uint64_t i = 0; i < n; i++) {
      t = kui::room_for_one(h, t);
      ku_block_add(t, reinterpret_cast<void *>(fake(i)))->kua_size = 64;
    }
    for (uint64_t i = 0; i < t->kub_n; i++)
      if (t->kub_nodes[i].kua_data) kui::take_entry(t, &t->kub_nodes[i]);
    ku_home_unref(h);
  }
  st.SetItemsProcessed(st.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(table_alone)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

void table_pair(benchmark::State &st) {
  ku_home_t *h = ku_home_create();
  for (uint64_t i = 1; i <= 10; i++) ku_block_add(h->kuh_blocks, reinterpret_cast<void *>(fake(i)));
  ku_block_t *t = h->kuh_blocks;
  void *p = reinterpret_cast<void *>(fake(0));
  for (auto _ : st) {
    ku_block_add(t, p)->kua_size = 64;
    ku_alloc_t *e = ku_block_find(t, p);
    benchmark::DoNotOptimize(e);
    kui::take_entry(t, e);
  }
  for (uint64_t i = 0; i < t->kub_n; i++)
    if (t->kub_nodes[i].kua_data) kui::take_entry(t, &t->kub_nodes[i]);
  ku_home_unref(h);
}
BENCHMARK(table_pair);

void auto_table(benchmark::State &st) {
  alignas(16) unsigned char mem[sizeof(ku_block_t) + 7 * sizeof(ku_alloc_t)];
  for (auto _ : st) {
    memset(mem, 0, sizeof mem);
    benchmark::ClobberMemory();
    auto *t = reinterpret_cast<ku_block_t *>(mem);
    t->kub_n = 7;
    for (uint64_t i = 0; i < 4; i++)
      ku_block_add(t, reinterpret_cast<void *>(fake(i)))->kua_size = 32;
    for (uint64_t i = 0; i < 7; i++)
      if (t->kub_nodes[i].kua_data) kui::take_entry(t, &t->kub_nodes[i]);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(auto_table);

void malloc_pair(benchmark::State &st) {
  const auto count = static_cast<int>(st.range(0));
  const auto size = static_cast<size_t>(st.range(1));
  void *p[4];
  for (auto _ : st) {
    for (int i = 0; i < count; i++) benchmark::DoNotOptimize(p[i] = malloc(size));
    for (int i = 0; i < count; i++) free(p[i]);
  }
}
BENCHMARK(malloc_pair)->Args({1, 64})->Args({4, 32});

}  // namespace

BENCHMARK_MAIN();
