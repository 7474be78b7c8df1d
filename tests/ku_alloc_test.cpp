// SPDX-License-Identifier: MIT
// Memory homes: table, allocation, lifecycle, move, preload, automatic homes, locking, stats.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using ku_test::all_bytes;
using ku_test::expose;

uint64_t slot_of(const ku_block_t *t, const void *p) {
  for (uint64_t i = 0; i < t->kub_n; ++i)
    if (t->kub_nodes[i].kua_data == p) return i;
  return UINT64_MAX;
}

// With insertions only, every entry lies at the first slot of its probe sequence that was free
// when it came: all slots before it on the sequence from p mod n are occupied.
void expect_tight_chains(const ku_block_t *t) {
  const uint64_t n = t->kub_n, step = n <= 29 ? 1 : 29;
  for (uint64_t i = 0; i < n; ++i) {
    const void *p = t->kub_nodes[i].kua_data;
    if (!p) continue;
    uint64_t s = reinterpret_cast<uintptr_t>(p) % n;
    while (s != i) {
      ASSERT_NE(t->kub_nodes[s].kua_data, nullptr) << "entry " << i << " skipped a free slot";
      s = (s + step) % n;
    }
  }
}

uint32_t entry_size(const ku_block_t *t, const void *p) {
  return t->kub_nodes[slot_of(t, p)].kua_size;
}

bool entry_is_home(const ku_block_t *t, const void *p) {
  return t->kub_nodes[slot_of(t, p)].kua_home;
}

// Puts an arbitrary address into a table as if it had been entered, so that the start slot of
// any 64-bit value can be observed; the caller removes it before the home ends.
struct PlantedEntry {
  ku_block_t *t;
  uint64_t slot;
  PlantedEntry(ku_block_t *table, uintptr_t p) : t(table), slot(p % table->kub_n) {
    t->kub_nodes[slot].kua_data = reinterpret_cast<void *>(p);
    ++t->kub_used;
  }
  ~PlantedEntry() {
    t->kub_nodes[slot] = ku_alloc_t{};
    --t->kub_used;
  }
};

int destructor_calls;
void count_destructor(void *) { ++destructor_calls; }

class DeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

// ---- Block table ----

TEST(Table, start_slot_is_address_mod_n_for_any_address) {
  ku_home_t *h = ku_home_create();
  // A grown table of 127 and a hand-made one of 2047 alongside the home's own 31 slots.
  std::vector<void *> blocks;
  for (int i = 0; i < 22; ++i) blocks.push_back(ku_alloc(h, 8));
  ASSERT_EQ(h->kuh_blocks->kub_n, 127u);
  for (void *p : blocks) ku_free(h, p);
  ku_home_t *small = ku_home_create();
  ku_home_t big{};
  auto *t = static_cast<ku_block_t *>(calloc(2047 + 4, sizeof(ku_alloc_t)));
  t->kub_n = 2047;
  big.kuh_blocks = t;
  for (ku_home_t *home : {small, h, &big}) {
    for (uintptr_t p : {uintptr_t{0x10}, uintptr_t{31 * 127 * 2047}, ~uintptr_t{0},
                        ~uintptr_t{0} - 7, uintptr_t{1} << 63, uintptr_t{0x7ffff7a3c010}}) {
      PlantedEntry planted(home->kuh_blocks, p);
      const uint64_t loops = count_ku_block_find_loop;
      EXPECT_TRUE(ku_in_home(home, reinterpret_cast<void *>(p)));
      EXPECT_EQ(count_ku_block_find_loop, loops) << "hit on the start slot takes no step";
    }
  }
  free(t);
  ku_home_unref(small);
  ku_home_unref(h);
}

TEST(Table, probe_chains_and_cleared_slots) {
  // Carved blocks 8n bytes apart share one start slot, so their chains are known exactly.
  alignas(8) static unsigned char buf[4096];
  ku_home_t *a = ku_home_auto(buf, sizeof buf);  // 7 slots, step 1
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 100, 248);  // 31 slots, step 29
  for (ku_home_t *home : {a, h}) {
    const uint64_t n = home->kuh_blocks->kub_n, step = n == 7 ? 1 : 29;
    void *p[3];
    for (void *&q : p) q = ku_alloc(home, static_cast<int>(8 * n));
    const ku_block_t *t = home->kuh_blocks;
    const uint64_t start = reinterpret_cast<uintptr_t>(p[0]) % n;
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(slot_of(t, p[i]), (start + i * step) % n);
    uint64_t loops = count_ku_block_find_loop;
    EXPECT_TRUE(ku_in_home(home, p[0]));
    EXPECT_EQ(count_ku_block_find_loop, loops);
    ku_free(home, p[1]);
    EXPECT_TRUE(all_bytes(&t->kub_nodes[(start + step) % n], sizeof(ku_alloc_t), 0));
    loops = count_ku_block_find_loop;
    EXPECT_TRUE(ku_in_home(home, p[2]));
    EXPECT_EQ(count_ku_block_find_loop, loops + 2);
    EXPECT_HOME_OK(home);
  }
  ku_home_deinit(a);
  ku_home_unref(h);
}

TEST(Table, grows_before_22nd_entry_keeping_entries_and_header) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 4, 16);
  ku_home_init_stats(h);
  ASSERT_EQ(ku_home_destructor(h, count_destructor), 0);
  void *sub = ku_home_clone(h, 32);
  std::vector<void *> blocks{sub};
  while (blocks.size() < 21) blocks.push_back(ku_alloc(h, 100));
  ku_block_t *old = h->kuh_blocks;
  expect_tight_chains(old);
  const ku_block_t before = *old;
  ASSERT_EQ(before.kub_n, 31u);
  ASSERT_EQ(before.kub_used, 21u);
  void *extra = ku_alloc(h, 100);
  ku_block_t *t = h->kuh_blocks;
  ASSERT_EQ(t->kub_n, 127u);
  EXPECT_EQ(t->kub_used, 22u);
  expect_tight_chains(t);
  for (void *p : blocks) {
    const uint64_t i = slot_of(t, p);
    ASSERT_NE(i, UINT64_MAX);
    EXPECT_EQ(entry_is_home(t, p), p == sub);
    EXPECT_EQ(entry_size(t, p), p == sub ? 32u : 100u);
  }
  EXPECT_EQ(t->kub_ref, before.kub_ref);
  EXPECT_EQ(t->kub_preload, before.kub_preload);
  EXPECT_EQ(t->kub_prsize, before.kub_prsize);
  EXPECT_EQ(t->kub_prused, before.kub_prused);
  EXPECT_EQ(t->kub_stats, before.kub_stats);
  EXPECT_EQ(t->kub_destructor, before.kub_destructor);
  EXPECT_FALSE(t->kub_hauto);
  EXPECT_EQ(ku_home_parent(static_cast<ku_home_t *>(sub)), h);
  ku_free(h, extra);
  destructor_calls = 0;
  ku_home_unref(h);
  EXPECT_EQ(destructor_calls, 1);
}

// ---- Allocation ----

TEST(Alloc, size_zero_and_negative_sizes) {
  ku_home_t *h = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_alloc(h, 0), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(h->kuh_blocks->kub_used, 0u);
  for (ku_home_t *home : {h, static_cast<ku_home_t *>(nullptr)}) {
    errno = 0;
    EXPECT_EQ(ku_alloc(home, -1), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(ku_zalloc(home, INT_MIN), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(ku_realloc(home, nullptr, -5), nullptr);
    EXPECT_EQ(errno, ENOMEM);
  }
  auto *s = static_cast<int32_t *>(ku_salloc(h, 0));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(*s, 4);
  EXPECT_EQ(entry_size(h->kuh_blocks, s), 4u);
  auto *plain = static_cast<int32_t *>(ku_salloc(nullptr, 12));
  EXPECT_EQ(plain[0], 12);
  EXPECT_EQ(plain[1], 0);
  free(plain);
  ku_home_unref(h);
}

TEST(Alloc, carving_from_preload_area) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 4, 16);  // 64 bytes
  ku_block_t *t = h->kuh_blocks;
  auto *area = static_cast<char *>(t->kub_preload);
  void *a = ku_alloc(h, 10), *b = ku_alloc(h, 20);
  EXPECT_EQ(a, area);
  EXPECT_EQ(b, area + 16);
  EXPECT_EQ(t->kub_prused, 40u);
  t->kub_auto_all = 1;
  void *c = ku_alloc(h, 30);  // 40 + 30 rounds to 72 > 64
  EXPECT_FALSE(c >= area && c < area + 64);
  EXPECT_FALSE(t->kub_auto_all);

  ku_free(h, a);
  expose(a, 10);
  EXPECT_TRUE(all_bytes(a, 10, 0xAA));
  EXPECT_EQ(t->kub_prused, 40u);
  EXPECT_FALSE(ku_in_home(h, a));
  ku_free(h, c);
  ku_home_unref(h);
}

TEST(Alloc, free_fills_exactly_the_block_with_0xAA) {
  // Carved blocks stay readable after their free, and the next one starts at a multiple of 8.
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 1, 4096);
  for (int size : {1, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 100, 1000}) {
    auto *p = static_cast<unsigned char *>(ku_alloc(h, size));
    auto *guard = static_cast<unsigned char *>(ku_alloc(h, 8));
    ASSERT_EQ(guard, p + ((size + 7) & ~7)) << size;
    expose(p, static_cast<size_t>(guard - p));
    memset(p, 0x11, static_cast<size_t>(size));
    memset(p + size, 0x22, static_cast<size_t>(guard - p - size));
    memset(guard, 0x33, 8);
    ku_free(h, p);
    expose(p, static_cast<size_t>(guard - p));
    EXPECT_TRUE(all_bytes(p, static_cast<size_t>(size), 0xAA)) << size;
    EXPECT_TRUE(all_bytes(p + size, static_cast<size_t>(guard - p - size), 0x22)) << size;
    EXPECT_TRUE(all_bytes(guard, 8, 0x33)) << size;
  }
  ku_home_unref(h);
}

TEST(Alloc, realloc_of_carved_blocks) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 8, 8);  // 64 bytes
  ku_block_t *t = h->kuh_blocks;
  auto *area = static_cast<char *>(t->kub_preload);
  auto *a = static_cast<char *>(ku_alloc(h, 10));
  auto *b = static_cast<char *>(ku_alloc(h, 10));
  memset(b, 'b', 10);
  // The last carved block grows in place while it fits...
  EXPECT_EQ(ku_realloc(h, b, 24), b);
  EXPECT_EQ(t->kub_prused, 40u);
  // ...and moves to the heap when it does not, giving its bytes back.
  auto *moved = static_cast<char *>(ku_realloc(h, b, 100));
  ASSERT_NE(moved, b);
  EXPECT_TRUE(all_bytes(moved, 10, 'b'));
  EXPECT_EQ(t->kub_prused, 16u);
  expose(area + 16, 16);
  memset(area + 16, 0x55, 16);
  EXPECT_EQ(ku_zalloc(h, 16), area + 16);
  EXPECT_TRUE(all_bytes(area + 16, 16, 0));
  // An earlier block shrinks in place but moves for the same size.
  EXPECT_EQ(ku_realloc(h, a, 4), a);
  void *a2 = ku_realloc(h, a, 4 + 1);
  EXPECT_NE(a2, a);
  EXPECT_EQ(t->kub_prused, 32u);
  EXPECT_HOME_OK(h);
  ku_home_unref(h);
}

#ifdef KU_TRACK_ASAN
TEST_F(DeathTest, memory_checker_sees_carved_blocks) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 4, 16);
  auto *p = static_cast<volatile char *>(ku_alloc(h, 12));
  p[11] = 1;
  EXPECT_DEATH(p[12] = 1, "use-after-poison");  // the rounding gap behind the block
  ku_free(h, const_cast<char *>(p));
  EXPECT_DEATH((void)p[0], "use-after-poison");  // a freed carved block
  ku_home_unref(h);
}
#endif

TEST(Alloc, realloc_heap_block_and_refusals) {
  ku_home_t *h = ku_home_create();
  auto *p = static_cast<char *>(ku_realloc(h, nullptr, 8));
  ASSERT_TRUE(ku_in_home(h, p));
  memcpy(p, "abcdefg", 8);
  auto *q = static_cast<char *>(ku_realloc(h, p, 5000));
  EXPECT_STREQ(q, "abcdefg");
  EXPECT_TRUE(ku_in_home(h, q));
  EXPECT_EQ(h->kuh_blocks->kub_used, 1u);
  int outside;
  EXPECT_EQ(ku_realloc(h, &outside, 8), nullptr);
  void *sub = ku_home_clone(h, 24);
  EXPECT_EQ(ku_realloc(h, sub, 64), nullptr);
  EXPECT_EQ(ku_realloc(h, q, 0), nullptr);
  EXPECT_FALSE(ku_in_home(h, q));
  EXPECT_EQ(h->kuh_blocks->kub_used, 1u);
  ku_home_unref(h);
}

TEST(Alloc, realloc_in_place_fills_an_earlier_hole_of_its_chain) {
  ku_home_t *h = ku_home_create();
  ku_block_t *t = h->kuh_blocks;
  void *p = ku_alloc(h, 4000);
  // Move the entry one probe step on, leaving its start slot empty behind it.
  const uint64_t start = reinterpret_cast<uintptr_t>(p) % 31, on = (start + 29) % 31;
  ASSERT_EQ(slot_of(t, p), start);
  t->kub_nodes[on] = t->kub_nodes[start];
  memset(&t->kub_nodes[start], 0, sizeof(ku_alloc_t));
  void *q = ku_realloc(h, p, 2000);  // shrinking keeps the address with this C library
  EXPECT_EQ(slot_of(t, q), reinterpret_cast<uintptr_t>(q) % 31);
  EXPECT_EQ(entry_size(t, q), 2000u);
  EXPECT_EQ(t->kub_used, 1u);
  EXPECT_HOME_OK(h);
  ku_home_unref(h);
}

TEST_F(DeathTest, free_of_a_foreign_address_aborts) {
  ku_home_t *h = ku_home_create();
  int outside;
  ku_home_t empty{};
#ifndef NDEBUG
  EXPECT_DEATH(ku_free(h, &outside), "not an allocation");
  EXPECT_DEATH(ku_free(&empty, &outside), "no block table");
#else
  ku_free(h, &outside);  // nothing is freed
  ku_free(&empty, &outside);
  EXPECT_EQ(empty.kuh_blocks, nullptr);
#endif
  ku_home_unref(h);
}

// ---- Lifecycle ----

TEST_F(DeathTest, new_home_records_and_size_limit) {
  auto *h = static_cast<ku_home_t *>(ku_home_new(64));
  EXPECT_EQ(h->kuh_size, 64);
  EXPECT_TRUE(all_bytes(reinterpret_cast<char *>(h) + 24, 40, 0));
  EXPECT_EQ(h->kuh_blocks->kub_n, 31u);
  EXPECT_EQ(h->kuh_blocks->kub_ref, 1u);
  EXPECT_FALSE(h->kuh_blocks->kub_hauto);
  EXPECT_EQ(ku_home_parent(h), nullptr);
  errno = 0;
  EXPECT_EQ(ku_home_new(-1), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(ku_home_clone(h, -1), nullptr);
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_new(23), "below 24");
  EXPECT_DEATH(ku_home_clone(h, 0), "below 24");
#else
  errno = 0;
  EXPECT_EQ(ku_home_new(23), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ku_home_clone(h, 0), nullptr);
#endif
  ku_home_unref(h);
}

namespace {
ku_home_t *allocating_home;
void *allocated_in_destructor;
void allocate_in_destructor(void *home) {
  allocating_home = static_cast<ku_home_t *>(home);
  // Enough entries to replace the table while the home is dying.
  for (int i = 0; i < 40; ++i) allocated_in_destructor = ku_alloc(allocating_home, 16);
}
}  // namespace

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

namespace {
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
}  // namespace

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
    parent_frees = late_subhomes = destructor_calls = 0;
    EXPECT_EQ(ku_home_unref(parent), 1);
    EXPECT_EQ(late_subhomes, subs);
    EXPECT_EQ(destructor_calls, subs);  // the sub-homes made during the teardown died too
    if (subs > 1) {
      EXPECT_GE(parent_frees, 1);  // a later sub-home finds an early victim
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

TEST_F(DeathTest, deinit_and_destroy_refuse_other_homes) {
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_deinit(h), "record is the allocator's");
  EXPECT_DEATH(ku_home_destroy(sub), "sub-home");
  ku_home_ref(h);
  EXPECT_DEATH(ku_home_destroy(h), "count is not 1");
  ku_home_unref(h);
#else
  ku_home_deinit(h);
  ku_home_destroy(sub);
  EXPECT_NE(h->kuh_blocks, nullptr);
  EXPECT_NE(sub->kuh_blocks, nullptr);
#endif
  ku_alloc(h, 50);
  ku_home_destroy(h);
  EXPECT_EQ(h->kuh_blocks, nullptr);
  free(h);
}

#ifndef KU_TRACK_ASAN
// Tables from 127 slots up do not come from malloc: the larger ones get pages of their own,
// the others come from pages the allocator keeps for them.  When the system refuses pages, the
// allocation that needed the larger table fails like any other: null, ENOMEM, and the home
// keeps its old table and every entry.  The death test runs in a fresh process, so no spare
// table waits yet.  (AddressSanitizer reserves too much address space for such a limit.)
namespace {
// Limits the address space to what is mapped now plus a little; returns the old limit.
rlimit limit_address_space() {
  rlimit old{};
  getrlimit(RLIMIT_AS, &old);
  FILE *f = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (!f || fscanf(f, "%lu", &pages) != 1) exit(4);
  fclose(f);
  rlimit lim = old;
  lim.rlim_cur = pages * 4096 + (64 << 10);
  if (setrlimit(RLIMIT_AS, &lim) != 0) exit(5);
  return old;
}

// Fills a fresh home to the most its table of n slots holds, then lets the next allocation
// meet refused pages.
void refused_growth(uint64_t n, int fill) {
  ku_home_t *h = ku_home_create();
  for (int i = 0; i < fill; ++i)
    if (!ku_alloc(h, 8)) exit(2);
  ku_block_t *t = h->kuh_blocks;
  if (t->kub_n != n || t->kub_used != static_cast<uint64_t>(fill)) exit(3);
  const rlimit old = limit_address_space();
  errno = 0;
  if (ku_alloc(h, 8) != nullptr || errno != ENOMEM) exit(6);
  if (h->kuh_blocks != t || t->kub_used != static_cast<uint64_t>(fill)) exit(7);
  ku_home_check(h);
  setrlimit(RLIMIT_AS, &old);
  if (!ku_alloc(h, 8) || h->kuh_blocks->kub_n != 4 * n + 3) exit(8);
  ku_home_unref(h);
}
}  // namespace

TEST_F(DeathTest, refused_pages_for_a_larger_table_leave_the_home_as_it_was) {
  EXPECT_EXIT(
      {
        refused_growth(31, 21);        // 127 slots: no spare table, no pages
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

// ---- Move ----

TEST(Move, carved_blocks_stay_with_the_source) {
  ku_home_t *src = ku_home_create(), *dst = ku_home_create();
  ku_home_preload(src, 4, 16);
  void *carved = ku_alloc(src, 8);
  void *heap = ku_alloc(src, 1000);
  ASSERT_EQ(ku_home_move(dst, src), 0);
  EXPECT_TRUE(ku_in_home(src, carved));
  EXPECT_FALSE(ku_in_home(dst, carved));
  EXPECT_TRUE(ku_in_home(dst, heap));
  EXPECT_EQ(src->kuh_blocks->kub_used, 1u);
  EXPECT_HOME_OK(src);
  ku_home_unref(src);
  ku_home_unref(dst);  // must not pass the carved block to free()
}

namespace {
ku_home_t *grow_target;
void grow_other_home(void *) {
  for (int i = 0; i < 30; ++i) ku_alloc(grow_target, 8);
}
}  // namespace

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
  ku_home_t *src = ku_home_create();
  auto *child = static_cast<ku_home_t *>(ku_home_clone(src, 24));
  auto *grandchild = static_cast<ku_home_t *>(ku_home_clone(child, 24));
  ku_home_destructor(src, count_destructor);
  destructor_calls = 0;
  for (ku_home_t *dst : {child, grandchild}) {
    errno = 0;
    EXPECT_EQ(ku_home_move(dst, src), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(destructor_calls, 0);
  EXPECT_EQ(ku_home_move(src, grandchild), 0);  // upwards is fine
  ku_home_unref(src);
}

// ---- Preload and automatic homes ----

TEST(Preload, area_sizes) {
  struct Case {
    int n, size;
    uint16_t area;
  };
  for (Case c : {Case{4, 10, 64}, Case{100, 1000, 65535}, Case{3, INT_MAX, 65535}, Case{0, 8, 0},
                 Case{-1, 8, 65535}, Case{2, INT_MAX - 3, 65535}}) {
    ku_home_t h{};
    ku_home_preload(&h, c.n, c.size);
    ASSERT_NE(h.kuh_blocks, nullptr);
    EXPECT_EQ(h.kuh_blocks->kub_prsize, c.area) << c.n << " x " << c.size;
    void *first = h.kuh_blocks->kub_preload;
    ku_home_preload(&h, 1, 8);
    EXPECT_EQ(h.kuh_blocks->kub_preload, first);
    EXPECT_EQ(h.kuh_blocks->kub_prsize, c.area);
    ku_home_deinit(&h);
  }
  ku_home_preload(nullptr, 4, 4);
}

TEST(Auto, layout_in_the_callers_buffer) {
  alignas(8) static unsigned char buf[100000];
  EXPECT_EQ(ku_home_auto(buf, 199), nullptr);
  EXPECT_EQ(ku_home_auto(nullptr, 1000), nullptr);
  EXPECT_EQ(ku_home_auto(buf, -1), nullptr);
  ku_home_t *h = ku_home_auto(buf, 200);
  ASSERT_EQ(h, reinterpret_cast<ku_home_t *>(buf));
  EXPECT_EQ(h->kuh_blocks->kub_prsize, 0u);
  EXPECT_EQ(h->kuh_blocks->kub_n, 7u);
  h = ku_home_auto(buf, 1024);
  EXPECT_EQ(h->kuh_blocks->kub_prsize, 824u);
  EXPECT_EQ(h->kuh_blocks->kub_preload, buf + 200);
  h = ku_home_auto(buf, 100000);
  EXPECT_EQ(h->kuh_blocks->kub_prsize, 65535u);
  EXPECT_EQ(h->kuh_size, 100000);
  const ku_block_t &t = *h->kuh_blocks;
  EXPECT_TRUE(t.kub_hauto && t.kub_auto && t.kub_preauto && t.kub_auto_all);

  // A misaligned buffer: the gap to the next multiple of 8 goes in front of the record, which
  // is then aligned and usable; the preload area begins where the prefix ends.
  EXPECT_EQ(ku_home_auto(buf + 1, 206), nullptr);
  h = ku_home_auto(buf + 1, 208 + 16);
  ASSERT_EQ(h, reinterpret_cast<ku_home_t *>(buf + 8));
  EXPECT_EQ(h->kuh_blocks->kub_preload, buf + 208);
  EXPECT_EQ(h->kuh_blocks->kub_prsize, 17u);
  EXPECT_EQ(ku_alloc(h, 16), buf + 208);
  ku_home_deinit(h);
}

// ---- Locking ----

TEST(Lock, answers_without_mutexes) {
  ku_home_t *h = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_home_threadsafe(nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(ku_home_is_threadsafe(nullptr), 0);
  EXPECT_EQ(ku_home_is_threadsafe(h), 0);
  errno = 0;
  EXPECT_EQ(ku_home_lock(nullptr), EFAULT);
  EXPECT_EQ(ku_home_trylock(nullptr), EFAULT);
  EXPECT_EQ(ku_home_unlock(nullptr), EFAULT);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(ku_home_lock(h), -1);
  EXPECT_EQ(ku_home_mutex_lock(h), 0);
  EXPECT_EQ(ku_home_refcount(h), 2u);
  EXPECT_EQ(ku_home_mutex_unlock(h), 0);
  EXPECT_EQ(ku_home_refcount(h), 1u);
  ku_home_t none{};
  errno = 0;
  EXPECT_EQ(ku_home_mutex_lock(&none), -1);
  EXPECT_EQ(errno, EINVAL);
  ku_home_unref(h);
}

TEST(Lock, trylock_sees_another_threads_lock_while_a_third_allocates) {
  ku_home_t *h = ku_home_create();
  ASSERT_EQ(ku_home_threadsafe(h), 0);
  void *block = h->kuh_lock;
  EXPECT_EQ(ku_home_threadsafe(h), 0);
  EXPECT_EQ(h->kuh_lock, block);
  EXPECT_EQ(ku_home_is_threadsafe(h), 1);
  ASSERT_EQ(ku_home_lock(h), 0);
  std::thread([h] { EXPECT_EQ(ku_home_trylock(h), EBUSY); }).join();
  void *p = nullptr;
  std::thread([h, &p] { p = ku_alloc(h, 64); }).join();
  EXPECT_TRUE(ku_in_home(h, p));
  EXPECT_EQ(ku_home_unlock(h), 0);
  ku_home_unref(h);
}

namespace {
void free_in_dying_home(void *home) {
  void *p = ku_alloc(static_cast<ku_home_t *>(home), 8);
  ku_free(static_cast<ku_home_t *>(home), p);
}
}  // namespace

TEST(Lock, user_lock_keeps_the_home_alive_and_teardown_does_not_deadlock) {
  ku_home_t *h = ku_home_create();
  ASSERT_EQ(ku_home_threadsafe(h), 0);
  ku_home_destructor(h, free_in_dying_home);
  ASSERT_EQ(ku_home_mutex_lock(h), 0);
  EXPECT_EQ(ku_home_unref(h), 0);  // the owner lets go; the lock's reference remains
  EXPECT_EQ(ku_home_trylock(h), EBUSY);
  EXPECT_EQ(ku_home_mutex_unlock(h), 0);  // ends the home (leak checkers see the rest)

  ku_home_t mine{};
  ku_home_init(&mine);
  ku_home_threadsafe(&mine);
  ku_home_destructor(&mine, free_in_dying_home);
  ku_home_deinit(&mine);
  EXPECT_EQ(mine.kuh_lock, nullptr);
}

// ---- Statistics ----

TEST(Stats, partial_copies_and_sums) {
  ku_home_t *h = ku_home_create();
  ku_home_init_stats(h);
  unsigned char raw[200];
  memset(raw, 0x77, sizeof raw);
  auto *s = reinterpret_cast<ku_home_stats_t *>(raw);
  ku_home_get_stats(h, 0, s, 3);
  ku_home_get_stats(h, 0, s, -8);
  ku_home_get_stats(h, 0, nullptr, 200);
  EXPECT_TRUE(all_bytes(raw, sizeof raw, 0x77));
  ku_home_get_stats(h, 0, s, 4);
  EXPECT_EQ(s->kst_size, 4);
  EXPECT_TRUE(all_bytes(raw + 4, sizeof raw - 4, 0x77));
  ku_home_get_stats(h, 0, s, 200);
  EXPECT_EQ(s->kst_size, 120);
  EXPECT_TRUE(all_bytes(raw + 120, 80, 0));

  ku_home_stats_t total{}, add{};
  total.kst_slots = 31;
  add.kst_slots = 127;
  add.kst_alloc_rounded_max = 5;
  total.kst_alloc_rounded_max = 7;
  add.kst_alloc_preload = add.kst_free_preload = 3;
  ku_home_stat_add(&total, &add);
  EXPECT_EQ(total.kst_slots, 127u);
  EXPECT_EQ(total.kst_alloc_rounded_max, 12u);
  EXPECT_EQ(total.kst_alloc_preload + total.kst_free_preload, 0u);
  ku_home_unref(h);
}
