// SPDX-License-Identifier: MIT
// Trees of homes as programs grow them: destructors that use the live parent, a sibling or the
// grandparent of the home that is ending, and trees far deeper than any stack.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>

#include <cstring>
#include <vector>

#include "ku_alloc_impl.h"

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

}  // namespace
