// SPDX-License-Identifier: MIT
// What helps a person find a leak or a misuse: the report at exit switched on by KU_DEBUG in a
// real environment, the walk over live homes, and the messages about ended homes and foreign
// blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <ku/ku.h>
#include <ku/ku_alloc.h>
#include <ku/ku_log.h>

#include "ku_test_util.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

extern char **environ;

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

// Runs one test of this program in a child process, with KU_DEBUG set to level (or unset for
// null), and returns what it wrote on standard error.
std::string child_stderr(const char *test, const char *level) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e)
    if (strncmp(*e, "KU_DEBUG=", 9) != 0 && strncmp(*e, "BROME_DEBUG=", 12) != 0 &&
        strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
      env.push_back(*e);
  env.push_back("ASAN_OPTIONS=detect_leaks=0");  // the child leaks on purpose
  if (level) env.push_back(std::string("KU_DEBUG=") + level);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string filter = std::string("--gtest_filter=") + test;
  char also[] = "--gtest_also_run_disabled_tests";
  char self[] = "/proc/self/exe";
  char *argv[] = {self, filter.data(), also, nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, self, &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  return out;
}

// Run only as the child of the tests below: a program that forgets a request's string.
TEST(LeakReport, DISABLED_leaky_program) {
  ku_init();
  ku_home_t *server = ku_home_create();
  ku_home_set_name(server, "server");
  ku_home_t *done = ku_home_create();
  ku_home_unref(done);
  auto *request = static_cast<ku_home_t *>(ku_home_clone(server, 24));
  ku_home_set_name(request, "request %d", 42);
  ASSERT_NE(ku_asprintf(request, "forgotten %d", 42), nullptr);
  ku_home_t own{};  // a caller's home is not listed
  ASSERT_EQ(ku_home_init(&own), 0);
}

TEST(LeakReport, at_exit_through_the_global_log_when_ku_debug_asks) {
  const std::string out = child_stderr("LeakReport.DISABLED_leaky_program", "2");
  EXPECT_THAT(out, ContainsRegex("report_at_exit\\(\\) ku: 1 home still alive at exit\n"
                                 "home 0x[0-9a-f]+ \"server\": 1 block, 24 bytes, refs 1\n"
                                 "  home 0x[0-9a-f]+ \"request 42\": 1 block, 13 bytes, refs 1, "
                                 "parent 0x[0-9a-f]+\n"
                                 "    0x[0-9a-f]+: 13 bytes heap \"forgotten 42\"\n"));
}

TEST(LeakReport, nothing_below_level_2) {
  EXPECT_THAT(child_stderr("LeakReport.DISABLED_leaky_program", nullptr), Not(HasSubstr("ku:")));
  EXPECT_THAT(child_stderr("LeakReport.DISABLED_leaky_program", "1"), Not(HasSubstr("ku:")));
}

// ---- The walk over live homes ----

int visited[8];
int count_visits;
int record(ku_home_t *home, void *stop_after) {
  visited[count_visits++] = home->kuh_size;
  return count_visits == *static_cast<int *>(stop_after);
}

TEST(LiveHomes, walked_oldest_first_once_the_log_asks) {
  EXPECT_EXIT(
      {
        int never = 0;
        if (ku_home_walk_live(record, &never) != -1 || errno != ENOTSUP) _exit(1);
        ku_log_set_level(&ku_log_global, 2);
        ku_home_t *a = static_cast<ku_home_t *>(ku_home_new(32));
        ku_home_t *b = static_cast<ku_home_t *>(ku_home_new(40));
        ku_home_t *c = static_cast<ku_home_t *>(ku_home_clone(nullptr, 48));
        (void)ku_home_clone(a, 56);  // sub-homes are walked with their top
        ku_home_unref(b);
        if (ku_home_walk_live(record, &never) != 2) _exit(2);
        if (visited[0] != 32 || visited[1] != 48) _exit(3);
        int one = 1;
        count_visits = 0;
        if (ku_home_walk_live(record, &one) != 1) _exit(4);
        ku_home_destroy(c);
        free(c);
        ku_home_unref(a);
        count_visits = 0;
        _exit(ku_home_walk_live(record, &never) == 0 ? 0 : 5);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- Misuse ----

class Misuse : public ku_test::DeathTest {
 protected:
  void SetUp() override {
    ku_test::DeathTest::SetUp();
    // An instrumented library reports the read of the freed record itself, first.
    if (ku_test::checker_allocator()) GTEST_SKIP() << "a checker's allocator";
  }
};

TEST_F(Misuse, a_second_unref_names_the_call_and_the_ended_home) {
  ku_home_t *home = ku_home_create();
  ASSERT_NE(ku_alloc(home, 10), nullptr);
  EXPECT_EQ(ku_home_unref(home), 1);
  EXPECT_DEATH(ku_home_unref(home), "^ku_home_unref: home 0x[0-9a-f]+: already ended");
}

TEST_F(Misuse, a_sub_home_used_after_its_parent_ended) {
  ku_home_t *parent = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  ku_home_unref(parent);
  EXPECT_DEATH(ku_alloc(sub, 8), "^ku_alloc: home 0x[0-9a-f]+: already ended");
}

#ifndef NDEBUG
TEST_F(Misuse, a_foreign_free_says_why_before_the_assertion) {
  ku_home_t *home = ku_home_create();
  ku_home_set_name(home, "request");
  auto *block = static_cast<char *>(ku_alloc(home, 64));
  EXPECT_DEATH(ku_free(home, ku_test::opaque(block + 16)),
               "ku_free: 0x[0-9a-f]+ is not a block of home 0x[0-9a-f]+ \"request\": it lies 16 "
               "bytes into its block 0x[0-9a-f]+ of 64 bytes\n.*the address is not an allocation "
               "of this home");
  int elsewhere;
  EXPECT_DEATH(
      ku_free(home, ku_test::opaque(&elsewhere)),
      "ku_free: 0x[0-9a-f]+ is not a block of home 0x[0-9a-f]+ \"request\": freed twice, a "
      "block of another home, or an address inside a block\n.*the address is not an allocation of "
      "this home");
  ku_home_unref(home);
}
#endif

}  // namespace
