// SPDX-License-Identifier: MIT
// Homes that avoid the heap: an automatic home in a stack buffer, and a preloaded heap home,
// against malloc/free of the same blocks (the floor) and talloc's pools.
//
// Scenarios; every one runs for each contender ("malloc", "talloc" where installed, "ku"):
//   auto     ku: ku_home_auto over a 4 KiB stack buffer, N blocks of 32 B, ku_home_deinit;
//            talloc: a 4 KiB talloc_pool with the same children, then freed;
//            malloc: N mallocs, N frees.  N = 4 (table and blocks in the buffer), 16 (the
//            table moves to the heap at the 6th block), 64, 121 (the buffer's 3896 B of
//            carving room full) and 200 (the rest from the heap)
//   preload  ku: ku_home_create, ku_home_preload(N, 32), N blocks of 32 B, end the home;
//            talloc: a talloc_pool with room for the N children; malloc as above.  N = 16, 64
//   heap     the same without preloading: a plain home and a plain talloc context
//
// The whole list runs --rounds=N times (default 5), so the contenders of one workload always
// run next to each other.  At the end a table gives, per workload, the median over rounds of
// (contender time / malloc time of the same round); lower is better.
#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "ku_bench_rounds.h"

namespace {

using namespace ku_bench;

constexpr int kMaxBlocks = 256;
constexpr int kBuffer = 4096;
// Room for one talloc child of `size` bytes in a pool: the block and talloc's chunk header,
// which is not public; 128 bytes cover it on 64-bit targets.
constexpr int kTallocChild = 128;

// ---- Workloads ----

void malloc_free(int n, int size) {
  void *blocks[kMaxBlocks];
  for (int i = 0; i < n; i++) blocks[i] = malloc(size);
  benchmark::DoNotOptimize(blocks);
  for (int i = 0; i < n; i++) free(blocks[i]);
}

template <Who W> void automatic(benchmark::State &st, As<W>, int n, int size) {
  for (auto _ : st) {
    if constexpr (W == Who::libc) {
      malloc_free(n, size);
    } else if constexpr (W == Who::talloc) {
      void *pool = tal::pool(kBuffer);
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(tal::size(pool, size));
      tal::release(pool);
    } else {
      alignas(16) unsigned char buffer[kBuffer];
      ku_home_t *home = ku_home_auto(buffer, sizeof buffer);
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(ku_alloc(home, size));
      ku_home_deinit(home);
      benchmark::ClobberMemory();
    }
  }
  st.SetItemsProcessed(st.iterations() * n);
}

template <Who W> void preloaded(benchmark::State &st, As<W>, int n, int size) {
  for (auto _ : st) {
    if constexpr (W == Who::libc) {
      malloc_free(n, size);
    } else if constexpr (W == Who::talloc) {
      void *pool = tal::pool(static_cast<size_t>(n) * (size + kTallocChild));
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(tal::size(pool, size));
      tal::release(pool);
    } else {
      ku_home_t *home = ku_home_create();
      ku_home_preload(home, n, size);
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(ku_alloc(home, size));
      ku_home_unref(home);
    }
  }
  st.SetItemsProcessed(st.iterations() * n);
}

template <Who W> void heap(benchmark::State &st, As<W>, int n, int size) {
  Batch<W> batch(n);
  for (auto _ : st) {
    batch.fill(n, size);
    batch.end();
  }
  st.SetItemsProcessed(st.iterations() * n);
}

// ---- Registration ----

void register_all() {
  for (int n : {4, 16, 64, 121, 200})
    add("auto 4KiB " + std::to_string(n) + "x32B",
        [=](benchmark::State &st, auto who) { automatic(st, who, n, 32); });
  for (int n : {16, 64}) {
    add("preload " + std::to_string(n) + "x32B",
        [=](benchmark::State &st, auto who) { preloaded(st, who, n, 32); });
    add("heap " + std::to_string(n) + "x32B",
        [=](benchmark::State &st, auto who) { heap(st, who, n, 32); });
  }
}

}  // namespace

int main(int argc, char **argv) { return run_rounds(argc, argv, {register_all}); }
