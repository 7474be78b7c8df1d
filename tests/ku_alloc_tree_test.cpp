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

#include "ku_alloc_impl.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KU_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KU_TEST_SANITIZED 1
#endif
#endif

namespace {

constexpr int kGrowth = 100;  // allocations that replace a 31-slot table twice

void *filled_block(ku_home_t *home, int size, unsigned char fill) {
  void *p = ku_alloc(home, size);
  if (p) memset(p, fill, static_cast<size_t>(size));
  return p;
}

bool holds(const void *p, int size, unsigned char fill) {
  const auto *b = static_cast<const unsigned char *>(p);
  for (int i = 0; i < size; ++i)
    if (b[i] != fill) return false;
  return true;
}

// The relatives a destructor works on, and what it left there.
struct Relatives {
  ku_home_t *target = nullptr;  // the live home it allocates in and moves its blocks into
  ku_home_t *sibling = nullptr;
  int calls = 0;
  std::vector<void *> given;  // blocks it allocated in the target
} rel;

// Grows the target's table (twice over), frees a block in a sibling, and moves the dying home's
// own blocks, a sub-home among them, into the target.
void generous_destructor(void *home) {
  ++rel.calls;
  for (int i = 0; i < kGrowth; ++i) rel.given.push_back(filled_block(rel.target, 24, 0x6B));
  if (rel.sibling) ku_free(rel.sibling, ku_alloc(rel.sibling, 8));
  EXPECT_EQ(ku_home_move(rel.target, static_cast<ku_home_t *>(home)), 0);
}

// A sub-home of parent, with a few blocks and a sub-home of its own, whose destructor is the
// generous one.
ku_home_t *generous_subhome(ku_home_t *parent, std::vector<void *> &inside) {
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
  for (int i = 0; i < 5; ++i) inside.push_back(filled_block(sub, 40, 0x3C));
  inside.push_back(ku_home_clone(sub, 32));
  EXPECT_EQ(ku_home_destructor(sub, generous_destructor), 0);
  return sub;
}

TEST(Relatives, destructor_grows_its_live_parent_and_moves_blocks_into_it) {
  for (const bool by_unref : {true, false}) {
    SCOPED_TRACE(by_unref ? "ended by ku_home_unref" : "ended by ku_free in the parent");
    rel = Relatives{};
    ku_home_t *parent = ku_home_create();
    std::vector<void *> own;
    // The parent's table is nearly full: the destructor's allocations replace it.
    for (int i = 0; i < 19; ++i) own.push_back(filled_block(parent, 16, 0x11));
    std::vector<void *> inside;
    ku_home_t *sub = generous_subhome(parent, inside);
    rel.target = parent;

    if (by_unref)
      EXPECT_EQ(ku_home_unref(sub), 1);
    else
      ku_free(parent, sub);
    EXPECT_EQ(rel.calls, 1);
    ku_home_check(parent);
    EXPECT_EQ(ku_in_home(parent, sub), 0);
    EXPECT_EQ(parent->kuh_blocks->kub_used, own.size() + kGrowth + inside.size());
    for (void *p : own) EXPECT_TRUE(ku_in_home(parent, p) && holds(p, 16, 0x11));
    for (void *p : rel.given) EXPECT_TRUE(ku_in_home(parent, p) && holds(p, 24, 0x6B));
    for (size_t i = 0; i + 1 < inside.size(); ++i)
      EXPECT_TRUE(ku_in_home(parent, inside[i]) && holds(inside[i], 40, 0x3C));
    EXPECT_EQ(ku_home_parent(static_cast<ku_home_t *>(inside.back())), parent);
    ku_free(parent, inside.front());
    // Whatever the destructor left is the parent's now, and goes with it, once.
    EXPECT_EQ(ku_home_unref(parent), 1);
  }
}

TEST(Relatives, destructors_below_an_ending_home_use_its_live_parent_and_sibling) {
  rel = Relatives{};
  ku_home_t *top = ku_home_create();
  for (int i = 0; i < 20; ++i) filled_block(top, 16, 0x22);
  auto *middle = static_cast<ku_home_t *>(ku_home_clone(top, 24));
  auto *sibling = static_cast<ku_home_t *>(ku_home_clone(top, 24));
  std::vector<void *> inside;
  generous_subhome(middle, inside);
  generous_subhome(middle, inside);
  rel.target = top;  // the grandparent of the sub-homes whose destructors run
  rel.sibling = sibling;

  ku_free(top, middle);
  EXPECT_EQ(rel.calls, 2);
  ku_home_check(top);
  EXPECT_EQ(top->kuh_blocks->kub_used, 21u + 2 * kGrowth + inside.size());
  for (void *p : rel.given) EXPECT_TRUE(ku_in_home(top, p) && holds(p, 24, 0x6B));
  EXPECT_EQ(ku_home_unref(top), 1);
}

// Each destructor of a dying parent's sub-homes fills the parent: its table is replaced under
// the walk, and what the destructors enter behind the walk, sub-homes included, ends too.
int ended = 0;
void count_end(void *) { ++ended; }
void fill_dying_parent(void *home) {
  ++ended;
  ku_home_t *parent = ku_home_parent(static_cast<ku_home_t *>(home));
  for (int i = 0; i < kGrowth; ++i) ku_alloc(parent, 16);
  ku_home_destructor(static_cast<ku_home_t *>(ku_home_clone(parent, 24)), count_end);
}

TEST(Relatives, destructors_that_fill_their_dying_parent_leave_nothing_behind) {
  ended = 0;
  ku_home_t *parent = ku_home_create();
  for (int i = 0; i < 3; ++i) {
    auto *sub = static_cast<ku_home_t *>(ku_home_clone(parent, 24));
    ku_home_destructor(sub, fill_dying_parent);
    ku_alloc(sub, 32);
  }
  EXPECT_EQ(ku_home_unref(parent), 1);
  EXPECT_EQ(ended, 6);
}

// ---- Deep trees ----

#ifdef KU_TEST_SANITIZED
constexpr int kChain = 100000;  // the sanitizers' bookkeeping makes a million levels slow
#else
constexpr int kChain = 1000000;
#endif

// A stream that counts its lines and keeps the last one.
struct Tally {
  uint64_t lines = 0;
  std::string last;
  std::string current;
};

ssize_t tally_write(void *cookie, const char *buf, size_t size) {
  auto *t = static_cast<Tally *>(cookie);
  const char *p = buf, *end = buf + size, *start = nullptr, *stop = nullptr;
  while (const void *nl = memchr(p, '\n', static_cast<size_t>(end - p))) {
    ++t->lines;
    start = p;
    stop = static_cast<const char *>(nl);
    p = stop + 1;
  }
  if (stop) {
    t->last = start == buf ? t->current : std::string();
    t->last.append(start, stop);
    t->current.clear();
  }
  t->current.append(p, end);
  return static_cast<ssize_t>(size);
}

// A chain of kChain nested sub-homes is checked, reported and ended.
void *deep_chain(void *) {
  ku_home_t *top = ku_home_create();
  ku_home_t *h = top;
  for (int i = 0; i < kChain && h; ++i) h = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  EXPECT_NE(h, nullptr);
  ku_home_check(top);

  Tally tally;
  FILE *f = fopencookie(&tally, "w", cookie_io_functions_t{nullptr, tally_write, nullptr, nullptr});
  EXPECT_EQ(ku_home_report(top, f), 0);
  fclose(f);
  // Every home but the last: its line, its sub-home's entry, its total; the last has no entry.
  EXPECT_EQ(tally.lines, 3u * kChain + 2);
  EXPECT_EQ(tally.last, "  total: 1 entry, 24 bytes; with sub-homes " + std::to_string(kChain) +
                            " entries, " + std::to_string(24ull * kChain) + " bytes");

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
void note_end(void *home) { order.push_back(home); }

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
  ku_home_t *top = ku_home_create();
  ASSERT_EQ(ku_home_threadsafe(top), 0);
  ku_home_destructor(top, note_end);
  // Forty levels, more than the walk keeps beside it, of three sub-homes each, one of them
  // thread-safe and one going on.
  ku_home_t *h = top;
  for (int level = 0; level < 40; ++level) {
    ku_home_t *next = nullptr;
    for (int k = 0; k < 3; ++k) {
      auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24 + 8 * k));
      ku_home_destructor(sub, note_end);
      ku_alloc(sub, 16);
      if (k == 1) ku_home_threadsafe(sub);
      if (k == level % 3) next = sub;
    }
    h = next;
  }
  std::vector<const void *> want;
  recursion_order(top, want);
  ASSERT_EQ(want.size(), 121u);
  EXPECT_EQ(ku_home_unref(top), 1);
  EXPECT_EQ(order, want);
}

}  // namespace
