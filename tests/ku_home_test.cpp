// SPDX-License-Identifier: MIT
// The life of a home (lib/ku_home.cpp): the kinds of home, references, destructors, ending.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace ku_test;

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
  EXPECT_DEATH((void)ku_home_new(23), "below 24");
  EXPECT_DEATH(ku_home_clone(parent, 23), "below 24");
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
  EXPECT_DEATH(ku_home_ref(&home), "ku_home_ref: the home has no block table");
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

// ---- Lifecycle ----

ku_home_t *allocating_home;
void *allocated_in_destructor;
void allocate_in_destructor(void *home) {
  allocating_home = static_cast<ku_home_t *>(home);
  // Enough entries to replace the table while the home is dying.
  for (int i = 0; i < 40; ++i) allocated_in_destructor = ku_alloc(allocating_home, 16);
}

TEST(Lifecycle, destructor_runs_once_and_may_allocate) {
  ku_home_t *h = ku_home_create();
  EXPECT_EQ(ku_home_destructor(h, allocate_in_destructor), 0);
  EXPECT_EQ(ku_home_desctructor(h, count_destructor), -1);
  EXPECT_EQ(ku_home_destructor(nullptr, count_destructor), -1);
  ku_home_t none{};
  EXPECT_EQ(ku_home_destructor(&none, count_destructor), -1);
  EXPECT_EQ(ku_home_unref(h), 1);
  EXPECT_EQ(allocating_home, h);  // the leak checker sees the 40 blocks freed
}

// Blocks of the parent that the sub-homes' destructors free while the parent dies.
std::vector<void *> parent_victims;
int parent_frees, late_subhomes;

// A sub-home's destructor that works in its dying parent: it frees a parent block that is still
// there, then allocates enough to replace the parent's table, and a sub-home of the parent.
void work_in_dying_parent(void *home) {
  ku_home_t *parent = ku_home_parent(static_cast<ku_home_t *>(home));
  ASSERT_NE(parent, nullptr);
  for (void *&v : parent_victims) {
    if (v && ku_in_home(parent, v)) {
      ku_free(parent, v);
      ++parent_frees;
      v = nullptr;
      break;
    }
  }
  for (int i = 0; i < 40; ++i) ASSERT_NE(ku_alloc(parent, 16), nullptr);
  auto *late = static_cast<ku_home_t *>(ku_home_clone(parent, sizeof(ku_home_t)));
  ASSERT_NE(late, nullptr);
  ASSERT_NE(ku_alloc(late, 32), nullptr);
  ASSERT_EQ(ku_home_destructor(late, count_destructor), 0);
  ++late_subhomes;
}

// A destructor that allocates a single block: it may land in a slot the walk has passed.
void allocate_one_in_dying_parent(void *home) {
  ASSERT_NE(ku_alloc(ku_home_parent(static_cast<ku_home_t *>(home)), 8), nullptr);
}

// Everything a sub-home's destructor allocates in the dying parent dies with it, whether or not
// it replaced the parent's table, and nothing is freed twice (the sanitizer builds check both).
TEST(Lifecycle, subhome_destructors_may_use_their_dying_parent) {
  for (int subs : {1, 3, 8}) {
    SCOPED_TRACE(subs);
    ku_home_t *parent = ku_home_create();
    parent_victims.clear();
    for (int i = 0; i < 12; ++i) parent_victims.push_back(ku_alloc(parent, 24));
    for (int i = 0; i < subs; ++i) {
      auto *sub = static_cast<ku_home_t *>(ku_home_clone(parent, sizeof(ku_home_t)));
      ASSERT_NE(sub, nullptr);
      ASSERT_NE(ku_alloc(sub, 48), nullptr);
      ASSERT_EQ(ku_home_destructor(sub, work_in_dying_parent), 0);
    }
    // The walk releases slots in order and meets the sub-home in the lowest slot first: a victim
    // in a later slot is still there when that sub-home's destructor runs.  Where that holds
    // depends on the addresses the C library hands out.
    const ku_block_t *t = parent->kuh_blocks;
    uint64_t first_sub = t->kub_n, last_victim = 0;
    for (uint64_t i = 0; i < t->kub_n; ++i) {
      const ku_alloc_t &e = t->kub_nodes[i];
      if (e.kua_data && e.kua_home && first_sub == t->kub_n) first_sub = i;
      if (e.kua_data && !e.kua_home) last_victim = i;
    }
    parent_frees = late_subhomes = destructor_calls = 0;
    EXPECT_EQ(ku_home_unref(parent), 1);
    EXPECT_EQ(late_subhomes, subs);
    EXPECT_EQ(destructor_calls, subs);  // the sub-homes made during the teardown died too
    if (last_victim > first_sub) {
      EXPECT_GE(parent_frees, 1);
    }
  }

  // A caller-owned parent keeps its record; several single late blocks on a table that stays.
  ku_home_t mine{};
  ASSERT_EQ(ku_home_init(&mine), 0);
  for (int i = 0; i < 5; ++i) {
    auto *sub = static_cast<ku_home_t *>(ku_home_clone(&mine, sizeof(ku_home_t)));
    ASSERT_EQ(ku_home_destructor(sub, allocate_one_in_dying_parent), 0);
  }
  ku_home_deinit(&mine);
  EXPECT_EQ(mine.kuh_blocks, nullptr);
}

#ifndef KU_TRACK_ASAN
// Tables from 127 slots up do not come from malloc: the larger ones get pages of their own,
// the others come from pages the allocator keeps for them.  When the system refuses pages, the
// allocation that needed the larger table fails like any other: null, ENOMEM, and the home
// keeps its old table and every entry.  The death test runs in a fresh process, so no spare
// table waits yet.  (AddressSanitizer reserves too much address space for such a limit.)
// Ends the test's child process with the step that failed, which the failure shows.
[[noreturn]] void fail_step(uint64_t n, const char *step) {
  fprintf(stderr, "refused_growth from %" PRIu64 " slots: %s\n", n, step);
  _exit(1);
}

// Limits the address space to what is mapped now plus a little; returns the old limit.
rlimit limit_address_space(uint64_t n) {
  rlimit old{};
  getrlimit(RLIMIT_AS, &old);
  FILE *f = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (!f || fscanf(f, "%lu", &pages) != 1) fail_step(n, "cannot read /proc/self/statm");
  fclose(f);
  rlimit lim = old;
  lim.rlim_cur = pages * 4096 + (64 << 10);
  if (setrlimit(RLIMIT_AS, &lim) != 0) fail_step(n, "setrlimit(RLIMIT_AS) refused the limit");
  return old;
}

// Fills a fresh home to the most its table of n slots holds, then lets the next allocation
// meet refused pages.
void refused_growth(uint64_t n, int fill) {
  ku_home_t *h = ku_home_create();
  for (int i = 0; i < fill; ++i)
    if (!ku_alloc(h, 8)) fail_step(n, "an allocation failed while the table filled");
  ku_block_t *t = table(h);
  if (t->kub_n != n || t->kub_used != static_cast<uint64_t>(fill))
    fail_step(n, "the filled home has another table size or entry count");
  const rlimit old = limit_address_space(n);
  errno = 0;
  if (ku_alloc(h, 8) != nullptr) fail_step(n, "the allocation succeeded without pages");
  if (errno != ENOMEM) fail_step(n, "the refused allocation did not set ENOMEM");
  if (table(h) != t || t->kub_used != static_cast<uint64_t>(fill))
    fail_step(n, "the refused allocation changed the table");
  ku_home_check(h);
  setrlimit(RLIMIT_AS, &old);
  if (!ku_alloc(h, 8)) fail_step(n, "with pages again, the allocation failed");
  if (table(h)->kub_n != 4 * n + 3) fail_step(n, "with pages again, the table did not grow");
  ku_home_unref(h);
}

TEST_F(DeathTest, refused_pages_for_a_larger_table_leave_the_home_as_it_was) {
  EXPECT_EXIT(
      {
        refused_growth(2047, 1365);    // 8,191 slots: no spare table, no pages
        refused_growth(32767, 21845);  // 131,071 slots, 2 MiB
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
#endif

// Homes on different threads grow through the same sizes of table at once; each table is its
// own (the thread-sanitizer build checks the sharing of spare tables).
TEST(Lifecycle, homes_growing_on_two_threads_keep_their_own_tables) {
  auto grow_and_end = [] {
    for (int round = 0; round < 20; ++round) {
      ku_home_t *h = ku_home_create();
      std::vector<void *> blocks;
      for (int i = 0; i < 1365; ++i) blocks.push_back(ku_alloc(h, 8));  // 2047 slots, full
      ASSERT_EQ(h->kuh_blocks->kub_n, 2047u);
      for (void *p : blocks) ASSERT_EQ(ku_in_home(h, p), 1);
      ku_home_check(h);
      ku_home_unref(h);
    }
  };
  std::thread other(grow_and_end);
  grow_and_end();
  other.join();
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

// ku_home_deinit ends a top-level home whose record is the caller's, ku_home_destroy any
// top-level home; both want its one reference.  A refused call leaves the home as it was.
TEST_F(DeathTest, deinit_and_destroy_refuse_other_homes) {
  ku_home_t *heap = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(heap, 24));
  ku_home_t home{};
  ASSERT_EQ(ku_home_init(&home), 0);
  ku_home_ref(&home);
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_deinit(heap), "ku_home_deinit: the home's record is the allocator's");
  EXPECT_DEATH(ku_home_deinit(sub), "ku_home_deinit: the home's record is the allocator's");
  EXPECT_DEATH(ku_home_destroy(sub), "ku_home_deinit/destroy: the home is a sub-home");
  EXPECT_DEATH(ku_home_deinit(&home), "ku_home_deinit/destroy: the home's count is not 1");
  EXPECT_DEATH(ku_home_destroy(&home), "ku_home_deinit/destroy: the home's count is not 1");
#else
  ku_home_deinit(heap);
  ku_home_deinit(sub);
  ku_home_destroy(sub);
  ku_home_deinit(&home);
  ku_home_destroy(&home);
  EXPECT_NE(heap->kuh_blocks, nullptr);
#endif
  ASSERT_NE(sub->kuh_blocks, nullptr);
  EXPECT_EQ(ku_home_parent(sub), heap);
  EXPECT_EQ(ku_home_refcount(&home), 2u);
  ku_home_unref(&home);
  ku_home_deinit(&home);
  EXPECT_EQ(home.kuh_blocks, nullptr);
  // Destroy empties a heap home, grown table and sub-home included, and leaves its record to
  // the caller.
  for (int i = 0; i < 30; i++) ku_alloc(heap, 10);
  ku_home_destroy(heap);
  EXPECT_EQ(heap->kuh_blocks, nullptr);
  EXPECT_EQ(heap->kuh_size, 24);
  free(heap);
}

}  // namespace
