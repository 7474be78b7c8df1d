// SPDX-License-Identifier: MIT
// The release of a large home's blocks at its end (lib/ku_alloc_release.cpp): every block is
// freed exactly once, whatever order the teardown picks.  Under a sanitizer a block freed twice
// or left behind is reported; with the C library's allocator the heap's in-use bytes must come
// back to where they were, give or take the blocks its per-thread cache keeps (counted as in
// use), far less than one lost batch of a teardown.  The order itself is watched on the class
// that makes it, with addresses that are never freed; this test links the static library,
// whose internal names it needs.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>

#include "ku_alloc_release.h"
#include "ku_test_util.h"

#include <malloc.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

using namespace ku_test;

size_t heap_in_use() { return mallinfo2().uordblks; }
// What the library keeps for reuse (2 MiB of spare tables and areas, some from the heap), and
// what the C library keeps in its caches.
constexpr size_t kCached = (2 << 20) + (64 << 10);

// Blocks of 1 to 300 bytes, so that both small and large ones are gathered, and now and then a
// sub-home with blocks of its own and a destructor that allocates in the dying parent.
void fill(ku_home_t *h, int n) {
  for (int i = 0; i < n; i++) {
    if (i % 20000 == 0) {
      auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, sizeof(ku_home_t)));
      ASSERT_NE(sub, nullptr);
      for (int j = 0; j < 3; j++) ASSERT_NE(ku_alloc(sub, 40), nullptr);
      ku_home_destructor(sub, [](void *self) {
        ku_home_t *parent = ku_home_parent(static_cast<ku_home_t *>(self));
        if (parent) ku_alloc(parent, 200);  // behind the walk: a second pass frees it
      });
    }
    ASSERT_NE(ku_alloc(h, 1 + i * 37 % 300), nullptr);
  }
}

// ---- The order ----

std::vector<uintptr_t> released;
void watch(void *p) { released.push_back(reinterpret_cast<uintptr_t>(p)); }

// Hands keys to a LateFrees as the walk of a table of n slots would, and returns what it
// releases.
std::vector<uintptr_t> release_order(const std::vector<uintptr_t> &keys, uint64_t n) {
  ku_block_t t{};
  t.kub_n = n;
  t.kub_used = keys.size();
  released.clear();
  LateFrees late;
  EXPECT_TRUE(late.prepare(&t));
  for (uintptr_t k : keys) late.add(reinterpret_cast<void *>(k));
  late.flush(watch);
  return released;
}

// Keys in the order a walk meets them: by slot, that is by address modulo n.
std::vector<uintptr_t> in_slot_order(std::vector<uintptr_t> keys, uint64_t n) {
  std::stable_sort(keys.begin(), keys.end(),
                   [n](uintptr_t a, uintptr_t b) { return a % n < b % n; });
  return keys;
}

size_t ascents(const std::vector<uintptr_t> &v) {
  size_t up = 0;
  for (size_t i = 1; i < v.size(); i++) up += v[i] > v[i - 1];
  return up;
}

TEST(Release, blocks_close_together_leave_in_nearly_descending_order) {
  // 150,000 blocks of 80 bytes side by side in a table of 2^18 - 1 slots: 12 MB of addresses,
  // 92 stretches of 2^17 bytes, each met as at most two ascending runs.
  const uint64_t n = (uint64_t{1} << 18) - 1;
  std::vector<uintptr_t> keys;
  for (uintptr_t i = 0; i < 150000; i++) keys.push_back(0x7f0000000000 + 80 * i);
  std::vector<uintptr_t> out = release_order(in_slot_order(keys, n), n);
  std::vector<uintptr_t> sorted = out;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, keys);  // each block once
  EXPECT_LE(ascents(out), 2 * 92u);
}

TEST(Release, blocks_far_apart_leave_in_descending_order) {
  // Two heaps a terabyte apart: too many stretches, so the keys are sorted in full.
  const uint64_t n = (uint64_t{1} << 14) - 1;
  std::vector<uintptr_t> keys;
  for (uintptr_t i = 0; i < 5000; i++) keys.push_back(0x10000000 + 48 * i);
  for (uintptr_t i = 0; i < 5000; i++) keys.push_back(0x7f0000000000 + 272 * i);
  std::vector<uintptr_t> out = release_order(in_slot_order(keys, n), n);
  std::vector<uintptr_t> want = keys;
  std::sort(want.rbegin(), want.rend());
  EXPECT_EQ(out, want);
}

// ---- Whole teardowns ----

TEST(Release, large_home_of_small_and_large_blocks_gives_back_every_byte) {
  for (int n : {9000, 150000}) {  // large blocks alone in order, then small ones too
    const size_t before = heap_in_use();
    ku_home_t *h = ku_home_create();
    fill(h, n);
    EXPECT_HOME_OK(h);
    ku_home_unref(h);
    if (!checker_allocator()) {
      EXPECT_LT(heap_in_use(), before + kCached) << n;
    }
  }
}

TEST(Release, blocks_from_the_heaps_of_several_threads) {
  // Each thread's blocks come from its own arena, far from the others in memory.
  const size_t before = heap_in_use();
  ku_home_t *h = ku_home_create();
  ASSERT_EQ(ku_home_threadsafe(h), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++) threads.emplace_back([h] { fill(h, 50000); });
  for (auto &t : threads) t.join();
  ku_home_unref(h);
  if (!checker_allocator()) {
    EXPECT_LT(heap_in_use(), before + kCached);
  }
}

}  // namespace
