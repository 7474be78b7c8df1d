// SPDX-License-Identifier: MIT
// std::pmr containers in a home against the standard memory resources, and big blocks.
//
// Scenarios:
//   containers  a std::pmr::map<std::pmr::string, int> and a std::pmr::unordered_map<int,
//               std::pmr::string> of N elements with keys of 40 characters; half of them are
//               erased (by key, the key rebuilt in the same resource), then both containers and
//               the resource are destroyed.  N = 1e3, 1e5, 1e6.  Contenders, all in one row:
//                 new_delete           std::pmr::new_delete_resource() (the floor, 1.00)
//                 monotonic            std::pmr::monotonic_buffer_resource
//                 pool                 std::pmr::unsynchronized_pool_resource
//                 home                 ku::home_resource over a new home, ended at the end
//                 pool_over_home       the pool with a ku::home_resource upstream
//                 monotonic_over_home  the monotonic resource with a ku::home_resource upstream
//   replace     free one of 4N live blocks of 64 B, picked at random, and allocate another:
//               4N is the most the containers of N elements hold at once, so this is what one
//               lookup and one insertion cost in a table of that size (malloc and ku)
//   big block   allocate S bytes, touch one byte, free; S = 1, 4, 16, 64 MiB (malloc and ku,
//               one home for the whole benchmark)
//
// The whole list runs --rounds=N times (default 5), so the contenders of one workload always
// run next to each other.  At the end a table gives, per workload, the median over rounds of
// (contender time / floor's time in the same round): the floor is new_delete for the
// containers and malloc for the rest.  Times are CPU time of the process (page faults and
// munmap included); the per-element figure is the time per iteration divided by N.  The
// counter "faults" is the page faults per iteration.
#include <ku/ku.hpp>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ku_bench_rounds.h"

namespace {

using namespace ku_bench;

// ---- Containers ----

constexpr int kKeyLength = 40;

// N distinct keys of kKeyLength letters, in no particular order; made once per N, untimed.
const std::vector<std::string> &keys_for(int n) {
  static std::map<int, std::vector<std::string>> made;
  auto &keys = made[n];
  if (keys.empty()) {
    uint64_t x = 0x9e3779b97f4a7c15u;
    keys.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) {
      std::string k(kKeyLength, 'a');
      for (char &c : k) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        c = static_cast<char>('a' + (x >> 59));
      }
      // The index in the last characters keeps the keys distinct.
      for (int j = kKeyLength - 1, v = i; v > 0; --j, v /= 26)
        k[j] = static_cast<char>('a' + v % 26);
      keys.push_back(std::move(k));
    }
  }
  return keys;
}

void containers(std::pmr::memory_resource *r, const std::vector<std::string> &keys) {
  std::pmr::map<std::pmr::string, int> by_key(r);
  std::pmr::unordered_map<int, std::pmr::string> by_number(r);
  const int n = static_cast<int>(keys.size());
  for (int i = 0; i < n; i++) {
    by_key.emplace(std::string_view(keys[i]), i);
    by_number.emplace(i, std::string_view(keys[i]));
  }
  for (int i = 0; i < n; i += 2) {
    by_key.erase(std::pmr::string(keys[i], r));
    by_number.erase(i);
  }
  benchmark::DoNotOptimize(by_key.size() + by_number.size());
}

enum class Res { new_delete, monotonic, pool, home, pool_over_home, monotonic_over_home };

const char *name_of(Res r) {
  switch (r) {
    case Res::new_delete:
      return "new_delete";
    case Res::monotonic:
      return "monotonic";
    case Res::pool:
      return "pool";
    case Res::home:
      return "home";
    case Res::pool_over_home:
      return "pool_over_home";
    case Res::monotonic_over_home:
      return "monotonic_over_home";
  }
  return "?";
}

// Runs the workload once in a resource of kind R made for it, then destroys the resource (and
// ends its home).  The standard resources' default upstream is new_delete_resource().
template <Res R> void in_resource(const std::vector<std::string> &keys) {
  if constexpr (R == Res::new_delete) {
    containers(std::pmr::new_delete_resource(), keys);
  } else if constexpr (R == Res::monotonic) {
    std::pmr::monotonic_buffer_resource monotonic;
    containers(&monotonic, keys);
  } else if constexpr (R == Res::pool) {
    std::pmr::unsynchronized_pool_resource pool;
    containers(&pool, keys);
  } else {
    ku::unique_home home = ku::unique_home::create();
    ku::home_resource in_home(home.get());
    if constexpr (R == Res::home) {
      containers(&in_home, keys);
    } else if constexpr (R == Res::pool_over_home) {
      std::pmr::unsynchronized_pool_resource pool(&in_home);
      containers(&pool, keys);
    } else {
      std::pmr::monotonic_buffer_resource monotonic(&in_home);
      containers(&monotonic, keys);
    }
  }
}

// Page faults of the process so far.  On the project's machines one costs about 10 us, so
// they explain much of a contender's time: whether the C library keeps freed memory or gives
// it back to the system, and whether anything writes pages that nothing else touched.
double page_faults() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_minflt + ru.ru_majflt);
}

void count_faults(benchmark::State &st, double before) {
  st.counters["faults"] =
      benchmark::Counter(page_faults() - before, benchmark::Counter::kAvgIterations);
}

template <Res R> void container_workload(benchmark::State &st, int n) {
  const auto &keys = keys_for(n);
  const double faults = page_faults();
  for (auto _ : st) in_resource<R>(keys);
  st.SetItemsProcessed(st.iterations() * n);
  count_faults(st, faults);
}

// ---- Table size ----

// Frees one of `live` blocks, picked at random, and allocates its replacement: in a home, one
// lookup and one insertion at unrelated slots of a table of that size, as a container's blocks
// come and go.
template <Who W> void replace_among(benchmark::State &st, As<W>, int live, int size) {
  std::vector<void *> blocks(static_cast<size_t>(live));
  ku_home_t *home = W == Who::ku ? ku_home_create() : nullptr;
  for (auto &p : blocks) p = ku_alloc(home, size);  // a null home is malloc
  uint64_t x = 1;
  for (auto _ : st) {
    x = x * 6364136223846793005u + 1442695040888963407u;
    void *&p = blocks[(x >> 32) % blocks.size()];
    ku_free(home, p);
    p = ku_alloc(home, size);
    benchmark::DoNotOptimize(p);
  }
  if (home)
    ku_home_unref(home);
  else
    for (void *p : blocks) free(p);
}

// ---- Big blocks ----

template <Who W> void big_block(benchmark::State &st, As<W>, int size) {
  ku_home_t *home = W == Who::ku ? ku_home_create() : nullptr;
  const double faults = page_faults();
  for (auto _ : st) {
    auto *p = static_cast<volatile char *>(ku_alloc(home, size));
    if (!p) {
      st.SkipWithError("out of memory");
      break;
    }
    p[0] = 1;
    ku_free(home, const_cast<char *>(p));
  }
  count_faults(st, faults);
  if (home) ku_home_unref(home);
}

// ---- Registration ----

template <Res R> void add_containers(int n) {
  std::string name = "containers x" + count(n) + "/" + name_of(R);
  reg(name, [n](benchmark::State &st) {
    container_workload<R>(st, n);
  })->Unit(benchmark::kMicrosecond);
}

// Registers body(state, As<W>{}) for malloc and ku as "<workload>/<contender>".
template <class Body> void add_malloc_ku(const std::string &workload, Body body) {
  auto one = [&](auto who) {
    std::string name = workload + "/" + name_of(decltype(who)::value);
    reg(name, [body](benchmark::State &st) {
      body(st, decltype(who){});
    })->Unit(benchmark::kMicrosecond);
  };
  one(As<Who::libc>{});
  one(As<Who::ku>{});
}

void register_all() {
  for (int n : {1000, 100000, 1000000}) {
    add_containers<Res::new_delete>(n);
    add_containers<Res::monotonic>(n);
    add_containers<Res::pool>(n);
    add_containers<Res::home>(n);
    add_containers<Res::pool_over_home>(n);
    add_containers<Res::monotonic_over_home>(n);
  }
  for (int n : {1000, 100000, 1000000})
    add_malloc_ku("replace 64B among 4x" + count(n),
                  [n](benchmark::State &st, auto who) { replace_among(st, who, 4 * n, 64); });
  for (int mib : {1, 4, 16, 64})
    add_malloc_ku("big block " + std::to_string(mib) + "MiB",
                  [mib](benchmark::State &st, auto who) { big_block(st, who, mib << 20); });
}

}  // namespace

int main(int argc, char **argv) { return run_rounds(argc, argv, {register_all}); }
