// SPDX-License-Identifier: MIT
// Logging: level states and their reports, the level filter, the choice of logger, the call-site
// prefix and the error-text helpers.
//
// Whatever depends on the environment or on the process-wide log state (the two static logs and
// the once-only SHOW_DEBUG_LEVELS look-up) runs in a child: the test binary re-executes itself
// with a scenario name and a chosen environment, the scenario runs before GoogleTest starts, and
// the parent compares the child's standard output and standard error byte for byte.  The other
// cases run in-process on logs of their own and save and restore the static logs they touch.
#include <gtest/gtest.h>
#include <ku/ku.h>
#include <ku/ku_log.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

// ---- Child scenarios ----

using Scenario = void (*)();

struct NamedScenario {
  const char *name;
  Scenario run;
};

std::vector<NamedScenario> &scenarios() {
  static std::vector<NamedScenario> all;
  return all;
}

struct RegisterScenario {
  RegisterScenario(const char *name, Scenario run) { scenarios().push_back({name, run}); }
};

#define SCENARIO(name)                                            \
  void scenario_##name();                                         \
  const RegisterScenario register_##name(#name, scenario_##name); \
  void scenario_##name()

const char kScenarioVariable[] = "KU_LOG_TEST_SCENARIO";

struct ChildResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_all(FILE *f) {
  std::string text;
  rewind(f);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  return text;
}

// Runs one scenario in a fresh process whose environment is exactly env (plus the sanitizer
// options of this one, so that sanitizer builds check the child as well).
ChildResult run_child(const char *scenario, std::vector<std::string> env = {}) {
  env.push_back(std::string(kScenarioVariable) + "=" + scenario);
  for (const char *keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char *value = getenv(keep)) env.push_back(std::string(keep) + "=" + value);
  std::vector<char *> envp;
  for (std::string &entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char *argv[] = {self, nullptr};

  ChildResult result;
  FILE *out = tmpfile();
  FILE *err = tmpfile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "tmpfile: " << strerror(errno);
    return result;
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    execve(self, argv, envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid)
    ADD_FAILURE() << "fork/waitpid: " << strerror(errno);
  result.status = status;
  result.out = read_all(out);
  result.err = read_all(err);
  fclose(out);
  fclose(err);
  return result;
}

// Report prefixes carry line numbers of the library's source, which are not part of what these
// tests pin down; the file name is.
std::string without_lines(const std::string &text) {
  static const std::regex line(R"(lib/ku_log\.cpp:[0-9]+ )");
  return std::regex_replace(text, line, "lib/ku_log.cpp:N ");
}

void show(const ku_log_t *log) {
  printf("%s %d %u\n", log->log_name, static_cast<int>(log->log_init), log->log_level);
}

void show_both() {
  show(&ku_log_default);
  show(&ku_log_global);
}

#define EXPECT_CHILD_OK(r) \
  EXPECT_EQ((r).status, 0) << "stdout:\n" << (r).out << "stderr:\n" << (r).err

const char kInitDefault[] =
    "lib/ku_log.cpp:N ku_log_init() brome: initialized log to level 0 (default)\n";

// ---- Initialisation at start-up ----

SCENARIO(init_plain) {
  ku_init();
  show_both();
}

TEST(LogInit, without_variables_both_logs_follow_at_level_0_silently) {
  ChildResult r = run_child("init_plain");
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 1 0\n");
  EXPECT_EQ(r.err, "");
}

TEST(LogInit, reports_default_log_then_global_log_behind_project_relative_prefix) {
  ChildResult r = run_child("init_plain", {"KU_DEBUG=3", "SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 2 3\n");
  EXPECT_EQ(without_lines(r.err),
            std::string(kInitDefault) +
                "lib/ku_log.cpp:N ku_log_init() ku: initialized log to level 3 (KU_DEBUG=3)\n");
}

SCENARIO(follower_level) {
  ku_init();
  show_both();
  _ku_llog(&ku_log_global, 5, "g.c", "f", 7, "five %d\n", 5);
  _ku_llog(&ku_log_global, 6, "g.c", "f", 8, "six\n");
}

TEST(LogInit, global_log_follows_level_of_default_log_from_its_variable) {
  ChildResult r = run_child("follower_level", {"BROME_DEBUG=5", "SHOW_DEBUG_LEVELS=1"});
  EXPECT_CHILD_OK(r);
  // The global log keeps its own default level; what counts for it is the default log's.
  EXPECT_EQ(r.out, "brome 2 5\nku 1 0\n");
  EXPECT_EQ(without_lines(r.err),
            "lib/ku_log.cpp:N ku_log_init() brome: initialized log to level 5 (BROME_DEBUG=5)\n"
            "lib/ku_log.cpp:N ku_log_init() ku: logging at default level 5\n"
            "g.c:7 f() five 5\n");
}

SCENARIO(init_twice) {
  ku_init();
  setenv("KU_DEBUG", "8", 1);
  setenv("BROME_DEBUG", "8", 1);
  ku_init();
  show_both();
}

TEST(LogInit, second_init_changes_nothing_and_reports_nothing) {
  ChildResult r = run_child("init_twice", {"KU_DEBUG=2", "SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 2 2\n");
  EXPECT_EQ(without_lines(r.err),
            std::string(kInitDefault) +
                "lib/ku_log.cpp:N ku_log_init() ku: initialized log to level 2 (KU_DEBUG=2)\n");
}

// ---- Level texts ----

SCENARIO(level_texts) {
  static const char *const variables[] = {"T_EMPTY", "T_ABC",   "T_MINUS1", "T_7X",    "T_BLANKS",
                                          "T_BIG",   "T_SMALL", "T_UINT",   "T_INTMAX"};
  for (const char *variable : variables) {
    ku_log_t log = {sizeof(ku_log_t), variable, variable, 42, 9, 0, nullptr, nullptr};
    ku_log_init(&log);
    show(&log);
  }
}

TEST(LogInit, level_text_is_read_as_atoi_reads_it_and_clamped_to_int) {
  ChildResult r = run_child(
      "level_texts", {"T_EMPTY=", "T_ABC=abc", "T_MINUS1=-1", "T_7X=7x", "T_BLANKS= \t+12 3",
                      "T_BIG=99999999999999999999999", "T_SMALL=-99999999999", "T_UINT=4294967295",
                      "T_INTMAX=2147483647"});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out,
            "T_EMPTY 2 0\nT_ABC 2 0\nT_MINUS1 2 4294967295\nT_7X 2 7\nT_BLANKS 2 12\n"
            "T_BIG 2 2147483647\nT_SMALL 2 2147483648\nT_UINT 2 2147483647\n"
            "T_INTMAX 2 2147483647\n");
  EXPECT_EQ(r.err, "");
}

// ---- Lazy initialisation by the first record ----

SCENARIO(first_record_initialises) {
  _ku_llog(&ku_log_global, 2, "r.c", "f", 1, "passes\n");
  show_both();
}

TEST(LogRecord, first_record_initialises_default_then_own_log_before_it_is_written) {
  ChildResult r = run_child("first_record_initialises", {"KU_DEBUG=2", "SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 2 2\n");
  EXPECT_EQ(without_lines(r.err),
            std::string(kInitDefault) +
                "lib/ku_log.cpp:N ku_log_init() ku: initialized log to level 2 (KU_DEBUG=2)\n"
                "r.c:1 f() passes\n");
}

SCENARIO(dropped_first_record_initialises) {
  _ku_llog(&ku_log_global, 1, "r.c", "f", 1, "dropped\n");
  show_both();
}

TEST(LogRecord, dropped_first_record_still_initialises_and_reports) {
  ChildResult r = run_child("dropped_first_record_initialises", {"SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 1 0\n");
  EXPECT_EQ(without_lines(r.err),
            std::string(kInitDefault) +
                "lib/ku_log.cpp:N ku_log_init() ku: logging at default level 0\n");
}

// ---- Setting levels ----

SCENARIO(set_level_of_default) {
  ku_init();
  ku_log_set_level(nullptr, 4);
  show_both();
  _ku_llog(&ku_log_global, 4, "s.c", "f", 1, "four\n");
  _ku_llog(&ku_log_global, 5, "s.c", "f", 2, "five\n");
}

TEST(LogSetLevel, null_log_sets_default_log_and_every_follower_passes_up_to_it) {
  ChildResult r = run_child("set_level_of_default", {"SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 2 4\nku 1 0\n");
  EXPECT_EQ(without_lines(r.err),
            std::string(kInitDefault) +
                "lib/ku_log.cpp:N ku_log_init() ku: logging at default level 0\n"
                "lib/ku_log.cpp:N ku_log_set_level() brome: set log to level 4\n"
                "s.c:1 f() four\n");
}

SCENARIO(set_level_overrides_environment) {
  ku_log_set_level(&ku_log_global, 3);
  show_both();
  ku_log_init(&ku_log_global);
  show(&ku_log_global);
}

TEST(LogSetLevel, wins_over_variable_and_leaves_default_log_uninitialised) {
  ChildResult r =
      run_child("set_level_overrides_environment", {"KU_DEBUG=7", "SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 0 9\nku 2 3\nku 2 3\n");
  EXPECT_EQ(without_lines(r.err), "lib/ku_log.cpp:N ku_log_set_level() ku: set log to level 3\n");
}

// ---- Soft setting ----

SCENARIO(soft_set_rows) {
  ku_log_t fresh_set = {sizeof(ku_log_t), "fresh_set", "SET_DEBUG", 0, 9, 0, nullptr, nullptr};
  ku_log_t fresh_unset = {sizeof(ku_log_t), "fresh_unset", "UNSET_DEBUG", 0, 9, 0,
                          nullptr,          nullptr};
  ku_log_t own_set = {sizeof(ku_log_t), "own_set", "SET_DEBUG", 0, 9, 0, nullptr, nullptr};
  ku_log_t own_unset = {sizeof(ku_log_t), "own_unset", "UNSET_DEBUG", 0, 9, 0, nullptr, nullptr};
  ku_log_t follower = {sizeof(ku_log_t), "follower", nullptr, 0, 9, 0, nullptr, nullptr};
  ku_log_init(&follower);
  ku_log_set_level(&own_set, 1);
  ku_log_set_level(&own_unset, 1);

  ku_log_soft_set_level(&fresh_set, 6);
  ku_log_soft_set_level(&fresh_unset, 6);
  ku_log_soft_set_level(&own_set, 6);
  ku_log_soft_set_level(&own_unset, 6);
  ku_log_soft_set_level(&follower, 6);
  for (const ku_log_t *log : {&fresh_set, &fresh_unset, &own_set, &own_unset, &follower}) show(log);
}

TEST(LogSoftSetLevel, yields_to_variable_and_to_default_initialisation) {
  ChildResult r = run_child("soft_set_rows", {"SET_DEBUG=5", "SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "fresh_set 2 5\nfresh_unset 2 6\nown_set 2 1\nown_unset 2 6\nfollower 1 0\n");
  EXPECT_EQ(
      without_lines(r.err),
      std::string(kInitDefault) +
          "lib/ku_log.cpp:N ku_log_init() follower: logging at default level 0\n"
          "lib/ku_log.cpp:N ku_log_set_level() own_set: set log to level 1\n"
          "lib/ku_log.cpp:N ku_log_set_level() own_unset: set log to level 1\n"
          "lib/ku_log.cpp:N ku_log_init() fresh_set: initialized log to level 5 (SET_DEBUG=5)\n"
          "lib/ku_log.cpp:N ku_log_soft_set_level() fresh_unset: soft set log to level 6\n"
          "lib/ku_log.cpp:N ku_log_soft_set_level() own_unset: soft set log to level 6\n");
}

SCENARIO(soft_set_default) {
  ku_log_soft_set_level(nullptr, 3);
  show_both();
}

TEST(LogSoftSetLevel, null_log_means_default_log) {
  ChildResult r = run_child("soft_set_default", {"SHOW_DEBUG_LEVELS="});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 2 3\nku 0 9\n");
  EXPECT_EQ(without_lines(r.err),
            "lib/ku_log.cpp:N ku_log_soft_set_level() brome: soft set log to level 3\n");
}

// ---- The report switch ----

SCENARIO(switch_looked_up_once) {
  ku_init();
  setenv("SHOW_DEBUG_LEVELS", "1", 1);
  ku_log_set_level(&ku_log_global, 3);
  show(&ku_log_global);
}

TEST(LogReports, setting_show_debug_levels_after_first_look_up_has_no_effect) {
  ChildResult r = run_child("switch_looked_up_once");
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "ku 2 3\n");
  EXPECT_EQ(r.err, "");
}

SCENARIO(silenced_default_logger) {
  ku_log_redirect(nullptr, nullptr, nullptr);
  ku_init();
  ku_log_set_level(&ku_log_global, 9);
  _ku_llog(&ku_log_global, 0, "x.c", "f", 1, "record\n");
  ku_log("plain\n");
  show_both();
}

TEST(LogReports, default_log_redirected_to_no_logger_drops_reports_and_records_silently) {
  ChildResult r = run_child("silenced_default_logger", {"SHOW_DEBUG_LEVELS=", "KU_DEBUG=1"});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "brome 1 0\nku 2 9\n");
  EXPECT_EQ(r.err, "");
}

// ---- The default logger ----

SCENARIO(global_at_level_3) {
  ku_init();
  _ku_llog(&ku_log_global, 3, "d.c", "f", 3, "three %s\n", "passes");
  _ku_llog(&ku_log_global, 4, "d.c", "f", 4, "four\n");
}

TEST(LogDefaultLogger, writes_records_of_a_log_without_logger_to_stderr) {
  ChildResult r = run_child("global_at_level_3", {"KU_DEBUG=3"});
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.err, "d.c:3 f() three passes\n");
  EXPECT_EQ(r.out, "");
}

SCENARIO(default_logger_stream) {
  ku_init();
  ku_log_default.log_stream = stdout;
  ku_log("to %s\n", "stdout");
  _ku_llog(&ku_log_global, 0, "d.c", "f", 5, "%d%%\n", 100);
}

TEST(LogDefaultLogger, writes_to_the_stream_of_the_default_log_unchanged) {
  ChildResult r = run_child("default_logger_stream");
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(r.out, "to stdout\nd.c:5 f() 100%\n");
  EXPECT_EQ(r.err, "");
}

// ---- Record path, in-process ----

struct Captured {
  int calls = 0;
  void *stream = nullptr;
  std::string format;
  std::string text;
};
Captured captured;

void capture_logger(void *stream, const char *format, va_list ap) {
  ++captured.calls;
  captured.stream = stream;
  captured.format = format;
  va_list copy;
  va_copy(copy, ap);
  const int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(n), '\0');
  vsnprintf(text.data(), text.size() + 1, format, ap);
  captured.text += text;
}

void other_logger(void *, const char *, va_list) { captured.text += "<other>"; }

void vllog(ku_log_t *log, unsigned level, const char *file, const char *function, int line,
           const char *format, ...) KU_PRINTF(6, 7);
void vllog(ku_log_t *log, unsigned level, const char *file, const char *function, int line,
           const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  _ku_vllog(log, level, file, function, line, format, ap);
  va_end(ap);
}

// Each case gets an initialised default log at level 0 whose logger captures; the static logs
// are put back afterwards.
class LogPath : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_default_ = ku_log_default;
    saved_global_ = ku_log_global;
    captured = Captured{};
    ku_log_default.log_init = 2;
    ku_log_default.log_level = 0;
    ku_log_default.log_logger = capture_logger;
    ku_log_default.log_stream = &ku_log_default;
  }
  void TearDown() override {
    ku_log_default = saved_default_;
    ku_log_global = saved_global_;
  }

  ku_log_t own(unsigned level, ku_logger_fn *logger = nullptr, void *stream = nullptr) {
    return {sizeof(ku_log_t), "own", nullptr, 0, level, 2, logger, stream};
  }

 private:
  ku_log_t saved_default_{};
  ku_log_t saved_global_{};
};

TEST_F(LogPath, record_at_effective_level_passes_and_one_above_is_dropped) {
  ku_log_t log = own(3);
  _ku_llog(&log, 3, "a.c", "f", 1, "three\n");
  _ku_llog(&log, 4, "a.c", "f", 2, "four\n");
  _ku_llog(&log, UINT_MAX, "a.c", "f", 3, "max\n");
  EXPECT_EQ(captured.text, "a.c:1 f() three\n");
  log.log_level = UINT_MAX;
  _ku_llog(&log, UINT_MAX, "a.c", "f", 4, "max\n");
  EXPECT_EQ(captured.calls, 2);
}

TEST_F(LogPath, follower_reads_default_level_at_each_record) {
  ku_log_t log = own(9);
  log.log_init = 1;
  _ku_llog(&log, 1, "a.c", "f", 1, "first\n");
  ku_log_default.log_level = 1;
  _ku_llog(&log, 1, "a.c", "f", 2, "second\n");
  _ku_llog(&log, 2, "a.c", "f", 3, "third\n");
  EXPECT_EQ(captured.text, "a.c:2 f() second\n");
}

TEST_F(LogPath, log_without_logger_borrows_logger_and_stream_of_default_log) {
  ku_log_t log = own(0);
  _ku_llog(&log, 0, "a.c", "f", 1, "x\n");
  EXPECT_EQ(captured.calls, 1);
  EXPECT_EQ(captured.stream, &ku_log_default);
}

TEST_F(LogPath, log_with_own_logger_keeps_its_own_null_stream) {
  ku_log_t log = own(0);
  ku_log_redirect(&log, capture_logger, nullptr);
  _ku_llog(&log, 0, "a.c", "f", 1, "x\n");
  EXPECT_EQ(captured.calls, 1);
  EXPECT_EQ(captured.stream, nullptr);
}

TEST_F(LogPath, redirect_changes_only_logger_and_stream_and_null_log_means_default) {
  ku_log_t log = own(5, capture_logger);
  const ku_log_t before = log;
  ku_log_redirect(&log, other_logger, &captured);
  EXPECT_EQ(log.log_logger, other_logger);
  EXPECT_EQ(log.log_stream, &captured);
  EXPECT_EQ(log.log_level, before.log_level);
  EXPECT_EQ(log.log_init, before.log_init);
  _ku_llog(&log, 0, "a.c", "f", 1, "x\n");
  ku_log_redirect(&log, nullptr, &captured);
  _ku_llog(&log, 0, "a.c", "f", 2, "y\n");
  EXPECT_EQ(captured.text, "<other>a.c:2 f() y\n");
  EXPECT_EQ(captured.stream, &ku_log_default);
  ku_log_redirect(nullptr, other_logger, nullptr);
  EXPECT_EQ(ku_log_default.log_logger, other_logger);
  EXPECT_EQ(ku_log_default.log_stream, nullptr);
}

TEST_F(LogPath, without_any_logger_record_is_dropped_silently) {
  ku_log_default.log_logger = nullptr;
  ku_log_t log = own(0);
  _ku_llog(&log, 0, "a.c", "f", 1, "x\n");
  ku_log("y\n");
  EXPECT_EQ(captured.calls, 0);
}

TEST_F(LogPath, vllog_passes_format_unchanged_without_file_function_or_line) {
  ku_log_t log = own(0, capture_logger);
  vllog(&log, 0, "hidden.c", "hidden", 99, "n=%d\n", 5);
  EXPECT_EQ(captured.format, "n=%d\n");
  EXPECT_EQ(captured.text, "n=5\n");
}

TEST_F(LogPath, llog_puts_call_site_in_front_and_applies_arguments) {
  ku_log_t log = own(0);
  _ku_llog(&log, 0, "x", "f", 12, "n=%d\n", 5);
  _ku_llog(&log, 0, "x", "f", -7, "%s\n", "neg");
  EXPECT_EQ(captured.text, "x:12 f() n=5\nx:-7 f() neg\n");
}

TEST_F(LogPath, percent_in_file_or_function_is_written_as_itself) {
  ku_log_t log = own(0);
  _ku_llog(&log, 0, "100%s.c", "f%d%", 3, "n=%d\n", 5);
  EXPECT_EQ(captured.text, "100%s.c:3 f%d%() n=5\n");
}

// ---- The 511-character cut ----

TEST_F(LogPath, long_format_is_cut_to_511_characters_with_prefix) {
  ku_log_t log = own(0);
  const std::string format(600, 'a');
  _ku_llog(&log, 0, "x", "f", 12, format.c_str(), 0);
  const std::string prefix = "x:12 f() ";
  EXPECT_EQ(captured.format.size(), 511u);
  EXPECT_EQ(captured.text, prefix + format.substr(0, 511 - prefix.size()));
}

TEST_F(LogPath, cut_never_leaves_a_partial_conversion) {
  ku_log_t log = own(0);
  const std::string prefix = "x:12 f() ";  // 9 characters
  struct Case {
    std::string tail;  // begins at offset 508 of the prefixed format; offset 511 is cut
    std::string kept;  // what survives of it
  } cases[] = {
      {"aa%d", "aa"},   // the cut falls after a lone '%'
      {"a%ld", "a"},    // ... inside a length modifier
      {"%hhd", ""},     // ... after a doubled one
      {"aa%%", "aa"},   // ... between the two '%' of a literal percent
      {"a%%x", "a%%"},  // a literal percent just before the cut stays
      {"a%dx", "a%d"},  // a whole conversion just before the cut stays
      {"a%.5", "a"},    // ... inside a precision
      {"a%1$", "a"},    // ... after an argument position
  };
  for (const Case &c : cases) {
    captured = Captured{};
    const std::string format = std::string(508 - prefix.size(), 'a') + c.tail + "%d tail";
    _ku_llog(&log, 0, "x", "f", 12, format.c_str(), 7);
    EXPECT_EQ(captured.format, prefix + format.substr(0, 499) + c.kept) << c.tail;
  }
}

TEST_F(LogPath, escaped_names_are_cut_without_splitting_a_doubled_percent) {
  ku_log_t log = own(0);
  const std::string file(300, '%');
  _ku_llog(&log, 0, file.c_str(), "f", 1, "x\n");
  EXPECT_EQ(captured.format.size(), 510u);
  EXPECT_EQ(captured.text, std::string(255, '%'));
}

// ---- Error texts ----

TEST_F(LogPath, ku_log_writes_on_default_log_at_level_0_without_prefix) {
  ku_log("plain %d\n", 1);
  EXPECT_EQ(captured.text, "plain 1\n");
  EXPECT_EQ(captured.format, "plain %d\n");
}

TEST_F(LogPath, perror2_writes_text_and_message_of_error) {
  ku_perror2("open", ENOENT);
  EXPECT_EQ(captured.text, std::string("open: ") + strerror(ENOENT) + "\n");
}

TEST_F(LogPath, perror_uses_current_error_number) {
  EXPECT_EQ(ku_seterrno(ENOENT), -1);
  ku_perror("open");
  EXPECT_EQ(captured.text, std::string("open: ") + strerror(ENOENT) + "\n");
}

TEST(Errno, seterrno_returns_minus_one_and_sets_errno_even_when_clearing) {
  EXPECT_EQ(ku_seterrno(EFAULT), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(ku_errno(), EFAULT);
  EXPECT_EQ(ku_seterrno(0), -1);
  EXPECT_EQ(ku_errno(), 0);
  EXPECT_STREQ(ku_strerror(ENOENT), strerror(ENOENT));
}

// ---- Preconditions ----

#ifndef NDEBUG
TEST(LogDeathTest, null_log_aborts_a_record) {
  EXPECT_DEATH(_ku_llog(nullptr, 0, "a.c", "f", 1, "x\n"), "log != nullptr");
  EXPECT_DEATH(vllog(nullptr, 0, "a.c", "f", 1, "x\n"), "log != nullptr");
}
#else
TEST_F(LogPath, null_log_drops_the_record_without_assertions) {
  _ku_llog(nullptr, 0, "a.c", "f", 1, "x\n");
  vllog(nullptr, 0, "a.c", "f", 1, "x\n");
  EXPECT_EQ(captured.calls, 0);
}
#endif

// A child started by run_child runs its scenario here, before GoogleTest's main, and ends.  This
// object comes last in the file so that every scenario above is registered by then.
const struct ChildDispatch {
  ChildDispatch() {
    const char *name = getenv(kScenarioVariable);
    if (name == nullptr) return;
    unsetenv(kScenarioVariable);
    for (const NamedScenario &s : scenarios()) {
      if (strcmp(s.name, name) == 0) {
        s.run();
        exit(0);
      }
    }
    fprintf(stderr, "no scenario %s\n", name);
    _exit(2);
  }
} child_dispatch;

}  // namespace
