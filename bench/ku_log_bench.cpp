// SPDX-License-Identifier: MIT
// Cost of logging and of the lookup wrapper, each against what it wraps.
//
//   dropped_record            _ku_llog on a log whose level drops the record
//   written_record            _ku_llog on a log without logger: default_logger to /dev/null
//   fprintf_same_text         fprintf of the same line to /dev/null
//   ku_getaddrinfo_numeric    the wrapper on a numeric host and service, list freed
//   getaddrinfo_numeric       the resolver itself on the same lookup
//
// Run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true and compare
// medians: a dropped record should cost a few nanoseconds, a written one about as much as the
// fprintf, and the wrapper about as much as the resolver.
#include <benchmark/benchmark.h>
#include <ku/ku.h>
#include <ku/ku_log.h>

#include <cstdio>
#include <cstdlib>

namespace {

const char kFile[] = "bench/ku_log_bench.cpp";
const char kFunction[] = "written_record";
const int kLine = 42;

void dropped_record(benchmark::State &state) {
  ku_log_t log = {sizeof(ku_log_t), "bench", nullptr, 0, 1, 2, nullptr, nullptr};
  int i = 0;
  for (auto _ : state) {
    _ku_llog(&log, 2, kFile, kFunction, kLine, "value %d\n", i++);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(dropped_record);

// The default log writes to /dev/null for the duration of one benchmark.
class DevNull {
 public:
  DevNull() : stream_(fopen("/dev/null", "w")) {
    if (stream_ == nullptr) {
      perror("/dev/null");
      exit(1);
    }
  }
  ~DevNull() { fclose(stream_); }
  DevNull(const DevNull &) = delete;
  DevNull &operator=(const DevNull &) = delete;
  FILE *stream() const { return stream_; }

 private:
  FILE *stream_;
};

void written_record(benchmark::State &state) {
  DevNull out;
  ku_init();
  ku_log_default.log_stream = out.stream();
  int i = 0;
  for (auto _ : state) _ku_llog(&ku_log_global, 0, kFile, kFunction, kLine, "value %d\n", i++);
  ku_log_default.log_stream = nullptr;
}
BENCHMARK(written_record);

void fprintf_same_text(benchmark::State &state) {
  DevNull out;
  int i = 0;
  for (auto _ : state) fprintf(out.stream(), "%s:%d %s() value %d\n", kFile, kLine, kFunction, i++);
}
BENCHMARK(fprintf_same_text);

addrinfo numeric_hints() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  return hints;
}

void ku_getaddrinfo_numeric(benchmark::State &state) {
  const addrinfo hints = numeric_hints();
  for (auto _ : state) {
    addrinfo *list = nullptr;
    if (ku_getaddrinfo("127.0.0.1", "80", &hints, &list) != 0) {
      state.SkipWithError("lookup failed");
      break;
    }
    ku_freeaddrinfo(list);
  }
}
BENCHMARK(ku_getaddrinfo_numeric);

void getaddrinfo_numeric(benchmark::State &state) {
  const addrinfo hints = numeric_hints();
  for (auto _ : state) {
    addrinfo *list = nullptr;
    if (getaddrinfo("127.0.0.1", "80", &hints, &list) != 0) {
      state.SkipWithError("lookup failed");
      break;
    }
    freeaddrinfo(list);
  }
}
BENCHMARK(getaddrinfo_numeric);

}  // namespace

BENCHMARK_MAIN();
