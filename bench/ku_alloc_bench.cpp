// SPDX-License-Identifier: MIT
// Memory homes against plain malloc/free (the floor) and talloc, the same workloads in one run.
//
// Scenarios; every one runs for each contender ("malloc", "talloc" where installed, "ku"):
//   alloc_end    N blocks of S bytes, then end the home; malloc frees each block, talloc frees
//                its context (N = 1e3, 1e5, 1e6; S = 16, 64, 256)
//   alloc_end ... preloaded 64KiB
//                the same in a home preloaded with 64 KiB, and a talloc pool of 64 KiB
//   end_only     only the ending of a home of 1e6 blocks of 64 B; the allocations are untimed
//   pair         one alloc/free pair of 64 B beside K = 10 and 1e4 live blocks
//   subhomes     child, grandchild and great-grandchild with two 32 B blocks each; end the child
//   realloc      one block grown 16 -> 4096 B in 16 B steps, then freed
//   growth       1365 blocks of 32 B, the most a table of 2047 slots holds (tables 31 -> 127 ->
//                511 -> 2047 on the way), then end the home
//   miss         ku_in_home of a foreign address in full tables of 31 to 32767 slots: a miss
//                scans every slot (ku only; counter slots/lookup)
//   hit          ku_in_home of each held block in turn, in full tables of 31 and 2047 slots:
//                the lookup path itself, counters included (ku only)
//   peak         1e5 live blocks of 16 B and 1e6 of 32 B: heap bytes per live block (counter
//                B/block, from mallinfo2: in-use arena bytes plus mmapped bytes)
//   threadsafe   alloc/free pair of 64 B in one shared home from 1 and 2 threads; talloc
//                behind a std::mutex of this benchmark, malloc as it is.  These run after all
//                rounds of the others, which are measured in a process without threads.
//
// The whole list runs --rounds=N times (default 5), so the contenders of one workload always
// run next to each other.  At the end a table gives, per workload, the median over rounds of
// (contender time / malloc time of the same round); lower is better.
#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ku_alloc_impl.h"
#include "ku_bench_rounds.h"

namespace {

using namespace ku_bench;

ku_home_t *clone(ku_home_t *parent) {
  return static_cast<ku_home_t *>(ku_home_clone(parent, sizeof(ku_home_t)));
}

// Bytes the C library's heap holds for the program: in-use arena bytes plus mmapped blocks
// (a large block table is mmapped).
double heap_bytes() {
  struct mallinfo2 mi = mallinfo2();
  return static_cast<double>(mi.uordblks + mi.hblkhd);
}

// ---- Workloads ----

template <Who W> void alloc_end(benchmark::State &st, As<W>, int n, int size, int preload = 0) {
  Batch<W> batch(n, preload);
  for (auto _ : st) {
    batch.fill(n, size);
    batch.end();
  }
  st.SetItemsProcessed(st.iterations() * n);
}

template <Who W> void end_only(benchmark::State &st, As<W>, int n, int size) {
  Batch<W> batch(n);
  for (auto _ : st) {
    st.PauseTiming();
    batch.fill(n, size);
    st.ResumeTiming();
    batch.end();
  }
  st.SetItemsProcessed(st.iterations() * n);
}

// One allocation and its free while `live` other blocks of the same size stay allocated.
template <Who W> void pair(benchmark::State &st, As<W>, int live, int size) {
  std::vector<void *> blocks(static_cast<size_t>(live));
  void *ctx = nullptr;
  ku_home_t *home = nullptr;
  if constexpr (W == Who::libc) {
    for (auto &p : blocks) p = malloc(size);
    for (auto _ : st) {
      void *p = malloc(size);
      benchmark::DoNotOptimize(p);
      free(p);
    }
    for (void *p : blocks) free(p);
  } else if constexpr (W == Who::talloc) {
    ctx = tal::ctx(nullptr);
    for (auto &p : blocks) p = tal::size(ctx, size);
    for (auto _ : st) {
      void *p = tal::size(ctx, size);
      benchmark::DoNotOptimize(p);
      tal::release(p);
    }
    tal::release(ctx);
  } else {
    home = ku_home_create();
    for (auto &p : blocks) p = ku_alloc(home, size);
    for (auto _ : st) {
      void *p = ku_alloc(home, size);
      benchmark::DoNotOptimize(p);
      ku_free(home, p);
    }
    ku_home_unref(home);
  }
}

// Three nested sub-homes with two 32-byte blocks each; ending the child ends all three.
template <Who W> void subhomes(benchmark::State &st, As<W>) {
  if constexpr (W == Who::libc) {
    void *b[9];
    for (auto _ : st) {
      for (int i = 0; i < 3; i++) {
        b[3 * i] = malloc(sizeof(ku_home_t));
        b[3 * i + 1] = malloc(32);
        b[3 * i + 2] = malloc(32);
      }
      benchmark::DoNotOptimize(b);
      for (void *p : b) free(p);
    }
  } else if constexpr (W == Who::talloc) {
    void *parent = tal::ctx(nullptr);
    for (auto _ : st) {
      void *h = parent, *child = nullptr;
      for (int depth = 0; depth < 3; depth++) {
        h = tal::ctx(h);
        if (depth == 0) child = h;
        benchmark::DoNotOptimize(tal::size(h, 32));
        benchmark::DoNotOptimize(tal::size(h, 32));
      }
      tal::release(child);
    }
    tal::release(parent);
  } else {
    ku_home_t *parent = ku_home_create();
    for (auto _ : st) {
      ku_home_t *h = parent, *child = nullptr;
      for (int depth = 0; depth < 3; depth++) {
        h = clone(h);
        if (depth == 0) child = h;
        benchmark::DoNotOptimize(ku_alloc(h, 32));
        benchmark::DoNotOptimize(ku_alloc(h, 32));
      }
      ku_home_unref(child);
    }
    ku_home_unref(parent);
  }
}

template <Who W> void realloc_grow(benchmark::State &st, As<W>, int from, int to, int step) {
  void *ctx = nullptr;
  ku_home_t *home = nullptr;
  if constexpr (W == Who::talloc) ctx = tal::ctx(nullptr);
  if constexpr (W == Who::ku) home = ku_home_create();
  for (auto _ : st) {
    if constexpr (W == Who::libc) {
      void *p = malloc(from);
      for (int n = from + step; n <= to; n += step) p = realloc(p, n);
      benchmark::DoNotOptimize(p);
      free(p);
    } else if constexpr (W == Who::talloc) {
      void *p = tal::size(ctx, from);
      for (int n = from + step; n <= to; n += step) p = tal::resize(ctx, p, n);
      benchmark::DoNotOptimize(p);
      tal::release(p);
    } else {
      void *p = ku_alloc(home, from);
      for (int n = from + step; n <= to; n += step) p = ku_realloc(home, p, n);
      benchmark::DoNotOptimize(p);
      ku_free(home, p);
    }
  }
  if constexpr (W == Who::talloc) tal::release(ctx);
  if constexpr (W == Who::ku) ku_home_unref(home);
}

// Lookups of an address the home does not hold, in a home of `live` blocks.
void miss(benchmark::State &st, int live) {
  ku_home_t *home = ku_home_create();
  for (int i = 0; i < live; i++) ku_alloc(home, 16);
  void *foreign = malloc(16);
  uint64_t probes = count_ku_block_find_loop;
  for (auto _ : st) benchmark::DoNotOptimize(ku_in_home(home, foreign));
  st.counters["slots/lookup"] = benchmark::Counter(
      static_cast<double>(count_ku_block_find_loop - probes), benchmark::Counter::kAvgIterations);
  free(foreign);
  ku_home_unref(home);
}

// Lookups of the home's own blocks, each in turn, in a home of `live` blocks.
void hit(benchmark::State &st, int live) {
  ku_home_t *home = ku_home_create();
  std::vector<void *> held;
  for (int i = 0; i < live; i++) held.push_back(ku_alloc(home, 16));
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(ku_in_home(home, held[i]));
    if (++i == held.size()) i = 0;
  }
  ku_home_unref(home);
}

// Heap bytes per live block while n blocks of `size` bytes are allocated.  malloc's pointer
// array is made before the first reading: it is bookkeeping of the caller, not of the heap.
template <Who W> void peak(benchmark::State &st, As<W>, int n, int size) {
  Batch<W> batch(n);
  double bytes = 0;
  for (auto _ : st) {
    st.PauseTiming();
    double before = heap_bytes();
    st.ResumeTiming();
    batch.fill(n, size);
    st.PauseTiming();
    bytes += heap_bytes() - before;
    // Large tables are the allocator's own pages, which mallinfo2 does not see.
    if constexpr (W == Who::ku)
      if (const ku_block_t *t = batch.home->kuh_blocks; t->kub_mapped)
        bytes += static_cast<double>(sizeof(ku_alloc_t) * (t->kub_n + 4));
    st.ResumeTiming();
    batch.end();
  }
  st.counters["B/block"] = bytes / static_cast<double>(st.iterations()) / n;
}

// One home shared by all threads of the benchmark; thread 0 makes it before the timed loop
// and ends it after, and the loop's start and end are barriers for all threads.
struct Shared {
  void *ctx;
  ku_home_t *home;
  std::mutex lock;  // talloc's guard; ku_home_threadsafe gives a home its own
} shared;

template <Who W> void threadsafe(benchmark::State &st, As<W>, int size) {
  if (st.thread_index() == 0) {
    if constexpr (W == Who::talloc) shared.ctx = tal::ctx(nullptr);
    if constexpr (W == Who::ku) {
      shared.home = ku_home_create();
      if (ku_home_threadsafe(shared.home) != 0) st.SkipWithError("ku_home_threadsafe failed");
    }
  }
  for (auto _ : st) {
    if constexpr (W == Who::libc) {
      void *p = malloc(size);
      benchmark::DoNotOptimize(p);
      free(p);
    } else if constexpr (W == Who::talloc) {
      void *p;
      {
        std::lock_guard<std::mutex> g(shared.lock);
        p = tal::size(shared.ctx, size);
      }
      benchmark::DoNotOptimize(p);
      std::lock_guard<std::mutex> g(shared.lock);
      tal::release(p);
    } else {
      void *p = ku_alloc(shared.home, size);
      benchmark::DoNotOptimize(p);
      ku_free(shared.home, p);
    }
  }
  if (st.thread_index() == 0) {
    if constexpr (W == Who::talloc) tal::release(shared.ctx);
    if constexpr (W == Who::ku) ku_home_unref(shared.home);
  }
}

// ---- Registration ----

void register_single() {
  for (int n : {1000, 100000, 1000000})
    for (int size : {16, 64, 256})
      add("alloc_end " + std::to_string(size) + "B x" + count(n),
          [=](benchmark::State &st, auto who) { alloc_end(st, who, n, size); });
  // The same with a preload area of 64 KiB (ku) or a talloc pool of that size.
  for (int n : {1000, 100000, 1000000})
    for (int size : {16, 64, 256})
      add("alloc_end " + std::to_string(size) + "B x" + count(n) + " preloaded 64KiB",
          [=](benchmark::State &st, auto who) { alloc_end(st, who, n, size, 65535); });
  for (auto *b : add("end_only 64B x1e6",
                     [](benchmark::State &st, auto who) { end_only(st, who, 1000000, 64); }))
    b->Iterations(4);
  for (int live : {10, 10000})
    add("pair 64B beside " + count(live),
        [=](benchmark::State &st, auto who) { pair(st, who, live, 64); });
  add("subhomes 3 deep x2 32B", [](benchmark::State &st, auto who) { subhomes(st, who); });
  add("realloc 16->4096 step 16",
      [](benchmark::State &st, auto who) { realloc_grow(st, who, 16, 4096, 16); });
  add("growth to 2047 slots (1365x32B)",
      [](benchmark::State &st, auto who) { alloc_end(st, who, 1365, 32); });
  // Live blocks that leave each table size of a home as full as its growth rule allows.
  for (auto table : {std::pair{31, 21}, {127, 85}, {2047, 1365}, {32767, 21845}}) {
    const int live = table.second;
    std::string name = "miss in " + std::to_string(table.first) + " slots/ku";
    reg(name, [=](benchmark::State &st) { miss(st, live); });
  }
  for (auto table : {std::pair{31, 21}, {2047, 1365}}) {
    const int live = table.second;
    std::string name = "hit in " + std::to_string(table.first) + " slots/ku";
    reg(name, [=](benchmark::State &st) { hit(st, live); });
  }
  for (auto blocks : {std::pair{100000, 16}, {1000000, 32}}) {
    const int n = blocks.first, size = blocks.second;
    for (auto *b : add("peak " + std::to_string(size) + "B x" + count(n),
                       [=](benchmark::State &st, auto who) { peak(st, who, n, size); }))
      b->Iterations(3);
  }
}

// Registered only after every single-threaded round has run: once a process has started a
// thread, glibc's malloc leaves its single-threaded fast paths for good (fastbins and arenas
// then use atomic operations), which more than doubles the floor of the other workloads.
void register_threaded() {
  for (auto *b :
       add("threadsafe pair 64B", [](benchmark::State &st, auto who) { threadsafe(st, who, 64); }))
    b->Threads(1)->Threads(2)->UseRealTime();
}

}  // namespace

int main(int argc, char **argv) {
  return run_rounds(argc, argv, {register_single, register_threaded});
}
