// SPDX-License-Identifier: MIT
// Names of homes: set, read, replaced and taken away; kept beside the home, so that its table,
// counters and statistics do not change; carried through growth and moves; gone with the home.
#include <gtest/gtest.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <cerrno>
#include <string>

namespace {

using ku_test::table;

std::string name(const ku_home_t *home) {
  const char *n = ku_home_name(home);
  return n ? n : "(none)";
}

TEST(HomeName, set_replaced_and_taken_away) {
  ku_home_t *home = ku_home_create();
  EXPECT_EQ(name(home), "(none)");
  EXPECT_EQ(ku_home_set_name(home, "request %d from %s", 42, "peer1"), 0);
  EXPECT_EQ(name(home), "request 42 from peer1");
  EXPECT_EQ(ku_home_set_name(home, "%s", "renamed"), 0);
  EXPECT_EQ(name(home), "renamed");
  EXPECT_EQ(ku_home_set_name(home, nullptr), 0);
  EXPECT_EQ(name(home), "(none)");
  EXPECT_EQ(ku_home_set_name(home, nullptr), 0);  // nothing to take away
  ku_home_unref(home);
}

TEST(HomeName, refused_without_home_or_table) {
  errno = 0;
  EXPECT_EQ(ku_home_set_name(nullptr, "x"), -1);
  EXPECT_EQ(errno, EFAULT);
  ku_home_t record{};
  errno = 0;
  EXPECT_EQ(ku_home_set_name(&record, "x"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ku_home_name(&record), nullptr);
  EXPECT_EQ(ku_home_name(nullptr), nullptr);
}

TEST(HomeName, costs_no_entry_and_no_statistics) {
  ku_home_t *home = ku_home_create();
  ku_home_init_stats(home);
  ASSERT_NE(ku_alloc(home, 10), nullptr);
  const uint64_t used = table(home)->kub_used;
  ku_home_stats_t before, after;
  ku_home_get_stats(home, 0, &before, sizeof before);
  ASSERT_EQ(ku_home_set_name(home, "a name"), 0);
  ku_home_get_stats(home, 0, &after, sizeof after);
  EXPECT_EQ(table(home)->kub_used, used);
  EXPECT_EQ(memcmp(&before, &after, sizeof before), 0);
  ku_home_unref(home);
}

TEST(HomeName, kept_through_growth_and_moves) {
  ku_home_t *home = ku_home_create();
  ku_home_t *other = ku_home_create();
  ku_home_set_name(home, "grows");
  for (int i = 0; i < 100; ++i) ASSERT_NE(ku_alloc(home, 8), nullptr);
  EXPECT_EQ(table(home)->kub_n, 511u);
  EXPECT_EQ(name(home), "grows");
  ASSERT_EQ(ku_home_move(other, home), 0);  // the blocks go, the name stays with its home
  EXPECT_EQ(name(home), "grows");
  EXPECT_EQ(name(other), "(none)");
  ku_home_unref(other);
  ku_home_unref(home);
}

TEST(HomeName, freed_with_the_home_whichever_way_it_ends) {
  // LeakSanitizer, in the asan preset, finds a name that outlives its home.
  ku_home_t *parent = ku_home_create();
  ku_home_set_name(parent, "parent");
  auto *freed = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  ku_home_set_name(freed, "freed through the parent");
  ku_free(parent, freed);
  auto *unrefd = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  ku_home_set_name(unrefd, "its last reference");
  ku_home_unref(unrefd);
  auto *with_parent = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  ku_home_set_name(with_parent, "ends with its parent");
  ku_home_t mine{};
  ASSERT_EQ(ku_home_init(&mine), 0);
  ku_home_set_name(&mine, "a caller's home");
  ku_home_deinit(&mine);
  ASSERT_EQ(ku_home_init(&mine), 0);
  EXPECT_EQ(ku_home_name(&mine), nullptr);  // started again: a new home, without a name
  ku_home_deinit(&mine);
  ku_home_unref(parent);
}

}  // namespace
