// SPDX-License-Identifier: MIT
// Shared by the allocator benchmark programs: the contenders (malloc, talloc where installed,
// ku), their registration side by side, and the rounds with the table of ratios to the floor
// (malloc, or new_delete for the memory-resource workloads).
#ifndef KU_BENCH_ROUNDS_H
#define KU_BENCH_ROUNDS_H

#include <ku/ku_alloc.h>

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#if KU_HAVE_TALLOC
#include <talloc.h>
#endif

namespace ku_bench {

// A count as benchmark names write it: 1e3, 1e4, 1e5, 1e6, else in digits.
inline std::string count(int n) {
  switch (n) {
    case 1000:
      return "1e3";
    case 10000:
      return "1e4";
    case 100000:
      return "1e5";
    case 1000000:
      return "1e6";
  }
  return std::to_string(n);
}

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

  int preload;  // bytes: ku preloads its home, talloc makes its context a pool

  explicit Batch(int n, int preload_bytes = 0)
      : blocks(W == Who::libc ? static_cast<size_t>(n) : 0), preload(preload_bytes) {}

  void fill(int n, int size) {
    if constexpr (W == Who::libc) {
      for (auto &p : blocks) p = malloc(static_cast<size_t>(size));
    } else if constexpr (W == Who::talloc) {
      ctx = preload ? tal::pool(static_cast<size_t>(preload)) : tal::ctx(nullptr);
      for (int i = 0; i < n; i++)
        benchmark::DoNotOptimize(tal::size(ctx, static_cast<size_t>(size)));
    } else {
      home = ku_home_create();
      if (preload) ku_home_preload(home, 1, preload);
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

// The names registered since the registry was last cleared, in order: --fresh runs each of
// them in a process of its own.
inline std::vector<std::string> &registered() {
  static std::vector<std::string> names;
  return names;
}

// Registers one benchmark and records its name.
template <class Fn> benchmark::internal::Benchmark *reg(const std::string &name, Fn fn) {
  registered().push_back(name);
  return benchmark::RegisterBenchmark(name.c_str(), fn);
}

// Registers `body(state, As<W>{})` once per contender as "<workload>/<contender>".
template <class Body>
std::vector<benchmark::internal::Benchmark *> add(const std::string &workload, Body body) {
  std::vector<benchmark::internal::Benchmark *> made;
  auto one = [&](auto who) {
    std::string name = workload + "/" + name_of(decltype(who)::value);
    made.push_back(reg(name, [body](benchmark::State &st) { body(st, decltype(who){}); }));
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
      bool real = !r.run_name.time_type.empty();
      Sample s{r.run_name.function_name,
               r.run_name.threads,
               r.repetition_index,
               (real ? r.GetAdjustedRealTime() : r.GetAdjustedCPUTime()) * ns_per(r.time_unit),
               {}};
      for (const auto &[name, counter] : r.counters)
        if (name != "items_per_second") s.counters.emplace_back(name, counter.value);
      if (sink >= 0)
        send(s);
      else
        record(s);
    }
  }

  // One run's result, as a child of --fresh hands it to its parent.
  struct Sample {
    std::string function, threads;
    int64_t repetition;
    double ns;
    std::vector<std::pair<std::string, double>> counters;
  };

  int sink = -1;  // in a child of --fresh: where its samples go

  void record(const Sample &s) {
    size_t slash = s.function.rfind('/');
    std::string workload = s.function.substr(0, slash);
    if (!s.threads.empty()) workload += " " + s.threads;
    std::string who = slash == std::string::npos ? "?" : s.function.substr(slash + 1);
    Cell &cell = row(workload).cells[who];
    cell.ns[{round, s.repetition}] = s.ns;
    for (const auto &[name, value] : s.counters) cell.counters[name].push_back(value);
    if (std::find(columns_.begin(), columns_.end(), who) == columns_.end()) columns_.push_back(who);
  }

  // A sample as one line of tab-separated fields: function, threads, repetition, time, then
  // counter names and values.  Benchmark names hold no tabs or newlines.
  void send(const Sample &s) const {
    std::string line = s.function + "\t" + s.threads + "\t" + std::to_string(s.repetition) + "\t" +
                       std::to_string(s.ns);
    for (const auto &[name, value] : s.counters) line += "\t" + name + "\t" + std::to_string(value);
    line += "\n";
    if (write(sink, line.data(), line.size()) < 0) std::perror("fresh: write");
  }

  void receive(const std::string &line) {
    std::vector<std::string> f;
    size_t at = 0;
    for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
      f.push_back(line.substr(at, tab - at));
    f.push_back(line.substr(at));
    if (f.size() < 4) return;
    Sample s{f[0], f[1], std::atoll(f[2].c_str()), std::atof(f[3].c_str()), {}};
    for (size_t i = 4; i + 1 < f.size(); i += 2)
      s.counters.emplace_back(f[i], std::atof(f[i + 1].c_str()));
    record(s);
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

namespace ku_bench {

// Whether a registered name is one the user's --benchmark_filter selects (a leading '-'
// negates it, as for Google Benchmark's own filter).
inline bool selected(const std::string &name) {
  std::string filter = benchmark::GetBenchmarkFilter();
  bool negate = !filter.empty() && filter[0] == '-';
  if (negate) filter.erase(0, 1);
  if (filter.empty() || filter == "all" || filter == ".") return !negate;
  return std::regex_search(name, std::regex(filter)) != negate;
}

// Runs the benchmark of one registered name in a child process and takes its samples.  The
// child's heap is the parent's, which has run nothing: each run starts from the C library's
// state of a fresh process, not from what the contender before it left.
inline void run_in_child(RatioReporter &reporter, const std::string &name) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("fresh: pipe");
    return;
  }
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    reporter.sink = fds[1];
    // The name matched whole, every character that regular expressions treat specially escaped.
    std::string exact("^");
    exact.append(std::regex_replace(name, std::regex(R"([\^$.|?*+()\[\]{}\\])"), R"(\$&)"));
    exact.push_back('$');
    benchmark::RunSpecifiedBenchmarks(&reporter, exact);
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::fprintf(stderr, "fresh: the run of %s failed\n", name.c_str());
  for (size_t at = 0, nl; (nl = got.find('\n', at)) != std::string::npos; at = nl + 1)
    reporter.receive(got.substr(at, nl - at));
}

}  // namespace ku_bench

// Flags of this program, before Google Benchmark's own: --rounds=N (default 5), and --fresh,
// which runs each benchmark of each round in a child process of its own.  A shorter
// --benchmark_min_time than the library's default is preset; a flag given later wins.
// Runs the benchmarks that each registration phase registers, every phase for all its rounds
// before the next, then prints the ratio table.
inline int run_rounds(int argc, char **argv, std::initializer_list<void (*)()> phases) {
  int rounds = 5;
  bool fresh = false;
  std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_min_time=0.2")};
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0)
      rounds = std::max(1, std::atoi(argv[i] + 9));
    else if (std::strcmp(argv[i], "--fresh") == 0)
      fresh = true;
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
    ku_bench::registered().clear();
    phase();
    for (int r = 0; r < rounds; r++) {
      reporter.round = r;
      if (!fresh) {
        benchmark::RunSpecifiedBenchmarks(&reporter);
        continue;
      }
      for (const std::string &name : ku_bench::registered())
        if (ku_bench::selected(name)) ku_bench::run_in_child(reporter, name);
    }
  }
  reporter.PrintTable(stdout);
  std::fflush(stdout);
  benchmark::Shutdown();
  return 0;
}

#endif  // KU_BENCH_ROUNDS_H
