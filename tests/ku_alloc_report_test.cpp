// SPDX-License-Identifier: MIT
// The home reports: the tree's exact text for small trees (addresses replaced by names), the
// order of its blocks and their previews, the folded lines, the locks taken, and the failures.
#include <gtest/gtest.h>
#include <gmock/gmock.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
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

TEST(HomeReport, small_tree_with_a_named_sub_home) {
  ku_home_t *root = ku_home_create();
  auto *a = static_cast<char *>(ku_alloc(root, 16));
  strcpy(a, "peer1");
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 32));
  ASSERT_EQ(ku_home_set_name(sub, "request %d", 42), 0);
  auto *b = static_cast<uint32_t *>(ku_zalloc(sub, 8));
  ASSERT_TRUE(a && sub && b);
  b[0] = 0x2a01;
  std::map<const void *, std::string> names{{root, "R"}, {a, "A"}, {sub, "S"}, {b, "B"}};

  const std::string head = "home R: 2 blocks, 48 bytes, refs 1\n";
  const std::string block_a = "  A: 16 bytes heap \"peer1\"\n";
  const std::string block_s =
      "  home S \"request 42\": 1 block, 8 bytes, refs 1, size 32, parent R\n"
      "    B: 8 bytes heap \"\\x01*\\x00\\x00\\x00\\x00\\x00\\x00\"\n";
  const std::string tail = "  with sub-homes: 3 blocks, 56 bytes\n";
  // Blocks first, in address order, then the sub-homes.
  EXPECT_EQ(named(report(root), names), head + block_a + block_s + tail);
  ku_home_unref(root);
}

TEST(HomeReport, previews_show_text_and_escape_the_rest) {
  ku_home_t *home = ku_home_create();
  struct {
    const char *bytes;
    int size;
    const char *shown;
  } cases[] = {
      {"forgotten 42", 13, "\"forgotten 42\""},
      {"a\"b\\c\n\td", 9, "\"a\\\"b\\\\c\\n\\td\""},
      {"x", 2, "\"x\""},                       // all of the block but its NUL
      {"x\0\0\0", 4, "\"x\\x00\\x00\\x00\""},  // one character in a larger block
      {"0123456789abcdefghijklmn", 25, "\"0123456789abcdefghijklmn\""},
      {"0123456789abcdefghijklmnopqrstuvwxyz", 30, "\"0123456789abcdefghijklmn\"..."},
      {"\x80\xff", 2, "\"\\x80\\xff\""},
  };
  for (const auto &c : cases) {
    void *p = ku_memdup(home, c.bytes, c.size);
    ASSERT_NE(p, nullptr);
    EXPECT_THAT(report(home), HasSubstr(std::string(" bytes heap ") + c.shown + "\n")) << c.shown;
    ku_free(home, p);
  }
  ku_home_unref(home);
}

TEST(HomeReport, sub_home_alone_reports_like_its_part_of_the_tree) {
  ku_home_t *root = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 24));
  ASSERT_NE(ku_alloc(sub, 40), nullptr);
  std::string alone = report(sub);
  std::string indented;
  for (size_t at = 0; at < alone.size();) {
    size_t nl = alone.find('\n', at);
    indented += "  " + alone.substr(at, nl + 1 - at);
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

  memcpy(carved, "carved", 7);
  memcpy(heap, "on the heap", 12);
  const std::string head =
      "home H: 2 blocks, 110 bytes, refs 1\n"
      "  preload: 32 of 64 bytes used\n"
      "  stats: alloc 1 (100 bytes), free 0 (0 bytes), live 1 (100 bytes), carved 2, "
      "carved freed 1, sub-homes 0, resizes 0\n";
  const std::string c = "  C: 10 bytes carved \"carved\"\n";
  const std::string p = "  P: 100 bytes heap \"on the heap\"\n";
  EXPECT_THAT(named(report(home), names), AnyOf(Eq(head + c + p), Eq(head + p + c)));
  ku_home_unref(home);
}

TEST(HomeReport, automatic_home_is_marked) {
  alignas(16) unsigned char area[1024];
  ku_home_t *home = ku_home_auto(area, sizeof area);
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(named(report(home), {{home, "H"}}),
            "home H: 0 blocks, 0 bytes, refs 1, size 1024, automatic\n"
            "  preload: 0 of 824 bytes used\n");
  ku_home_deinit(home);
}

TEST(HomeReport, blocks_come_in_address_order) {
  ku_home_t *home = ku_home_create();
  std::vector<uintptr_t> blocks;
  for (int i = 0; i < 40; ++i) {
    void *p = ku_zalloc(home, 8 + i);
    ASSERT_NE(p, nullptr);
    blocks.push_back(reinterpret_cast<uintptr_t>(p));
  }
  std::sort(blocks.begin(), blocks.end());
  std::vector<std::string> expected;
  for (uintptr_t p : blocks) {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", reinterpret_cast<void *>(p));
    expected.push_back(buf);
  }
  EXPECT_EQ(entry_addresses(report(home), "  "), expected);
  ku_home_unref(home);
}

// ---- Folded lines ----

std::string folded(ku_home_t *home) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  EXPECT_EQ(ku_home_report_folded(home, f), 0);
  fclose(f);
  std::string out(text, size);
  free(text);
  return out;
}

TEST(HomeReport, folded_lines_add_up_by_name) {
  ku_home_t *server = ku_home_create();
  ku_home_set_name(server, "server");
  ASSERT_NE(ku_alloc(server, 100), nullptr);
  for (int i = 0; i < 2; ++i) {
    auto *req = static_cast<ku_home_t *>(ku_home_clone(server, 24));
    ku_home_set_name(req, "req;%d", i);
    ASSERT_NE(ku_alloc(req, 10), nullptr);
    auto *unnamed = static_cast<ku_home_t *>(ku_home_clone(req, 40));
    ASSERT_NE(ku_alloc(unnamed, 7), nullptr);
  }
  (void)ku_home_clone(server, 32);  // holds nothing but its record
  std::string out = folded(server);
  // Children come before their parent; a record counts in its own home's frame.
  EXPECT_THAT(out, HasSubstr("server;req:0;(unnamed) 47\nserver;req:0 34\n"));
  EXPECT_THAT(out, HasSubstr("server;req:1;(unnamed) 47\nserver;req:1 34\n"));
  EXPECT_THAT(out, HasSubstr("server;(unnamed) 32\n"));
  EXPECT_THAT(out, testing::EndsWith("server 100\n"));
  EXPECT_EQ(folded(nullptr), "");
  ku_home_unref(server);
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
  EXPECT_THAT(out, HasSubstr(": 1 block, 24 bytes, refs 1, threadsafe\n"));
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
