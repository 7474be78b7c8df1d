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
#include <unistd.h>

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

// ---- Contenders ----

enum class Who { libc, talloc, ku };

template <Who W> using As = std::integral_constant<Who, W>;

const char *name_of(Who w) {
  switch (w) {
  case Who::libc: return "malloc";
  case Who::talloc: return "talloc";
  case Who::ku: return "ku";
  }
  return "?";
}

// talloc's calls, or stubs that are never registered when it is not installed.
namespace tal {
#if KU_HAVE_TALLOC
constexpr bool available = true;
void *ctx() { return talloc_new(nullptr); }
void *pool(size_t n) { return talloc_pool(nullptr, n); }
void *size(const void *ctx, size_t n) { return talloc_size(ctx, n); }
void release(void *p) { talloc_free(p); }
#else
constexpr bool available = false;
void *ctx() { std::abort(); }
void *pool(size_t) { std::abort(); }
void *size(const void *, size_t) { std::abort(); }
void release(void *) { std::abort(); }
#endif
} // namespace tal

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
  for (auto _ : st) {
    if constexpr (W == Who::libc) {
      malloc_free(n, size);
    } else if constexpr (W == Who::talloc) {
      void *ctx = tal::ctx();
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(tal::size(ctx, size));
      tal::release(ctx);
    } else {
      ku_home_t *home = ku_home_create();
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(ku_alloc(home, size));
      ku_home_unref(home);
    }
  }
  st.SetItemsProcessed(st.iterations() * n);
}

// ---- Registration ----

// Registers `body(state, As<W>{})` once per contender as "<workload>/<contender>".
template <class Body> void add(const std::string &workload, Body body) {
  auto one = [&](auto who) {
    std::string name = workload + "/" + name_of(decltype(who)::value);
    benchmark::RegisterBenchmark(name.c_str(),
                                 [body](benchmark::State &st) { body(st, decltype(who){}); });
  };
  one(As<Who::libc>{});
  if (tal::available) one(As<Who::talloc>{});
  one(As<Who::ku>{});
}

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

// ---- Ratio table ----

// Prints every run as the console reporter does and keeps the times, so that after the last
// round it can print the median per-round ratio of each contender to malloc.  (The same
// reporter as in ku_alloc_bench.cpp, without its counter and no-baseline sections.)
class RatioReporter : public benchmark::ConsoleReporter {
public:
  explicit RatioReporter(OutputOptions opts) : ConsoleReporter(opts) {}

  int round = 0;

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const std::string &fn = r.run_name.function_name;
      size_t slash = fn.rfind('/');
      std::string workload = fn.substr(0, slash);
      std::string who = slash == std::string::npos ? "?" : fn.substr(slash + 1);
      double ns = r.GetAdjustedCPUTime() * ns_per(r.time_unit);
      row(workload)[who][{round, r.repetition_index}] = ns;
    }
  }

  void PrintTable(std::FILE *out) const {
    if (rows_.empty()) return;
    std::fprintf(out, "\nRatio to malloc: median over rounds of (time / malloc's time in the same round)\n\n");
    std::fprintf(out, "| workload | malloc | talloc | ku | malloc time |\n|---|---|---|---|---|\n");
    for (const auto &[workload, cells] : rows_) {
      auto base = cells.find("malloc");
      if (base == cells.end()) continue;
      std::fprintf(out, "| %s |", workload.c_str());
      for (const char *who : {"malloc", "talloc", "ku"}) {
        auto it = cells.find(who);
        std::vector<double> ratios;
        if (it != cells.end())
          for (const auto &[sample, ns] : it->second) {
            auto b = base->second.find(sample);
            if (b != base->second.end() && b->second > 0) ratios.push_back(ns / b->second);
          }
        if (ratios.empty()) std::fprintf(out, " - |");
        else std::fprintf(out, " %.2f |", median(ratios));
      }
      std::vector<double> t;
      for (const auto &kv : base->second) t.push_back(kv.second);
      std::fprintf(out, " %.1f ns |\n", median(t));
    }
  }

private:
  using Samples = std::map<std::pair<int, int64_t>, double>; // (round, repetition) -> ns
  using Cells = std::map<std::string, Samples>;

  Cells &row(const std::string &workload) {
    for (auto &[w, r] : rows_)
      if (w == workload) return r;
    rows_.emplace_back(workload, Cells{});
    return rows_.back().second;
  }

  static double ns_per(benchmark::TimeUnit unit) {
    switch (unit) {
    case benchmark::kNanosecond: return 1;
    case benchmark::kMicrosecond: return 1e3;
    case benchmark::kMillisecond: return 1e6;
    case benchmark::kSecond: return 1e9;
    }
    return 1;
  }

  static double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  std::vector<std::pair<std::string, Cells>> rows_; // in order of first appearance
};

} // namespace

// Flags of this program, before Google Benchmark's own: --rounds=N (default 5).  A shorter
// --benchmark_min_time than the library's default is preset; a flag given later wins.
int main(int argc, char **argv) {
  int rounds = 5;
  std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_min_time=0.2")};
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
    else args.push_back(argv[i]);
    if (std::strcmp(argv[i], "--benchmark_list_tests") == 0 ||
        std::strcmp(argv[i], "--benchmark_list_tests=true") == 0)
      rounds = 1;
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  register_all();
  RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                               : benchmark::ConsoleReporter::OO_Tabular);
  for (int r = 0; r < rounds; r++) {
    reporter.round = r;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  reporter.PrintTable(stdout);
  std::fflush(stdout);
  benchmark::Shutdown();
  return 0;
}
