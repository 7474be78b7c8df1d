// SPDX-License-Identifier: MIT
// Homes across threads: the same work on 1 and 2 threads, as a server does it with a home per
// request or per connection on each worker, against malloc and talloc.
//
// Scenarios, each run with 1 and 2 threads (wall time):
//   pairs          each thread allocates 64 B and frees the block it allocated 16 rounds
//                  earlier; malloc, talloc with a context per thread, ku with a home per thread
//   pairs shared   the same in one context shared by all threads: talloc with a pthread mutex
//                  around each call, ku in one thread-safe home
//   mutex floor    a pthread mutex shared by all threads, locked and unlocked twice per op as a
//                  shared pair does: what handing the mutex over costs on this machine
//   request        a home of 20 blocks of 64 B, ended whole (per block); malloc frees each,
//                  talloc frees its context; "preloaded": ku with a preload area for all 20
//                  (1,280 B, from the pool of spares), talloc with a pool of that size
//   move, steal    between two homes of each thread: 8 blocks moved whole with ku_home_move,
//                  or one block stolen with ku_steal and freed (ku only, per block)
//
// The list runs --rounds=N times (default 3).  The table at the end gives, per row, the best
// time per op over the rounds with 1 and 2 threads (ops per second of all threads together,
// turned back into ns) and the speed-up: ops per second with 2 threads over 1 thread.
#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#if KU_HAVE_TALLOC
#include <talloc.h>
#endif

namespace {

constexpr int kRing = 16;
constexpr int kBlock = 64;
constexpr int kRequest = 20;

// ---- Contenders of a pair ----

struct Malloc {
  void *alloc() { return malloc(kBlock); }
  void release(void *p) { free(p); }
};

struct OwnHome {
  ku_home_t *home = ku_home_create();
  ~OwnHome() { ku_home_unref(home); }
  void *alloc() { return ku_alloc(home, kBlock); }
  void release(void *p) { ku_free(home, p); }
};

// One home or context for all threads, made by thread 0 before the timed loop (whose start is
// a barrier for all threads) and ended by it after.
ku_home_t *shared_home;
pthread_mutex_t shared_mutex = PTHREAD_MUTEX_INITIALIZER;

struct SharedHome {
  void *alloc() { return ku_alloc(shared_home, kBlock); }
  void release(void *p) { ku_free(shared_home, p); }
};

#if KU_HAVE_TALLOC
void *shared_ctx;

struct OwnContext {
  void *ctx = talloc_new(nullptr);
  ~OwnContext() { talloc_free(ctx); }
  void *alloc() { return talloc_size(ctx, kBlock); }
  void release(void *p) { talloc_free(p); }
};

struct SharedContext {
  void *alloc() {
    pthread_mutex_lock(&shared_mutex);
    void *p = talloc_size(shared_ctx, kBlock);
    pthread_mutex_unlock(&shared_mutex);
    return p;
  }
  void release(void *p) {
    pthread_mutex_lock(&shared_mutex);
    talloc_free(p);
    pthread_mutex_unlock(&shared_mutex);
  }
};
#endif

template <class C> void pairs(benchmark::State &st) {
  C c;
  void *ring[kRing];
  for (void *&p : ring) p = c.alloc();
  int i = 0;
  for (auto _ : st) {
    void *p = c.alloc();
    benchmark::DoNotOptimize(p);
    c.release(ring[i]);
    ring[i] = p;
    i = (i + 1) & (kRing - 1);
  }
  for (void *p : ring) c.release(p);
  st.SetItemsProcessed(st.iterations());
}

template <class C> void setup_shared(const benchmark::State &) {
  if constexpr (std::is_same_v<C, SharedHome>) {
    shared_home = ku_home_create();
    if (ku_home_threadsafe(shared_home) != 0) abort();
  }
#if KU_HAVE_TALLOC
  if constexpr (std::is_same_v<C, SharedContext>) shared_ctx = talloc_new(nullptr);
#endif
}

template <class C> void teardown_shared(const benchmark::State &) {
  if constexpr (std::is_same_v<C, SharedHome>) ku_home_unref(shared_home);
#if KU_HAVE_TALLOC
  if constexpr (std::is_same_v<C, SharedContext>) talloc_free(shared_ctx);
#endif
}

void mutex_floor(benchmark::State &st) {
  for (auto _ : st) {
    pthread_mutex_lock(&shared_mutex);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&shared_mutex);
    pthread_mutex_lock(&shared_mutex);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&shared_mutex);
  }
  st.SetItemsProcessed(st.iterations());
}

// ---- Requests ----

enum class Req { malloc, talloc, talloc_pool, ku, ku_preloaded };

template <Req R> void request(benchmark::State &st) {
  void *blocks[kRequest];
  for (auto _ : st) {
    if constexpr (R == Req::malloc) {
      for (void *&p : blocks) benchmark::DoNotOptimize(p = malloc(kBlock));
      for (void *p : blocks) free(p);
    } else if constexpr (R == Req::ku || R == Req::ku_preloaded) {
      ku_home_t *h = ku_home_create();
      if (R == Req::ku_preloaded) ku_home_preload(h, kRequest, kBlock);
      for (int i = 0; i < kRequest; i++) benchmark::DoNotOptimize(ku_alloc(h, kBlock));
      ku_home_unref(h);
    } else {
#if KU_HAVE_TALLOC
      void *ctx = R == Req::talloc ? talloc_new(nullptr) : talloc_pool(nullptr, kRequest * kBlock);
      for (int i = 0; i < kRequest; i++) benchmark::DoNotOptimize(talloc_size(ctx, kBlock));
      talloc_free(ctx);
#endif
    }
  }
  st.SetItemsProcessed(st.iterations() * kRequest);
}

// ---- Moves and steals between a thread's own homes ----

void move(benchmark::State &st) {
  ku_home_t *from = ku_home_create(), *to = ku_home_create();
  int rounds = 0;
  for (auto _ : st) {
    for (int i = 0; i < 8; i++) benchmark::DoNotOptimize(ku_alloc(from, kBlock));
    ku_home_move(to, from);
    if (++rounds == 64) {  // 512 blocks: the receiver's table has grown to 2047 slots
      ku_home_unref(to);
      to = ku_home_create();
      rounds = 0;
    }
  }
  ku_home_unref(to);
  ku_home_unref(from);
  st.SetItemsProcessed(st.iterations() * 8);
}

void steal(benchmark::State &st) {
  ku_home_t *from = ku_home_create(), *to = ku_home_create();
  void *ring[kRing];
  for (void *&p : ring) p = ku_alloc(to, kBlock);
  int i = 0;
  for (auto _ : st) {
    void *p = ku_steal(to, from, ku_alloc(from, kBlock));
    benchmark::DoNotOptimize(p);
    ku_free(to, ring[i]);
    ring[i] = p;
    i = (i + 1) & (kRing - 1);
  }
  ku_home_unref(to);
  ku_home_unref(from);
  st.SetItemsProcessed(st.iterations());
}

// ---- Table ----

// Keeps, per row and thread count, the best ops per second over the rounds, and prints them.
class ThreadsReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      auto it = r.counters.find("items_per_second");
      if (it == r.counters.end()) continue;
      std::string row = r.run_name.function_name;
      if (std::find(order_.begin(), order_.end(), row) == order_.end()) order_.push_back(row);
      double &best = best_[{row, r.threads}];
      best = std::max(best, it->second.value);
    }
  }

  void PrintTable() const {
    std::printf(
        "\nBest of the rounds: ns per op (all threads' ops per second, inverted) and "
        "speed-up from 1 to 2 threads\n\n| row | 1 thread, ns/op | 2 threads, ns/op "
        "(wall) | speed-up |\n|---|---|---|---|\n");
    for (const std::string &row : order_) {
      auto one = best_.find({row, 1}), two = best_.find({row, 2});
      if (one == best_.end() || two == best_.end()) continue;
      // Per thread, as the table gives it: wall time of one thread's op.
      std::printf("| %s | %.1f | %.1f | %.2fx |\n", row.c_str(), 1e9 / one->second,
                  2e9 / two->second, two->second / one->second);
    }
  }

 private:
  std::vector<std::string> order_;
  std::map<std::pair<std::string, int64_t>, double> best_;
};

template <class Fn> void add(const char *name, Fn fn) {
  benchmark::RegisterBenchmark(name, fn)->Threads(1)->Threads(2)->UseRealTime();
}

template <class C> void add_shared(const char *name) {
  benchmark::RegisterBenchmark(name, pairs<C>)
      ->Setup(setup_shared<C>)
      ->Teardown(teardown_shared<C>)
      ->Threads(1)
      ->Threads(2)
      ->UseRealTime();
}

void register_all() {
  add("pairs/malloc", pairs<Malloc>);
#if KU_HAVE_TALLOC
  add("pairs/talloc, a context per thread", pairs<OwnContext>);
#endif
  add("pairs/ku, a home per thread", pairs<OwnHome>);
  add("mutex floor/lock+unlock twice", mutex_floor);
#if KU_HAVE_TALLOC
  add_shared<SharedContext>("pairs shared/talloc, one context, a mutex around each call");
#endif
  add_shared<SharedHome>("pairs shared/ku, one thread-safe home");
  add("request/malloc", request<Req::malloc>);
#if KU_HAVE_TALLOC
  add("request/talloc", request<Req::talloc>);
  add("request preloaded/talloc pool", request<Req::talloc_pool>);
#endif
  add("request/ku", request<Req::ku>);
  add("request preloaded/ku", request<Req::ku_preloaded>);
  add("move/ku, 8 blocks", move);
  add("steal/ku, one block", steal);
}

}  // namespace

// --rounds=N (default 3) before Google Benchmark's own flags; --benchmark_min_time is preset
// to 0.3 s and may be given again.
int main(int argc, char **argv) {
  int rounds = 3;
  std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_min_time=0.3")};
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0)
      rounds = std::max(1, std::atoi(argv[i] + 9));
    else
      args.push_back(argv[i]);
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  register_all();
  ThreadsReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  for (int r = 0; r < rounds; r++) benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
