// SPDX-License-Identifier: MIT
// Shared by the allocator benchmark programs: the contenders (malloc, talloc where installed,
// ku), their registration side by side, and the rounds with the table of ratios to the floor
// (malloc, or new_delete for the memory-resource workloads).
#ifndef KU_BENCH_ROUNDS_H
#define KU_BENCH_ROUNDS_H

#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#if KU_HAVE_TALLOC
#include <talloc.h>
#endif

namespace ku_bench {

// ---- Contenders ----

enum class Who { libc, talloc, ku };

template <Who W> using As = std::integral_constant<Who, W>;

const char *name_of(Who w) {
  switch (w) {
    case Who::libc:
      return "malloc";
    case Who::talloc:
      return "talloc";
    case Who::ku:
      return "ku";
  }
  return "?";
}

// talloc's calls, or stubs that are never registered when it is not installed.
namespace tal {
#if KU_HAVE_TALLOC
constexpr bool available = true;
void *ctx(const void *parent = nullptr) { return talloc_new(parent); }
void *pool(size_t n) { return talloc_pool(nullptr, n); }
void *size(const void *ctx, size_t n) { return talloc_size(ctx, n); }
void *resize(const void *ctx, void *p, size_t n) { return talloc_realloc_size(ctx, p, n); }
void release(void *p) { talloc_free(p); }
#else
constexpr bool available = false;
void *ctx(const void * = nullptr) { std::abort(); }
void *pool(size_t) { std::abort(); }
void *size(const void *, size_t) { std::abort(); }
void *resize(const void *, void *, size_t) { std::abort(); }
void release(void *) { std::abort(); }
#endif
}  // namespace tal

// N blocks of one size made by one contender, then ended together: malloc frees each block,
// talloc frees its context, ku unrefs its home.  Made once per benchmark and reused, so the
// pointer array of malloc's blocks is no part of the timing.
template <Who W> struct Batch {
  std::vector<void *> blocks;
  void *ctx = nullptr;
  ku_home_t *home = nullptr;

  explicit Batch(int n) : blocks(W == Who::libc ? static_cast<size_t>(n) : 0) {}

  void fill(int n, int size) {
    if constexpr (W == Who::libc) {
      for (auto &p : blocks) p = malloc(static_cast<size_t>(size));
    } else if constexpr (W == Who::talloc) {
      ctx = tal::ctx(nullptr);
      for (int i = 0; i < n; i++)
        benchmark::DoNotOptimize(tal::size(ctx, static_cast<size_t>(size)));
    } else {
      home = ku_home_create();
      for (int i = 0; i < n; i++) benchmark::DoNotOptimize(ku_alloc(home, size));
    }
  }

  void end() {
    if constexpr (W == Who::libc) {
      for (void *p : blocks) free(p);
    } else if constexpr (W == Who::talloc) {
      tal::release(ctx);
    } else {
      ku_home_unref(home);
    }
  }
};

// Registers `body(state, As<W>{})` once per contender as "<workload>/<contender>".
template <class Body>
std::vector<benchmark::internal::Benchmark *> add(const std::string &workload, Body body) {
  std::vector<benchmark::internal::Benchmark *> made;
  auto one = [&](auto who) {
    std::string name = workload + "/" + name_of(decltype(who)::value);
    made.push_back(benchmark::RegisterBenchmark(
        name.c_str(), [body](benchmark::State &st) { body(st, decltype(who){}); }));
  };
  one(As<Who::libc>{});
  if (tal::available) one(As<Who::talloc>{});
  one(As<Who::ku>{});
  return made;
}

// ---- Ratio table ----

// Prints every run as the console reporter does and keeps the times, so that after the last
// round it can print the median per-round ratio of each contender to malloc.
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
      if (!r.run_name.threads.empty()) workload += " " + r.run_name.threads;
      std::string who = slash == std::string::npos ? "?" : fn.substr(slash + 1);
      bool real = !r.run_name.time_type.empty();
      double ns = (real ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime()) * ns_per(r.time_unit);
      Cell &cell = row(workload).cells[who];
      cell.ns[{round, r.repetition_index}] = ns;
      for (const auto &[name, counter] : r.counters)
        if (name != "items_per_second") cell.counters[name].push_back(counter.value);
      if (std::find(columns_.begin(), columns_.end(), who) == columns_.end())
        columns_.push_back(who);
    }
  }

  void PrintTable(std::FILE *out) const {
    if (rows_.empty()) return;
    std::vector<std::pair<std::string, std::string>> absolute;
    for (const auto &[workload, r] : rows_)
      if (!base_of(r))
        for (const auto &[who, cell] : r.cells)
          absolute.emplace_back(workload + " / " + who, human(median(values(cell.ns))));
    for (const char *base : kBases) PrintRatios(out, base);
    if (!absolute.empty()) {
      std::fprintf(
          out,
          "\nNo malloc equivalent: median time per iteration\n\n| workload | time |\n|---|---|\n");
      for (const auto &[what, t] : absolute)
        std::fprintf(out, "| %s | %s |\n", what.c_str(), t.c_str());
    }
    bool header = false;
    for (const auto &[workload, r] : rows_)
      for (const auto &[who, cell] : r.cells)
        for (const auto &[name, vals] : cell.counters) {
          if (!header) {
            std::fprintf(out,
                         "\nCounters: median over rounds\n\n| workload | contender | counter | "
                         "value |\n|---|---|---|---|\n");
            header = true;
          }
          std::vector<double> v = vals;
          std::fprintf(out, "| %s | %s | %s | %.1f |\n", workload.c_str(), who.c_str(),
                       name.c_str(), median(v));
        }
  }

 private:
  struct Cell {
    std::map<std::pair<int, int64_t>, double> ns;  // (round, repetition) -> time per iteration
    std::map<std::string, std::vector<double>> counters;
  };
  struct Row {
    std::map<std::string, Cell> cells;
  };

  Row &row(const std::string &workload) {
    for (auto &[w, r] : rows_)
      if (w == workload) return r;
    rows_.emplace_back(workload, Row{});
    return rows_.back().second;
  }

  // The floor of a workload: malloc for the allocator workloads, new_delete for the
  // memory-resource ones.  Workloads with neither are listed with absolute times.
  static constexpr const char *kBases[] = {"malloc", "new_delete"};

  static const char *base_of(const Row &r) {
    for (const char *base : kBases)
      if (r.cells.count(base)) return base;
    return nullptr;
  }

  // One table of the workloads whose floor is base, with the contenders that ran in them.
  void PrintRatios(std::FILE *out, const char *base) const {
    std::vector<std::string> cols;
    for (const auto &c : columns_)
      for (const auto &[workload, r] : rows_)
        if (base_of(r) == base && r.cells.count(c)) {
          cols.push_back(c);
          break;
        }
    if (cols.empty()) return;
    std::stable_sort(cols.begin(), cols.end(),
                     [](const std::string &a, const std::string &b) { return rank(a) < rank(b); });
    std::fprintf(out,
                 "\nRatio to %s: median over rounds of (time / %s's time in the same round)\n\n",
                 base, base);
    std::fprintf(out, "| workload |");
    for (const auto &c : cols) std::fprintf(out, " %s |", c.c_str());
    std::fprintf(out, " %s time |\n|---|", base);
    for (size_t i = 0; i <= cols.size(); i++) std::fprintf(out, "---|");
    std::fprintf(out, "\n");
    for (const auto &[workload, r] : rows_) {
      if (base_of(r) != base) continue;
      const Cell &floor = r.cells.at(base);
      std::fprintf(out, "| %s |", workload.c_str());
      for (const auto &c : cols) {
        auto it = r.cells.find(c);
        std::vector<double> ratios;
        if (it != r.cells.end())
          for (const auto &[sample, ns] : it->second.ns) {
            auto b = floor.ns.find(sample);
            if (b != floor.ns.end() && b->second > 0) ratios.push_back(ns / b->second);
          }
        if (ratios.empty())
          std::fprintf(out, " - |");
        else
          std::fprintf(out, " %.2f |", median(ratios));
      }
      std::fprintf(out, " %s |\n", human(median(values(floor.ns))).c_str());
    }
  }

  static int rank(const std::string &who) {
    if (who == "malloc") return 0;
    if (who == "talloc") return 1;
    if (who == "ku") return 2;
    return 3;
  }

  static double ns_per(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kNanosecond:
        return 1;
      case benchmark::kMicrosecond:
        return 1e3;
      case benchmark::kMillisecond:
        return 1e6;
      case benchmark::kSecond:
        return 1e9;
    }
    return 1;
  }

  static std::vector<double> values(const std::map<std::pair<int, int64_t>, double> &m) {
    std::vector<double> v;
    for (const auto &kv : m) v.push_back(kv.second);
    return v;
  }

  static double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

  static std::string human(double ns) {
    char buf[32];
    if (ns < 1e3)
      std::snprintf(buf, sizeof buf, "%.1f ns", ns);
    else if (ns < 1e6)
      std::snprintf(buf, sizeof buf, "%.2f us", ns / 1e3);
    else
      std::snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
    return buf;
  }

  std::vector<std::pair<std::string, Row>> rows_;  // in order of first appearance
  std::vector<std::string> columns_;
};

}  // namespace ku_bench

// Flags of this program, before Google Benchmark's own: --rounds=N (default 5).  A shorter
// --benchmark_min_time than the library's default is preset; a flag given later wins.
// Runs the benchmarks that each registration phase registers, every phase for all its rounds
// before the next, then prints the ratio table.
inline int run_rounds(int argc, char **argv, std::initializer_list<void (*)()> phases) {
  int rounds = 5;
  std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_min_time=0.2")};
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0)
      rounds = std::max(1, std::atoi(argv[i] + 9));
    else
      args.push_back(argv[i]);
    if (std::strcmp(argv[i], "--benchmark_list_tests") == 0 ||
        std::strcmp(argv[i], "--benchmark_list_tests=true") == 0)
      rounds = 1;
  }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  ku_bench::RatioReporter reporter(isatty(STDOUT_FILENO)
                                       ? benchmark::ConsoleReporter::OO_ColorTabular
                                       : benchmark::ConsoleReporter::OO_Tabular);
  for (auto phase : phases) {
    benchmark::ClearRegisteredBenchmarks();
    phase();
    for (int r = 0; r < rounds; r++) {
      reporter.round = r;
      benchmark::RunSpecifiedBenchmarks(&reporter);
    }
  }
  reporter.PrintTable(stdout);
  std::fflush(stdout);
  benchmark::Shutdown();
  return 0;
}

#endif  // KU_BENCH_ROUNDS_H
