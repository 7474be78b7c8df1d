// SPDX-License-Identifier: MIT
// The home report: its exact text for small trees (addresses replaced by names), the order of
// its entries, the locks it takes, and its failures.
#include <gtest/gtest.h>
#include <gmock/gmock.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using ::testing::AnyOf;
using ::testing::Eq;
using ::testing::HasSubstr;

// Runs the report into a string.
std::string report(ku_home_t *home) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(ku_home_report(home, f), 0);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

// Replaces every address in text by the name given for it; unknown addresses become "?".
std::string named(const std::string &text, const std::map<const void *, std::string> &names) {
  std::map<std::string, std::string> by_text;
  for (const auto &[p, name] : names) {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    by_text[buf] = name;
  }
  std::string out;
  std::regex address("0x[0-9a-f]+");
  auto last = text.cbegin();
  for (std::sregex_iterator it(text.begin(), text.end(), address), end; it != end; ++it) {
    out.append(last, text.cbegin() + it->position());
    auto found = by_text.find(it->str());
    out += found != by_text.end() ? found->second : "?";
    last = text.cbegin() + it->position() + it->length();
  }
  out.append(last, text.cend());
  return out;
}

// The addresses of the report's entry lines, in the order written, at one indentation.
std::vector<std::string> entry_addresses(const std::string &text, const std::string &indent) {
  std::vector<std::string> found;
  std::regex entry(indent + "(0x[0-9a-f]+): .*");
  std::smatch m;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = text.substr(at, nl - at);
    if (std::regex_match(line, m, entry)) found.push_back(m[1].str());
  }
  return found;
}

TEST(HomeReport, null_home_is_one_line) { EXPECT_EQ(report(nullptr), "home (null)\n"); }

TEST(HomeReport, home_without_table_says_so) {
  ku_home_t record{};
  record.kuh_size = 24;
  EXPECT_EQ(named(report(&record), {{&record, "H"}}), "home H: size 24, no table\n");
}

TEST(HomeReport, small_tree_with_a_sub_home) {
  ku_home_t *root = ku_home_create();
  void *a = ku_alloc(root, 16);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 32));
  void *b = ku_alloc(sub, 8);
  ASSERT_TRUE(a && sub && b);
  std::map<const void *, std::string> names{{root, "R"}, {a, "A"}, {sub, "S"}, {b, "B"}};

  const std::string head = "home R: size 24, refs 1, 2 entries in 31 slots\n";
  const std::string block_a = "  A: 16 bytes\n";
  const std::string block_s =
      "  S: 32 bytes, home\n"
      "    home S: size 32, refs 1, 1 entry in 31 slots, parent R\n"
      "      B: 8 bytes\n"
      "      total: 1 entry, 8 bytes\n";
  const std::string tail = "  total: 2 entries, 48 bytes; with sub-homes 3 entries, 56 bytes\n";
  EXPECT_THAT(named(report(root), names),
              AnyOf(Eq(head + block_a + block_s + tail), Eq(head + block_s + block_a + tail)));
  ku_home_unref(root);
}

TEST(HomeReport, sub_home_alone_reports_like_its_part_of_the_tree) {
  ku_home_t *root = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 24));
  ASSERT_NE(ku_alloc(sub, 40), nullptr);
  std::string alone = report(sub);
  std::string indented;
  for (size_t at = 0; at < alone.size();) {
    size_t nl = alone.find('\n', at);
    indented += "    " + alone.substr(at, nl + 1 - at);
    at = nl + 1;
  }
  EXPECT_THAT(report(root), HasSubstr(indented));
  ku_home_unref(root);
}

TEST(HomeReport, preload_area_carved_blocks_and_statistics) {
  ku_home_t *home = ku_home_create();
  ku_home_preload(home, 4, 16);
  ku_home_init_stats(home);
  void *carved = ku_alloc(home, 10);
  void *heap = ku_alloc(home, 100);
  void *gone = ku_alloc(home, 12);
  ku_free(home, gone);
  ASSERT_TRUE(carved && heap);
  std::map<const void *, std::string> names{{home, "H"}, {carved, "C"}, {heap, "P"}};

  const std::string head =
      "home H: size 24, refs 1, 2 entries in 31 slots\n"
      "  preload: 32 of 64 bytes used\n";
  const std::string c = "  C: 10 bytes, preload\n";
  const std::string p = "  P: 100 bytes\n";
  const std::string tail =
      "  total: 2 entries, 110 bytes\n"
      "  stats: alloc 1 (100 bytes), free 0 (0 bytes), live 1 (100 bytes), carved 2, "
      "carved freed 1, sub-homes 0, resizes 0\n";
  EXPECT_THAT(named(report(home), names), AnyOf(Eq(head + c + p + tail), Eq(head + p + c + tail)));
  ku_home_unref(home);
}

TEST(HomeReport, automatic_home_is_marked) {
  alignas(16) unsigned char area[1024];
  ku_home_t *home = ku_home_auto(area, sizeof area);
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(named(report(home), {{home, "H"}}),
            "home H: size 1024, refs 1, 0 entries in 7 slots, automatic\n"
            "  preload: 0 of 824 bytes used\n"
            "  total: 0 entries, 0 bytes\n");
  ku_home_deinit(home);
}

TEST(HomeReport, entries_come_in_table_slot_order) {
  ku_home_t *home = ku_home_create();
  for (int i = 0; i < 40; ++i) ASSERT_NE(ku_alloc(home, 8 + i), nullptr);
  std::vector<std::string> slots;
  const ku_block_t *t = home->kuh_blocks;
  for (uint64_t i = 0; i < t->kub_n; ++i)
    if (t->kub_nodes[i].kua_data != nullptr) {
      char buf[32];
      snprintf(buf, sizeof buf, "%p", t->kub_nodes[i].kua_data);
      slots.push_back(buf);
    }
  EXPECT_EQ(entry_addresses(report(home), "  "), slots);
  ku_home_unref(home);
}

// ---- Locks ----

// Hooks of our own, forwarding to the mutex pair, that count the internal mutex's use.
int internal_locks = 0;
int internal_unlocks = 0;
void counting_locker(void *m) {
  ++internal_locks;
  pthread_mutex_lock(static_cast<pthread_mutex_t *>(m));
}
void counting_unlocker(void *m) {
  ++internal_unlocks;
  pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m));
}
int user_locker(void *m) { return pthread_mutex_lock(static_cast<pthread_mutex_t *>(m) + 1); }
int user_trylocker(void *m) { return pthread_mutex_trylock(static_cast<pthread_mutex_t *>(m) + 1); }
int user_unlocker(void *m) { return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(m) + 1); }
void destroy_pair(void *m) {
  pthread_mutex_destroy(static_cast<pthread_mutex_t *>(m));
  pthread_mutex_destroy(static_cast<pthread_mutex_t *>(m) + 1);
  free(m);
}

class HomeReportLocks : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {_ku_home_locker,          _ku_home_unlocker,       _ku_home_mutex_locker,
              _ku_home_mutex_trylocker, _ku_home_mutex_unlocker, _ku_home_destroy_mutexes};
    _ku_home_locker = counting_locker;
    _ku_home_unlocker = counting_unlocker;
    _ku_home_mutex_locker = user_locker;
    _ku_home_mutex_trylocker = user_trylocker;
    _ku_home_mutex_unlocker = user_unlocker;
    _ku_home_destroy_mutexes = destroy_pair;
  }
  void TearDown() override {
    _ku_home_locker = saved_.locker;
    _ku_home_unlocker = saved_.unlocker;
    _ku_home_mutex_locker = saved_.mutex_locker;
    _ku_home_mutex_trylocker = saved_.mutex_trylocker;
    _ku_home_mutex_unlocker = saved_.mutex_unlocker;
    _ku_home_destroy_mutexes = saved_.destroy;
  }

 private:
  struct {
    void (*locker)(void *);
    void (*unlocker)(void *);
    int (*mutex_locker)(void *);
    int (*mutex_trylocker)(void *);
    int (*mutex_unlocker)(void *);
    void (*destroy)(void *);
  } saved_;
};

TEST_F(HomeReportLocks, every_home_is_locked_while_written_and_released_after) {
  ku_home_t *root = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 24));
  ASSERT_EQ(ku_home_threadsafe(root), 0);
  ASSERT_EQ(ku_home_threadsafe(sub), 0);
  internal_locks = internal_unlocks = 0;

  std::string out = report(root);
  EXPECT_EQ(internal_locks, 2);
  EXPECT_EQ(internal_unlocks, 2);
  EXPECT_THAT(out, HasSubstr(", refs 1, 1 entry in 31 slots, threadsafe\n"));
  EXPECT_THAT(out, HasSubstr(", parent "));
  ku_home_unref(root);
}

// ---- Failures ----

TEST(HomeReport, null_stream_is_efault) {
  errno = 0;
  EXPECT_EQ(ku_home_report(nullptr, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST(HomeReport, write_error_is_reported) {
  FILE *readonly = fopen("/dev/null", "r");
  ASSERT_NE(readonly, nullptr);
  ku_home_t *home = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_home_report(home, readonly), -1);
  EXPECT_EQ(errno, EBADF);
  fclose(readonly);
  ku_home_unref(home);
}

TEST(HomeReport, error_held_in_the_stream_buffer_is_reported) {
  FILE *full = fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  errno = 0;
  EXPECT_EQ(ku_home_report(nullptr, full), -1);
  EXPECT_EQ(errno, ENOSPC);
  fclose(full);
}

}  // namespace
