// SPDX-License-Identifier: MIT
// Homes that change hands or avoid the heap (lib/ku_alloc_move.cpp): move and detach, preload
// areas, automatic homes.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace ku_test;

// ---- Move and detach ----

std::vector<void *> alloc_n(ku_home_t *h, int n) {
  std::vector<void *> v;
  for (int i = 0; i < n; i++) v.push_back(ku_alloc(h, 8 + i));
  return v;
}

TEST(Move, destination_grows_once_straight_to_its_final_size) {
  // {entries moved, slots of the fresh destination afterwards}
  for (auto [n, slots] : {std::pair{20, 31u}, {21, 127u}, {30, 127u}, {100, 511u}}) {
    ku_home_t *src = ku_home_create();
    ku_home_t *dst = ku_home_create();
    ku_block_t *before = table(dst);
    std::vector<void *> moved = alloc_n(src, n);
    ku_block_t *src_table = table(src);
    ASSERT_EQ(ku_home_move(dst, src), 0);
    EXPECT_EQ(table(dst)->kub_n, slots) << n;
    if (slots == 31u) {
      EXPECT_EQ(table(dst), before);
    }
    EXPECT_EQ(table(dst)->kub_used, static_cast<uint64_t>(n));
    EXPECT_EQ(table(src), src_table);
    EXPECT_EQ(src_table->kub_used, 0u);
    EXPECT_TRUE(all_bytes(src_table->kub_nodes, src_table->kub_n * sizeof(ku_alloc_t), 0));
    for (void *p : moved) {
      EXPECT_EQ(ku_in_home(dst, p), 1);
      EXPECT_EQ(ku_in_home(src, p), 0);
    }
    EXPECT_HOME_OK(dst);
    for (void *p : moved) ku_free(dst, p);
    EXPECT_EQ(table(dst)->kub_used, 0u);
    ku_home_unref(src);
    ku_home_unref(dst);
  }
}

TEST(Move, source_stays_live_and_its_destructor_runs_once_even_when_empty) {
  for (int n : {0, 5}) {
    reset_seen();
    ku_home_t *parent = ku_home_create();
    auto *src = static_cast<ku_home_t *>(ku_home_clone(parent, 48));
    ku_home_t *dst = ku_home_create();
    alloc_n(src, n);
    ku_home_ref(src);
    ku_home_destructor(src, counting_destructor);
    ku_block_t *t = table(src);
    ASSERT_EQ(ku_home_move(dst, src), 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.home, src);
    EXPECT_EQ(table(src), t);
    EXPECT_EQ(ku_home_refcount(src), 2u);
    EXPECT_EQ(ku_home_parent(src), parent);
    EXPECT_EQ(src->kuh_size, 48);
    void *p = ku_alloc(src, 8);  // reused: entered in the old table
    EXPECT_EQ(table(src), t);
    EXPECT_EQ(ku_in_home(src, p), 1);
    ku_home_unref(src);
    ku_home_unref(src);
    EXPECT_EQ(seen.calls, 1);
    ku_home_unref(parent);
    ku_home_unref(dst);
  }
}

TEST(Move, into_a_home_without_table_takes_the_source_size) {
  ku_home_t *src = ku_home_create();
  ku_home_t dst{};
  ASSERT_EQ(ku_home_move(&dst, src), 0);  // nothing to move: still no table
  EXPECT_EQ(dst.kuh_blocks, nullptr);
  std::vector<void *> moved = alloc_n(src, 22);
  ASSERT_EQ(table(src)->kub_n, 127u);
  ASSERT_EQ(ku_home_move(&dst, src), 0);
  ASSERT_NE(dst.kuh_blocks, nullptr);
  EXPECT_EQ(table(&dst)->kub_n, 127u);
  EXPECT_EQ(table(&dst)->kub_ref, 1u);
  EXPECT_EQ(table(&dst)->kub_hauto, 1u);
  for (void *p : moved) EXPECT_EQ(ku_in_home(&dst, p), 1);
  ku_home_deinit(&dst);
  ku_home_unref(src);
}

TEST(Move, moved_subhomes_report_the_destination_and_die_with_it) {
  reset_seen();
  ku_home_t *src = ku_home_create();
  ku_home_t *dst = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(src, 24));
  watched_alloc(sub);
  ku_home_destructor(sub, watching_destructor);
  ASSERT_EQ(ku_home_move(dst, src), 0);
  EXPECT_EQ(ku_home_parent(sub), dst);
  EXPECT_EQ(entry(dst, sub)->kua_home, 1u);
  ku_home_unref(src);
  EXPECT_EQ(seen.calls, 0);
  ku_home_unref(dst);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.intact);
}

TEST(Move, same_home_or_null_source_changes_nothing) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  void *p = ku_alloc(h, 8);
  ku_home_destructor(h, counting_destructor);
  EXPECT_EQ(ku_home_move(h, h), 0);
  EXPECT_EQ(ku_home_move(h, nullptr), 0);
  EXPECT_EQ(ku_home_move(nullptr, nullptr), 0);
  EXPECT_EQ(ku_in_home(h, p), 1);
  EXPECT_EQ(seen.calls, 0);
  ku_home_unref(h);
  EXPECT_EQ(seen.calls, 1);
}

TEST(Move, detached_allocations_belong_to_nobody) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  void *p = ku_alloc(h, 8);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  void *q = ku_alloc(sub, 8);
  ku_home_destructor(h, counting_destructor);
  ASSERT_EQ(ku_home_move(nullptr, h), 0);
  EXPECT_EQ(seen.calls, 0);  // detaching runs no destructor
  EXPECT_EQ(table(h)->kub_used, 0u);
  EXPECT_EQ(ku_in_home(h, p), 0);
  EXPECT_EQ(ku_home_parent(sub), nullptr);
  EXPECT_EQ(ku_in_home(sub, q), 1);
  ku_home_unref(h);
  EXPECT_EQ(seen.calls, 1);
  ku_free(nullptr, p);  // free(p), without the compiler's warning about a block of ku_alloc
  ku_home_ref(sub);
  EXPECT_EQ(ku_home_unref(sub), 0);
  EXPECT_EQ(ku_home_unref(sub), 1);  // a top-level heap home now: frees itself and q
}

TEST(Move, carved_blocks_stay_with_the_source) {
  ku_home_t *src = ku_home_create();
  ku_home_t *dst = ku_home_create();
  ku_home_preload(src, 4, 16);
  void *carved = ku_alloc(src, 16);
  memset(carved, 0x21, 16);
  void *heap = ku_alloc(src, 1000);
  ASSERT_EQ(ku_home_move(dst, src), 0);
  EXPECT_EQ(ku_in_home(src, carved), 1);
  EXPECT_EQ(ku_in_home(dst, carved), 0);
  EXPECT_EQ(ku_in_home(dst, heap), 1);
  EXPECT_EQ(table(src)->kub_used, 1u);
  EXPECT_EQ(table(dst)->kub_used, 1u);
  EXPECT_HOME_OK(src);
  ku_home_unref(dst);  // must not pass the carved block to free()
  EXPECT_TRUE(all_bytes(carved, 16, 0x21));
  ku_free(src, carved);
  ku_home_unref(src);
}

ku_home_t *grow_target;
void grow_other_home(void *) {
  for (int i = 0; i < 30; ++i) ku_alloc(grow_target, 8);
}

TEST(Move, destructor_that_replaces_a_table_is_harmless) {
  ku_home_t *src = ku_home_create(), *dst = ku_home_create();
  void *p = ku_alloc(src, 8);
  for (ku_home_t *target : {dst, src}) {
    grow_target = target;
    ku_home_destructor(src, grow_other_home);
    ASSERT_EQ(ku_home_move(dst, src), 0);
    EXPECT_HOME_OK(src);
    EXPECT_HOME_OK(dst);
  }
  EXPECT_TRUE(ku_in_home(dst, p));
  EXPECT_EQ(dst->kuh_blocks->kub_used, 61u);
  ku_home_unref(src);
  ku_home_unref(dst);
}

TEST(Move, refuses_a_destination_below_the_source) {
  // With a thread-safe source, the line up from the grandchild passes the child, which has no
  // lock and is not named by the call.
  for (bool threadsafe : {false, true}) {
    ku_home_t *src = ku_home_create();
    auto *child = static_cast<ku_home_t *>(ku_home_clone(src, 24));
    auto *grandchild = static_cast<ku_home_t *>(ku_home_clone(child, 24));
    if (threadsafe) {
      ASSERT_EQ(ku_home_threadsafe(src), 0);
    }
    void *p = ku_alloc(src, 8);
    ku_home_destructor(src, count_destructor);
    destructor_calls = 0;
    for (ku_home_t *dst : {child, grandchild}) {
      errno = 0;
      EXPECT_EQ(ku_home_move(dst, src), -1);
      EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(ku_steal(grandchild, src, child), nullptr);
    EXPECT_EQ(destructor_calls, 0);
    EXPECT_EQ(ku_in_home(src, p), 1);
    EXPECT_EQ(ku_home_parent(child), src);
    // The other way round is an ordinary move: the sub-home's contents go up.
    void *q = ku_alloc(grandchild, 8);
    EXPECT_EQ(ku_home_move(src, grandchild), 0);
    EXPECT_EQ(ku_in_home(src, q), 1);
    ku_home_unref(src);
  }
}

TEST(Move, moves_below_another_threads_home_read_nothing_of_it) {
  // s is a thread-safe sub-home of n, which has no lock and is the main thread's; another thread
  // moves and steals between s and q, both thread-safe, while n's table is replaced.  The moves'
  // walk up from s passes n (ThreadSanitizer reports a racy read of n's table, AddressSanitizer
  // one of a table n has freed).
  for (int round = 0; round < 3; round++) {
    ku_home_t *n = ku_home_create();
    auto *s = static_cast<ku_home_t *>(ku_home_clone(n, 24));
    ku_home_t *q = ku_home_create();
    ASSERT_EQ(ku_home_threadsafe(s), 0);
    ASSERT_EQ(ku_home_threadsafe(q), 0);
    std::atomic<bool> stop{false};
    std::thread mover([&] {
      while (!stop.load()) {
        void *p = ku_alloc(s, 16);
        EXPECT_EQ(ku_steal(q, s, p), p);
        EXPECT_EQ(ku_home_move(s, q), 0);
        EXPECT_EQ(ku_home_move(q, s), 0);
      }
    });
    for (int i = 0; i < 3000; i++) ASSERT_NE(ku_alloc(n, 8), nullptr);  // replaces n's table
    stop = true;
    mover.join();
    EXPECT_EQ(ku_home_parent(s), n);
    ku_home_unref(q);
    ku_home_unref(n);
  }
}

// ---- Stealing one block ----

TEST(Steal, block_changes_home_and_keeps_its_bytes) {
  ku_home_t *from = ku_home_create();
  ku_home_t *to = ku_home_create();
  std::vector<void *> kept;
  for (int i = 0; i < 40; i++) kept.push_back(ku_alloc(from, 48));  // grows from's table
  void *p = ku_alloc(from, 64);
  memset(p, 0x5C, 64);
  for (int i = 0; i < 30; i++) ku_alloc(to, 16);  // the next entry grows to's table
  EXPECT_EQ(ku_steal(to, from, p), p);
  EXPECT_FALSE(ku_in_home(from, p));
  EXPECT_TRUE(ku_in_home(to, p));
  for (int i = 0; i < 64; i++) ASSERT_EQ(static_cast<unsigned char *>(p)[i], 0x5C);
  EXPECT_HOME_OK(from);
  EXPECT_HOME_OK(to);
  ku_home_unref(from);  // p survives its old home
  ASSERT_EQ(static_cast<unsigned char *>(p)[63], 0x5C);
  ku_free(to, p);
  ku_home_unref(to);
}

TEST(Steal, subhome_gets_a_new_parent_and_dies_with_it) {
  ku_home_t *a = ku_home_create();
  ku_home_t *b = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(a, sizeof(ku_home_t)));
  auto *grandchild = static_cast<ku_home_t *>(ku_home_clone(sub, sizeof(ku_home_t)));
  static int ended;
  ended = 0;
  ku_home_destructor(sub, [](void *) { ended++; });
  EXPECT_EQ(ku_steal(b, a, sub), sub);
  EXPECT_EQ(ku_home_parent(sub), b);
  EXPECT_EQ(ku_home_parent(grandchild), sub);
  ku_home_unref(a);
  EXPECT_EQ(ended, 0);
  EXPECT_HOME_OK(b);
  ku_home_unref(b);
  EXPECT_EQ(ended, 1);
}

TEST(Steal, refusals_leave_both_homes_as_they_were) {
  ku_home_t *a = ku_home_create();
  ku_home_t *b = ku_home_create();
  void *p = ku_alloc(a, 32);
  int stack_byte = 0;
  errno = 0;
  EXPECT_EQ(ku_steal(a, b, p), nullptr);  // not a block of b
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ku_steal(b, a, &stack_byte), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ku_steal(b, nullptr, p), nullptr);
  EXPECT_EQ(errno, EINVAL);

  auto *sub = static_cast<ku_home_t *>(ku_home_clone(a, sizeof(ku_home_t)));
  auto *below = static_cast<ku_home_t *>(ku_home_clone(sub, sizeof(ku_home_t)));
  errno = 0;
  EXPECT_EQ(ku_steal(sub, a, sub), nullptr);  // into itself
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ku_steal(below, a, sub), nullptr);  // below itself
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ku_home_parent(sub), a);

  ku_home_preload(b, 4, 16);
  void *carved = ku_alloc(b, 16);
  errno = 0;
  EXPECT_EQ(ku_steal(a, b, carved), nullptr);  // cannot outlive the area
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(ku_in_home(b, carved));
  EXPECT_TRUE(ku_in_home(a, p));
  EXPECT_HOME_OK(a);
  EXPECT_HOME_OK(b);
  EXPECT_EQ(ku_steal(a, a, p), p);  // same home: nothing to do
  ku_home_unref(a);
  ku_home_unref(b);
}

TEST(Steal, to_null_detaches_one_block_or_subhome) {
  ku_home_t *a = ku_home_create();
  void *p = ku_alloc(a, 24);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(a, sizeof(ku_home_t)));
  ku_alloc(sub, 40);
  void *loose = ku_steal(nullptr, a, p);
  EXPECT_EQ(loose, p);
  EXPECT_EQ(ku_steal(nullptr, a, sub), sub);
  EXPECT_FALSE(ku_in_home(a, p));
  EXPECT_EQ(ku_home_parent(sub), nullptr);
  EXPECT_HOME_OK(a);
  ku_home_unref(a);
  free(loose);         // the caller's now
  ku_home_unref(sub);  // a top-level heap home now
}

// Blocks go back and forth between a thread-safe parent and its thread-safe child while other
// threads allocate in both: the ancestor's lock is always taken first.
TEST(Steal, between_a_shared_parent_and_child_beside_other_threads) {
  ku_home_t *parent = ku_home_create();
  ku_home_threadsafe(parent);
  auto *child = static_cast<ku_home_t *>(ku_home_clone(parent, sizeof(ku_home_t)));
  ku_home_threadsafe(child);
  std::thread movers[2];
  for (int t = 0; t < 2; t++)
    movers[t] = std::thread([&, t] {
      ku_home_t *from = t ? parent : child, *to = t ? child : parent;
      for (int i = 0; i < 2000; i++) {
        void *p = ku_alloc(from, 16);
        ASSERT_EQ(ku_steal(to, from, p), p);
        if (i % 2) ku_free(to, p);
      }
    });
  for (std::thread &m : movers) m.join();
  EXPECT_HOME_OK(parent);
  ku_home_unref(parent);
}

// ---- Preload ----

TEST(Preload, area_is_items_rounded_to_8_capped_at_65535_and_given_once) {
  struct Case {
    int n, size;
    uint16_t area;
  };
  for (Case c : {Case{4, 10, 64}, Case{100, 1000, 65535}, Case{3, INT_MAX, 65535}, Case{0, 8, 0},
                 Case{-1, 8, 65535}, Case{2, INT_MAX - 3, 65535}}) {
    for (bool heap : {true, false}) {
      ku_home_t record{};
      ku_home_t *h = heap ? ku_home_create() : &record;
      ku_home_preload(h, c.n, c.size);  // also gives the zero record its table
      ASSERT_NE(h->kuh_blocks, nullptr);
      const ku_block_t *t = table(h);
      EXPECT_EQ(t->kub_prsize, c.area) << c.n << " x " << c.size;
      EXPECT_EQ(t->kub_prused, 0);
      EXPECT_EQ(t->kub_preauto, 0u);
      EXPECT_EQ(t->kub_hauto, heap ? 0u : 1u);
      void *first = t->kub_preload;
      ku_home_preload(h, 100, 1000);  // a larger request too is ignored
      EXPECT_EQ(table(h)->kub_preload, first);
      EXPECT_EQ(table(h)->kub_prsize, c.area);
      if (heap)
        ku_home_unref(h);
      else
        ku_home_deinit(h);
    }
  }
  ku_home_preload(nullptr, 4, 4);
}

TEST(Preload, carved_blocks_are_not_freed_one_by_one) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 16, 8);
  for (int i = 0; i < 16; i++) ku_alloc(h, 8);  // fills the area exactly
  EXPECT_EQ(table(h)->kub_prused, 128);
  void *heap = ku_alloc(h, 8);
  auto *area = static_cast<char *>(table(h)->kub_preload);
  EXPECT_TRUE(static_cast<char *>(heap) < area || static_cast<char *>(heap) >= area + 128);
  ku_home_unref(h);  // AddressSanitizer would report a free inside the area
}

TEST(Preload, areas_from_1_to_64_KiB_are_never_shared_between_live_homes) {
  // Areas of 1 KiB and more are kept for reuse when their home ends.  Threads make and end
  // homes with areas around each size where the rounding changes, fill every carved byte with
  // their own mark and check it before the end: two live homes given one area, or an area
  // shorter than asked, would show in another thread's marks (or to a sanitizer).
  auto worker = [](unsigned char mark) {
    for (int round = 0; round < 40; round++)
      for (int bytes : {1016, 1024, 1032, 4096, 8200, 32768, 65528, 65535}) {
        ku_home_t *h = ku_home_create();
        ku_home_preload(h, bytes / 8, 8);
        const int area = table(h)->kub_prsize;
        std::vector<unsigned char *> carved;
        for (int i = 0; i < area / 8; i++) {
          auto *p = static_cast<unsigned char *>(ku_alloc(h, 8));
          memset(p, mark, 8);
          carved.push_back(p);
        }
        auto *first = static_cast<unsigned char *>(table(h)->kub_preload);
        EXPECT_EQ(carved.front(), first);
        EXPECT_EQ(carved.back(), first + (area / 8 - 1) * 8);
        std::this_thread::yield();
        for (unsigned char *p : carved) ASSERT_TRUE(all_bytes(p, 8, mark)) << bytes;
        ku_home_unref(h);
      }
  };
  std::vector<std::thread> threads;
  for (unsigned char mark = 1; mark <= 3; mark++) threads.emplace_back(worker, mark);
  for (auto &t : threads) t.join();
}

// ---- Automatic homes ----

struct AutoCase {
  int misalign, size, prefix;
  uint16_t prsize;
};

// On a misaligned buffer the home starts at the first 8-aligned address, g bytes in, so that
// it can be used; the preload area still begins 200 + g bytes into the buffer.
TEST(Auto, layout_on_aligned_and_misaligned_buffers) {
  alignas(8) static unsigned char buf[100008];
  const AutoCase cases[] = {
      {0, 200, 200, 0},    {0, 1024, 200, 824}, {1, 207, 207, 0},
      {1, 1024, 207, 817}, {7, 300, 201, 99},   {0, 100000, 200, 65535},
  };
  for (const AutoCase &c : cases) {
    unsigned char *area = buf + c.misalign;
    unsigned char *record = area + (c.prefix - 200);
    memset(buf, 0xEE, 1024);
    ku_home_t *h = ku_home_auto(area, c.size);
    ASSERT_EQ(static_cast<void *>(h), record) << c.misalign << "/" << c.size;
    ku_block_t *t = table(h);
    EXPECT_EQ(static_cast<void *>(t), record + 24);
    EXPECT_EQ(h->kuh_size, c.size);
    EXPECT_EQ(h->kuh_lock, nullptr);
    EXPECT_EQ(t->kub_n, 7u);
    EXPECT_EQ(t->kub_used, 0u);
    EXPECT_EQ(header(t), (Header{nullptr, area + c.prefix, nullptr, nullptr, 1, c.prsize, 0, 1, 1,
                                 0, 0}));  // record, table and area are the caller's
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t->kub_preload) % 8, 0u);
    EXPECT_EQ(t->kub_auto + t->kub_auto_all, 2u);
    EXPECT_TRUE(all_bytes(t->kub_nodes, 7 * sizeof(ku_alloc_t), 0));
    EXPECT_TRUE(all_bytes(area, record - area, 0xEE));  // the gap is not written
    void *p = ku_zalloc(h, 1);  // carved when there is room, from the heap otherwise
    EXPECT_EQ(p == t->kub_preload, c.prsize > 0);
    ku_home_deinit(h);
  }
}

TEST(Auto, buffer_smaller_than_the_prefix_is_refused_untouched) {
  alignas(8) unsigned char buf[256];
  memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(ku_home_auto(buf, 199), nullptr);
  EXPECT_EQ(ku_home_auto(buf + 1, 206), nullptr);
  EXPECT_EQ(ku_home_auto(nullptr, 1024), nullptr);
  EXPECT_EQ(ku_home_auto(buf, -1), nullptr);  // not read as a huge buffer
  EXPECT_TRUE(all_bytes(buf, sizeof buf, 0xEE));
}

TEST(Auto, ending_frees_heap_allocations_and_nothing_inside_the_buffer) {
  alignas(8) unsigned char buf[512];
  for (bool by_unref : {false, true}) {
    ku_home_t *h = ku_home_auto(buf, sizeof buf);
    ku_alloc(h, 100);              // carved
    void *big = ku_alloc(h, 400);  // does not fit: heap
    EXPECT_EQ(table(h)->kub_auto_all, 0u);
    EXPECT_EQ(ku_in_home(h, big), 1);
    ku_home_clone(h, 24);
    for (int i = 0; i < 6; i++) ku_zalloc(h, 8);  // outgrows the 7-slot table
    EXPECT_EQ(table(h)->kub_n, 31u);
    if (by_unref)
      EXPECT_EQ(ku_home_unref(h), 1);
    else
      ku_home_deinit(h);
    EXPECT_EQ(h->kuh_blocks, nullptr);
  }
}

TEST(Auto, move_into_an_automatic_home_replaces_its_buffer_table) {
  alignas(8) unsigned char buf[512];
  ku_home_t *h = ku_home_auto(buf, sizeof buf);
  void *carved = ku_alloc(h, 8);
  ku_home_t *src = ku_home_create();
  std::vector<void *> moved = alloc_n(src, 10);
  ASSERT_EQ(ku_home_move(h, src), 0);  // 3 * 11 > 2 * 7: a heap table of 31
  EXPECT_NE(static_cast<void *>(table(h)), buf + 24);
  EXPECT_EQ(table(h)->kub_n, 31u);
  EXPECT_EQ(table(h)->kub_preauto, 1u);
  EXPECT_EQ(ku_in_home(h, carved), 1);
  for (void *p : moved) EXPECT_EQ(ku_in_home(h, p), 1);
  ku_home_unref(src);
  ku_home_deinit(h);  // frees the moved blocks and the heap table, nothing in the buffer
}

TEST(Auto, zero_sized_preload_area_sends_everything_to_the_heap) {
  alignas(8) unsigned char buf[200];
  ku_home_t *h = ku_home_auto(buf, sizeof buf);
  void *p = ku_alloc(h, 1);
  auto *c = reinterpret_cast<unsigned char *>(p);
  EXPECT_TRUE(c < buf || c >= buf + sizeof buf);
  EXPECT_EQ(table(h)->kub_prused, 0);
  ku_home_deinit(h);
}

}  // namespace
