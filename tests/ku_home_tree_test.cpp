// SPDX-License-Identifier: MIT
// Trees of homes as programs grow them: destructors that use the live parent, a sibling or the
// grandparent of the home that is ending, and trees far deeper than any stack.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ku_test_util.h"

namespace {

// Where the destructors below act, and how often they ran.
ku_home_t *target, *sibling;
int ended;

// Grows the target's table twice over, frees in a sibling, and moves the dying home's blocks
// (a sub-home among them) into the target.
void generous(void *home) {
  ++ended;
  for (int i = 0; i < 100; ++i) memset(ku_alloc(target, 24), 0x6B, 24);
  if (sibling) ku_free(sibling, ku_alloc(sibling, 8));
  EXPECT_EQ(ku_home_move(target, static_cast<ku_home_t *>(home)), 0);
}

ku_home_t *clone(ku_home_t *parent, void (*destructor)(void *) = nullptr) {
  auto *h = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  if (destructor) ku_home_destructor(h, destructor);
  return h;
}

TEST(Relatives, destructors_grow_their_live_parent_or_grandparent_and_move_blocks_into_it) {
  for (int how = 0; how < 3; ++how) {
    SCOPED_TRACE(how);
    ended = 0;
    target = ku_home_create();
    // The destructor's allocations replace the target's table.
    for (int i = 0; i < 19; ++i) memset(ku_alloc(target, 16), 0x11, 16);
    ku_home_t *mid = clone(target);
    sibling = clone(target);
    ku_home_t *sub = clone(how == 2 ? mid : target, generous);
    void *moved = ku_alloc(sub, 40);
    auto *moved_home = clone(sub);
    switch (how) {
      case 0:
        EXPECT_EQ(ku_home_unref(sub), 1);
        break;
      case 1:
        ku_free(target, sub);
        break;
      default:
        ku_free(target, mid);  // the grandparent lives on
    }
    EXPECT_EQ(ended, 1);
    EXPECT_HOME_OK(target);
    EXPECT_EQ(target->kuh_blocks->kub_used, 19u + (how == 2 ? 1 : 2) + 100 + 2);
    EXPECT_EQ(ku_in_home(target, sub), 0);
    EXPECT_TRUE(ku_in_home(target, moved) && ku_home_parent(moved_home) == target);
    const ku_block_t *t = target->kuh_blocks;
    for (uint64_t i = 0; i < t->kub_n; ++i) {
      const auto *b = static_cast<const unsigned char *>(t->kub_nodes[i].kua_data);
      if (b && !t->kub_nodes[i].kua_home && b != moved) {
        EXPECT_TRUE(b[0] == 0x11 || b[0] == 0x6B);
      }
    }
    EXPECT_EQ(ku_home_unref(target), 1);  // once, with what the destructor left
  }
}

// A dying parent's sub-homes fill it: its table is replaced under the walk, and what they enter
// behind the walk, sub-homes included, ends too.
void fill_dying_parent(void *home) {
  ++ended;
  ku_home_t *parent = ku_home_parent(static_cast<ku_home_t *>(home));
  for (int i = 0; i < 100; ++i) ku_alloc(parent, 16);
  clone(parent, [](void *) { ++ended; });
}

TEST(Relatives, destructors_that_fill_their_dying_parent_leave_nothing_behind) {
  ended = 0;
  ku_home_t *parent = ku_home_create();
  for (int i = 0; i < 3; ++i) ku_alloc(clone(parent, fill_dying_parent), 32);
  EXPECT_EQ(ku_home_unref(parent), 1);
  EXPECT_EQ(ended, 6);
}

// Moves every entry of the home's table into its last slots, keeping their order: the walk of
// the teardown then meets them only in the table's last group, which is not a whole four.
void crowd_into_last_slots(ku_home_t *home) {
  ku_block_t *t = home->kuh_blocks;
  std::vector<ku_alloc_t> entries;
  for (uint64_t i = 0; i < t->kub_n; ++i) {
    if (!t->kub_nodes[i].kua_data) continue;
    entries.push_back(t->kub_nodes[i]);
    memset(&t->kub_nodes[i], 0, sizeof(ku_alloc_t));
  }
  uint64_t slot = t->kub_n - entries.size();
  for (const ku_alloc_t &e : entries) t->kub_nodes[slot++] = e;
}

TEST(Ending, entries_in_the_last_slots_of_a_table_are_released) {
  for (const bool automatic : {false, true}) {
    SCOPED_TRACE(automatic ? "7 slots, in the caller's buffer" : "31 slots");
    ended = 0;
    alignas(8) static unsigned char area[512];
    ku_home_t *home = automatic ? ku_home_auto(area, sizeof area) : ku_home_create();
    ku_home_t *sub = clone(home, [](void *) { ++ended; });
    ASSERT_NE(ku_alloc(sub, 8), nullptr);
    ASSERT_NE(ku_alloc(home, 40), nullptr);
    ASSERT_NE(ku_alloc(home, 48), nullptr);
    crowd_into_last_slots(home);
    EXPECT_EQ(ku_home_unref(home), 1);
    EXPECT_EQ(ended, 1);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kChain = 100000;  // the sanitizers' bookkeeping makes a million levels slow
#else
constexpr int kChain = 1000000;
#endif

// A stream that counts its lines and keeps the last one.
struct Tally {
  uint64_t lines = 0;
  std::string last, current;
};
ssize_t tally(void *cookie, const char *buf, size_t size) {
  auto *t = static_cast<Tally *>(cookie);
  for (const char *p = buf, *end = buf + size; p < end;) {
    const auto *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    t->current.append(p, nl ? nl : end);
    p = nl ? nl + 1 : end;
    if (!nl) break;
    ++t->lines;
    t->last.swap(t->current);
    t->current.clear();
  }
  return static_cast<ssize_t>(size);
}

// A chain of kChain nested sub-homes is checked, reported and ended.
void *deep_chain(void *) {
  ku_home_t *top = ku_home_create(), *h = top;
  for (int i = 0; i < kChain && h; ++i) h = clone(h);
  EXPECT_NE(h, nullptr);
  ku_home_check(top);
  Tally t;
  FILE *f = fopencookie(&t, "w", cookie_io_functions_t{nullptr, tally, nullptr, nullptr});
  EXPECT_EQ(ku_home_report(top, f), 0);
  fclose(f);
  // Each home: its line and its sum with sub-homes; the last one has no sub-home.
  EXPECT_EQ(t.lines, 2u * kChain + 1);
  EXPECT_EQ(t.last, "  with sub-homes: " + std::to_string(kChain) + " blocks, " +
                        std::to_string(24ull * kChain) + " bytes");
  EXPECT_EQ(ku_home_unref(top), 1);
  return nullptr;
}

TEST(Deep, chain_of_nested_subhomes_ends_checks_and_reports) { deep_chain(nullptr); }

TEST(Deep, chain_of_nested_subhomes_on_a_256_kib_thread_stack) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 << 10), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, deep_chain, nullptr), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

std::vector<const void *> order;

// The order of a recursion: a home, then each sub-home's tree in slot order.
void recursion_order(const ku_home_t *home, std::vector<const void *> &out) {
  out.push_back(home);
  const ku_block_t *t = home->kuh_blocks;
  for (uint64_t i = 0; i < t->kub_n; ++i)
    if (t->kub_nodes[i].kua_home)
      recursion_order(static_cast<ku_home_t *>(t->kub_nodes[i].kua_data), out);
}

TEST(Deep, destructors_run_in_the_order_of_a_recursion) {
  order.clear();
  auto note = [](void *home) { order.push_back(home); };
  ku_home_t *top = ku_home_create(), *h = top;
  ku_home_destructor(top, note);
  // 40 levels (more than the walk keeps beside it) of three sub-homes, one thread-safe.
  for (int level = 0; level < 40; ++level) {
    ku_home_t *next = nullptr;
    for (int k = 0; k < 3; ++k) {
      ku_home_t *sub = clone(h, note);
      ku_alloc(sub, 16);
      if (k == 1) ku_home_threadsafe(sub);
      if (k == level % 3) next = sub;
    }
    h = next;
  }
  std::vector<const void *> want;
  recursion_order(top, want);
  EXPECT_EQ(ku_home_unref(top), 1);
  EXPECT_EQ(order, want);
}

}  // namespace
