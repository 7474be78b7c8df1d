// SPDX-License-Identifier: MIT
// The logging path: level texts from the environment, level operations, and records with
// arbitrary file and function names, all written to a sink that formats into a buffer.
//
// Each input first chooses the values of KU_DEBUG, BROME_DEBUG and SHOW_DEBUG_LEVELS (or
// leaves them unset), initialises both logs as ku_init does, and then runs a sequence of
// operations that it also chooses.  The logs are process-wide, so every run starts by putting
// both back into their never-initialised state.  SHOW_DEBUG_LEVELS is looked up only once per
// process; it is set before the first run, so that level reports are written throughout.
//
// The sink checks, before it formats anything, that the format it was handed asks for exactly
// the arguments that come with it: the caller's conversions for a record, those of a level
// report for a report.  A '%' taken from a file or function name, or a conversion cut in two
// by the 511-character limit, fails that check instead of reading an argument that is not
// there.  A record that is not cut must come out as file:line function() text.
#include <ku/ku.h>
#include <ku/ku_log.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMaxFormat = 511;

// What the next logger call is allowed to ask for.
enum class Expect { kReport, kRecord, kExact };

struct Sink {
  Expect expect = Expect::kReport;
  std::string conversions;  // for kRecord and kExact
  bool cut = false;         // kRecord: the prefixed format is longer than the limit
  std::string text;         // kRecord and kExact: the whole output when nothing is cut
  int calls = 0;
} sink;

void check(bool ok) {
  if (!ok) abort();
}

// The conversion letters of a format, in order.  Anything but plain flags, width, precision
// and a conversion letter (a lone '%' at the end, '*', '$', length modifiers) fails, since
// none of the formats this fuzzer produces has them.
std::string conversions_of(const char *format) {
  std::string found;
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0'", *p)) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.')
      for (++p; *p >= '0' && *p <= '9';) ++p;
    check(*p && strchr("sdu", *p) != nullptr);
    found += *p;
  }
  return found;
}

void sink_logger(void *stream, const char *format, va_list ap) {
  check(stream == &sink || stream == nullptr);
  ++sink.calls;
  check(strlen(format) <= kMaxFormat || sink.expect == Expect::kExact);
  std::string have = conversions_of(format);
  switch (sink.expect) {
    case Expect::kReport:
      check(have == "su" || have == "suss");
      break;
    case Expect::kRecord:
      if (sink.cut)
        check(sink.conversions.compare(0, have.size(), have) == 0);
      else
        check(have == sink.conversions);
      break;
    case Expect::kExact:
      check(have == sink.conversions);
      break;
  }
  char out[4096];
  int n = vsnprintf(out, sizeof out, format, ap);
  check(n >= 0);
  if (sink.expect != Expect::kReport && !sink.cut) check(sink.text == out);
}

// atoi's reading of a level text, with numbers beyond int clamped to its range.
uint32_t level_of(const char *text) {
  while (*text && strchr(" \t\n\v\f\r", *text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    if (value <= INT_MAX + 1LL) value = value * 10 + (*text - '0');
  if (negative) value = -value;
  if (value < INT_MIN) value = INT_MIN;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<uint32_t>(static_cast<int>(value));
}

std::string escaped(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

// A text without zero bytes, as the C interface sees it.
std::string c_text(FuzzedDataProvider &in, size_t max) {
  std::string s = in.ConsumeRandomLengthString(max);
  return std::string(s.c_str());
}

void reset_logs() {
  ku_log_default.log_level = 9;
  ku_log_default.log_init = 0;
  ku_log_redirect(&ku_log_default, sink_logger, &sink);
  ku_log_global.log_level = 9;
  ku_log_global.log_init = 0;
  ku_log_redirect(&ku_log_global, nullptr, nullptr);
}

void set_env(FuzzedDataProvider &in, const char *name) {
  if (in.ConsumeBool())
    setenv(name, c_text(in, 40).c_str(), 1);
  else
    unsetenv(name);
}

void check_initialised(const ku_log_t *log, uint32_t fallback) {
  const char *value = getenv(log->log_env);
  if (value) {
    check(log->log_init == 2 && log->log_level == level_of(value));
  } else {
    check(log->log_init == 1 && log->log_level == fallback);
  }
}

ku_log_t *pick_log(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return &ku_log_global;
    case 1:
      return &ku_log_default;
    default:
      return nullptr;  // the level operations take it as ku_log_default
  }
}

unsigned pick_level(FuzzedDataProvider &in) {
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned>(0, 12)
                          : in.ConsumeIntegral<unsigned>();
}

bool writes(const ku_log_t *log, unsigned level) {
  uint32_t effective = log->log_init == 2 ? log->log_level : ku_log_default.log_level;
  return level <= effective && (log->log_logger || ku_log_default.log_logger);
}

void record(FuzzedDataProvider &in) {
  ku_log_t *log = in.ConsumeBool() ? &ku_log_global : &ku_log_default;
  unsigned level = pick_level(in);
  std::string file = c_text(in, 300), function = c_text(in, 300), text = c_text(in, 600);
  std::string arg = c_text(in, 100);
  int line = in.ConsumeIntegral<int>(), number = in.ConsumeIntegral<int>();
  std::string format = escaped(text) + "|%s|%d\n";

  sink.expect = Expect::kRecord;
  sink.conversions = "sd";
  size_t length = escaped(file).size() + 1 + std::to_string(line).size() + 1 +
                  escaped(function).size() + 3 + format.size();
  sink.cut = length > kMaxFormat;
  sink.text = file + ":" + std::to_string(line) + " " + function + "() " + text + "|" + arg + "|" +
              std::to_string(number) + "\n";
  sink.calls = 0;
  bool expected = writes(log, level);
  _ku_llog(log, level, file.c_str(), function.c_str(), line, format.c_str(), arg.c_str(), number);
  check(sink.calls == (expected ? 1 : 0));
}

void plain(FuzzedDataProvider &in) {
  std::string text = c_text(in, 200), arg = c_text(in, 100);
  sink.expect = Expect::kExact;
  sink.cut = false;
  sink.calls = 0;
  if (in.ConsumeBool()) {
    sink.conversions = "s";
    sink.text = text + arg;
    ku_log((escaped(text) + "%s").c_str(), arg.c_str());
  } else {
    int error = in.ConsumeIntegral<int>();
    sink.conversions = "ss";
    sink.text = text + ": " + strerror(error) + "\n";
    ku_perror2(text.c_str(), error);
  }
  check(sink.calls == (ku_log_default.log_logger ? 1 : 0));
}

void set_level(FuzzedDataProvider &in, bool soft) {
  ku_log_t *log = pick_log(in);
  ku_log_t *target = log ? log : &ku_log_default;
  unsigned level = pick_level(in);
  ku_log_t before = *target;
  sink.expect = Expect::kReport;
  if (!soft) {
    ku_log_set_level(log, level);
    check(target->log_init == 2 && target->log_level == level);
  } else {
    ku_log_soft_set_level(log, level);
    if (before.log_init == 1 || getenv(target->log_env))
      check(target->log_init == before.log_init && target->log_level == before.log_level);
    else
      check(target->log_init == 2 && target->log_level == level);
  }
}

void redirect(FuzzedDataProvider &in) {
  ku_log_t *log = in.ConsumeBool() ? &ku_log_global : &ku_log_default;
  if (in.ConsumeBool())
    ku_log_redirect(log, nullptr, nullptr);
  else
    ku_log_redirect(log, sink_logger, log == &ku_log_default ? &sink : nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("SHOW_DEBUG_LEVELS", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  set_env(in, "KU_DEBUG");
  set_env(in, "BROME_DEBUG");
  set_env(in, "SHOW_DEBUG_LEVELS");  // read once per process: must change nothing

  reset_logs();
  sink.expect = Expect::kReport;
  ku_log_init(&ku_log_default);
  ku_log_init(&ku_log_global);
  check_initialised(&ku_log_default, ku_log_default.log_default);
  check_initialised(&ku_log_global, ku_log_global.log_default);

  for (int steps = 0; steps < 16 && in.remaining_bytes() > 0; ++steps) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
      case 0:
        record(in);
        break;
      case 1:
        plain(in);
        break;
      case 2:
        set_level(in, false);
        break;
      case 3:
        set_level(in, true);
        break;
      default:
        redirect(in);
        break;
    }
  }
  return 0;
}
