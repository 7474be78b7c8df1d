// SPDX-License-Identifier: MIT
// Lives of homes: the kinds of home, references, destructors, ending, and the whole-home
// operations move, detach, preload and automatic homes; plus the allocation calls' limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ku_test_util.h"

namespace {

using ku_test::all_bytes;
using ku_test::entry;
using ku_test::table;

// What a destructor saw: how often it ran, with which home, and whether the home's
// allocations were still intact at that moment.
struct Seen {
  int calls = 0;
  void *home = nullptr;
  bool intact = false;
};
Seen seen;
struct Watched {
  ku_home_t *home;
  void *p;
};
std::vector<Watched> watched;  // allocations filled with 0x5C that the destructor inspects

void watching_destructor(void *home) {
  seen.calls++;
  seen.home = home;
  seen.intact = true;
  for (const Watched &w : watched)
    if (!ku_in_home(w.home, w.p) || !all_bytes(w.p, 32, 0x5C)) seen.intact = false;
  // What the destructor allocates dies with the home (LeakSanitizer checks).
  void *extra = ku_alloc(static_cast<ku_home_t *>(home), 100);
  if (extra == nullptr) seen.intact = false;
}

void counting_destructor(void *home) {
  seen.calls++;
  seen.home = home;
}

void *watched_alloc(ku_home_t *h) {
  void *p = ku_alloc(h, 32);
  memset(p, 0x5C, 32);
  watched.push_back({h, p});
  return p;
}

void reset_seen() {
  seen = Seen{};
  watched.clear();
}

// ---- Kinds of home ----

TEST(Kinds, heap_home_has_one_reference_31_slots_and_no_parent) {
  for (ku_home_t *h : {static_cast<ku_home_t *>(ku_home_new(24)), ku_home_create()}) {
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->kuh_size, 24);
    EXPECT_EQ(h->kuh_lock, nullptr);
    EXPECT_EQ(table(h)->kub_n, 31u);
    EXPECT_EQ(table(h)->kub_hauto, 0u);
    EXPECT_EQ(ku_home_refcount(h), 1u);
    EXPECT_EQ(ku_home_parent(h), nullptr);
    EXPECT_EQ(ku_home_has_parent(h), 0);
    ku_home_unref(h);
  }
}

// The bytes behind the home record are the caller's: zero at first, and never touched by
// the home, however its table changes.
TEST(Kinds, larger_home_record_is_zeroed_and_left_to_the_caller) {
  auto *h = static_cast<ku_home_t *>(ku_home_new(64));
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 44));
  for (ku_home_t *home : {h, sub}) {
    int size = home->kuh_size;
    EXPECT_EQ(size, home == h ? 64 : 44);
    auto *own = reinterpret_cast<unsigned char *>(home) + 24;
    EXPECT_TRUE(all_bytes(own, size - 24, 0));
    memset(own, 0x5C, size - 24);
    for (int i = 0; i < 40; i++) ku_alloc(home, 24);  // replaces the first table
    EXPECT_HOME_OK(home);
    EXPECT_TRUE(all_bytes(own, size - 24, 0x5C));
  }
  auto *c = static_cast<ku_home_t *>(ku_home_clone(nullptr, 32));
  EXPECT_EQ(c->kuh_size, 32);
  EXPECT_EQ(table(c)->kub_hauto, 0u);
  EXPECT_EQ(ku_home_parent(c), nullptr);
  ku_home_unref(c);
  ku_home_unref(h);
}

TEST(Kinds, home_smaller_than_its_record_is_refused) {
  ku_home_t *parent = ku_home_create();
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_new(23), "Assertion");
  EXPECT_DEATH(ku_home_clone(parent, 23), "Assertion");
#else
  errno = 0;
  EXPECT_EQ(ku_home_new(23), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ku_home_clone(parent, 0), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(table(parent)->kub_used, 0u);
#endif
  ku_home_unref(parent);
}

TEST(Kinds, negative_home_size_is_refused_with_enomem) {
  ku_home_t *parent = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_home_new(-1), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(ku_home_clone(parent, INT32_MIN), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(table(parent)->kub_used, 0u);
  ku_home_unref(parent);
}

TEST(Kinds, callers_home_ends_without_its_record_and_can_start_again) {
  ku_home_t home{};
  ASSERT_EQ(ku_home_init(&home), 0);
  EXPECT_EQ(table(&home)->kub_hauto, 1u);
  ku_alloc(&home, 10);
  ku_home_clone(&home, 24);
  EXPECT_EQ(ku_home_unref(&home), 1);
  EXPECT_EQ(home.kuh_blocks, nullptr);
  EXPECT_EQ(home.kuh_lock, nullptr);
  // A home without table answers quietly.
  EXPECT_EQ(ku_home_unref(&home), 0);
  EXPECT_EQ(ku_home_refcount(&home), 0u);
  EXPECT_EQ(ku_home_parent(&home), nullptr);
  EXPECT_EQ(ku_home_destructor(&home, counting_destructor), -1);
  ku_home_deinit(&home);
  ku_home_destroy(&home);
  ASSERT_EQ(ku_home_init(&home), 0);
  ku_alloc(&home, 10);
  ku_home_deinit(&home);
  EXPECT_EQ(home.kuh_blocks, nullptr);
  EXPECT_EQ(ku_home_init(nullptr), -1);
}

TEST(Kinds, references_end_a_heap_home_on_the_last_unref) {
  ku_home_t *h = ku_home_create();
  ku_alloc(h, 10);
  EXPECT_EQ(ku_home_ref(h), h);
  EXPECT_EQ(ku_home_refcount(h), 2u);
  EXPECT_EQ(ku_home_unref(h), 0);
  EXPECT_EQ(ku_home_unref(h), 1);  // frees record and contents
}

TEST(Kinds, null_home_references) {
  errno = 0;
  EXPECT_EQ(ku_home_unref(nullptr), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(ku_home_refcount(nullptr), 0u);
  EXPECT_EQ(ku_home_parent(nullptr), nullptr);
  EXPECT_EQ(ku_home_has_parent(nullptr), 0);
  EXPECT_EQ(ku_home_ref(nullptr), nullptr);
  EXPECT_EQ(errno, EFAULT);
  errno = 0;
  EXPECT_EQ(ku_home_destructor(nullptr, counting_destructor), -1);
  EXPECT_EQ(errno, EFAULT);
  ku_home_deinit(nullptr);
  ku_home_destroy(nullptr);
}

TEST(Kinds, ref_of_a_home_without_table_is_refused) {
  ku_home_t home{};
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_ref(&home), "Assertion");
#else
  EXPECT_EQ(ku_home_ref(&home), nullptr);
#endif
}

TEST(Kinds, subhome_is_an_entry_of_its_parent) {
  ku_home_t *parent = ku_home_create();
  ku_home_preload(parent, 8, 64);
  ASSERT_EQ(ku_home_threadsafe(parent), 0);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(parent, 32));
  ASSERT_NE(sub, nullptr);
  const ku_alloc_t *e = entry(parent, sub);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->kua_size, 32u);
  EXPECT_EQ(e->kua_home, 1u);
  EXPECT_EQ(table(parent)->kub_prused, 0);  // never carved
  EXPECT_EQ(sub->kuh_size, 32);
  EXPECT_EQ(sub->kuh_lock, nullptr);
  EXPECT_EQ(table(sub)->kub_preload, nullptr);
  EXPECT_EQ(table(sub)->kub_hauto, 0u);
  EXPECT_EQ(ku_home_parent(sub), parent);
  EXPECT_EQ(ku_home_has_parent(sub), 1);
  EXPECT_EQ(ku_home_has_parent(parent), 0);
  ku_alloc(sub, 50);
  EXPECT_EQ(ku_home_unref(sub), 1);
  EXPECT_EQ(table(parent)->kub_used, 0u);
  ku_home_unref(parent);
}

// ---- Destructors and ending ----

TEST(Ending, destructor_runs_once_before_anything_is_freed) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  watched_alloc(h);
  watched_alloc(sub);
  watched_alloc(h);
  ASSERT_EQ(ku_home_destructor(h, watching_destructor), 0);
  EXPECT_EQ(ku_home_destructor(h, counting_destructor), -1);  // the first one stays
  EXPECT_EQ(ku_home_unref(h), 1);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.home, h);
  EXPECT_TRUE(seen.intact);
}

TEST(Ending, destructor_alias_and_null_destructor) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  EXPECT_EQ(ku_home_destructor(h, nullptr), 0);
  EXPECT_EQ(table(h)->kub_destructor, nullptr);
  EXPECT_EQ(ku_home_desctructor(h, counting_destructor), 0);
  EXPECT_EQ(ku_home_desctructor(h, counting_destructor), -1);
  ku_home_unref(h);
  EXPECT_EQ(seen.calls, 1);
}

TEST(Ending, subhome_dies_with_its_parent_whatever_its_count) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  auto *subsub = static_cast<ku_home_t *>(ku_home_clone(sub, 24));
  ku_home_ref(sub);
  ku_home_ref(sub);
  EXPECT_EQ(ku_home_refcount(sub), 3u);
  watched_alloc(subsub);
  ku_home_destructor(sub, watching_destructor);
  EXPECT_EQ(ku_home_unref(h), 1);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.home, sub);
  EXPECT_TRUE(seen.intact);
}

TEST(Ending, free_of_a_subhome_ends_everything_in_it) {
  reset_seen();
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  ku_home_clone(sub, 24);
  watched_alloc(sub);
  ku_home_ref(sub);  // a count above 1 does not keep it
  ku_home_destructor(sub, watching_destructor);
  ku_free(h, sub);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.intact);
  EXPECT_EQ(table(h)->kub_used, 0u);
  ku_home_unref(h);
}

TEST(Ending, deinit_and_destroy_want_a_single_reference) {
  ku_home_t *heap = ku_home_create();
  ku_home_t home{};
  ku_home_init(&home);
  ku_home_ref(&home);
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_deinit(heap), "Assertion");
  EXPECT_DEATH(ku_home_deinit(&home), "Assertion");
  EXPECT_DEATH(ku_home_destroy(&home), "Assertion");
#endif
  ku_home_unref(&home);
  ku_home_deinit(&home);
  EXPECT_EQ(home.kuh_blocks, nullptr);
  // Destroy empties a heap home, grown table included, and leaves its record to the caller.
  for (int i = 0; i < 30; i++) ku_alloc(heap, 10);
  ku_home_clone(heap, 24);
  ku_home_destroy(heap);
  EXPECT_EQ(heap->kuh_blocks, nullptr);
  EXPECT_EQ(heap->kuh_size, 24);
  free(heap);
}

TEST(Ending, deinit_and_destroy_of_a_subhome_are_refused) {
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_deinit(sub), "Assertion");
  EXPECT_DEATH(ku_home_destroy(sub), "Assertion");
#else
  ku_home_deinit(sub);
  ku_home_destroy(sub);
#endif
  ASSERT_NE(sub->kuh_blocks, nullptr);
  EXPECT_EQ(ku_home_parent(sub), h);
  ku_home_unref(h);
}

TEST(Ending, freeing_a_foreign_address_aborts) {
  ku_home_t *h = ku_home_create();
  ku_home_t *other = ku_home_create();
  void *p = ku_alloc(other, 8);
  ku_home_t empty{};
#ifndef NDEBUG
  EXPECT_DEATH(ku_free(h, p), "Assertion");
  EXPECT_DEATH(ku_free(&empty, p), "Assertion");
#else
  ku_free(h, p);  // nothing is freed
  ku_free(&empty, p);
  EXPECT_EQ(empty.kuh_blocks, nullptr);
  EXPECT_EQ(table(h)->kub_used, 0u);
#endif
  ku_free(h, nullptr);                       // a null address is no allocation and does nothing
  EXPECT_EQ(ku_realloc(h, p, 16), nullptr);  // refused, nothing changes
  EXPECT_EQ(ku_in_home(other, p), 1);
  ku_home_unref(other);
  ku_home_unref(h);
}

// ---- Allocation calls ----

TEST(Allocation, null_home_calls_are_the_c_library) {
  void *p = ku_alloc(nullptr, 10);
  auto *z = static_cast<unsigned char *>(ku_zalloc(nullptr, 100));
  EXPECT_TRUE(all_bytes(z, 100, 0));
  p = ku_realloc(nullptr, p, 1000);
  ASSERT_NE(p, nullptr);
  free(p);  // plain heap blocks
  ku_free(nullptr, z);
  auto *s = static_cast<int *>(ku_salloc(nullptr, 0));
  EXPECT_EQ(*s, 4);
  free(s);
  EXPECT_EQ(ku_in_home(nullptr, z), 0);
}

TEST(Allocation, sizes_beyond_31_bits_are_refused_with_enomem) {
  ku_home_t *h = ku_home_create();
  for (auto fn : {ku_alloc, ku_zalloc, ku_salloc}) {
    for (ku_home_t *home : {h, static_cast<ku_home_t *>(nullptr)}) {
      errno = 0;
      EXPECT_EQ(fn(home, -1), nullptr);
      EXPECT_EQ(errno, ENOMEM);
      errno = 0;
      EXPECT_EQ(fn(home, INT32_MIN), nullptr);
      EXPECT_EQ(errno, ENOMEM);
    }
  }
  void *p = ku_alloc(h, 8);
  errno = 0;
  EXPECT_EQ(ku_realloc(h, p, -5), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(entry(h, p)->kua_size, 8u);
  errno = 0;
  EXPECT_EQ(ku_alloc(h, 0), nullptr);
  EXPECT_EQ(ku_zalloc(h, 0), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(table(h)->kub_used, 1u);
  ku_home_unref(h);
}

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
  free(p);
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
  ku_home_unref(dst);
  EXPECT_TRUE(all_bytes(carved, 16, 0x21));
  ku_free(src, carved);
  ku_home_unref(src);
}

TEST(Move, destination_below_the_source_is_refused) {
  reset_seen();
  ku_home_t *src = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(src, 24));
  auto *subsub = static_cast<ku_home_t *>(ku_home_clone(sub, 24));
  void *p = ku_alloc(src, 8);
  ku_home_destructor(src, counting_destructor);
  for (ku_home_t *dst : {sub, subsub}) {
    errno = 0;
    EXPECT_EQ(ku_home_move(dst, src), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(seen.calls, 0);
  EXPECT_EQ(ku_in_home(src, p), 1);
  EXPECT_EQ(ku_home_parent(sub), src);
  // The other way round is an ordinary move: the sub-homes' contents go up.
  void *q = ku_alloc(subsub, 8);
  ASSERT_EQ(ku_home_move(src, subsub), 0);
  EXPECT_EQ(ku_in_home(src, q), 1);
  ku_home_unref(src);
  EXPECT_EQ(seen.calls, 1);
}

// ---- Preload ----

TEST(Preload, area_is_items_rounded_to_8_capped_at_65535_and_given_once) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 4, 10);
  void *area = table(h)->kub_preload;
  EXPECT_EQ(table(h)->kub_prsize, 64);
  EXPECT_EQ(table(h)->kub_prused, 0);
  EXPECT_EQ(table(h)->kub_preauto, 0u);
  ku_home_preload(h, 100, 1000);
  EXPECT_EQ(table(h)->kub_preload, area);
  EXPECT_EQ(table(h)->kub_prsize, 64);
  ku_home_unref(h);

  ku_home_t big{};
  ku_home_preload(&big, 100, 1000);  // also gives the zero record its table
  ASSERT_NE(big.kuh_blocks, nullptr);
  EXPECT_EQ(table(&big)->kub_hauto, 1u);
  EXPECT_EQ(table(&big)->kub_prsize, 65535);
  ku_home_deinit(&big);
  ku_home_preload(nullptr, 4, 10);

  // Negative requests are capped like any other oversized one.
  ku_home_t *neg = ku_home_create();
  ku_home_preload(neg, -1, 8);
  EXPECT_EQ(table(neg)->kub_prsize, 65535);
  ku_home_unref(neg);
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

// ---- Automatic homes ----

struct AutoCase {
  int misalign, size, prefix, prsize;
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
    EXPECT_EQ(t->kub_ref, 1u);
    EXPECT_EQ(t->kub_used, 0u);
    EXPECT_EQ(t->kub_preload, area + c.prefix);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t->kub_preload) % 8, 0u);
    EXPECT_EQ(t->kub_prsize, c.prsize);
    EXPECT_EQ(t->kub_prused, 0);
    EXPECT_EQ(t->kub_hauto + t->kub_auto + t->kub_preauto + t->kub_auto_all, 4u);
    EXPECT_EQ(t->kub_parent, nullptr);
    EXPECT_EQ(t->kub_stats, nullptr);
    EXPECT_EQ(t->kub_destructor, nullptr);
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
