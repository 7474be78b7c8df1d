// SPDX-License-Identifier: MIT
// Block tables: slot placement, lookups through probe chains, growth and the lookup counters.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ku_test_util.h"

namespace {

using namespace ku_test;

void reset_counters() {
  count_ku_block_find = size_ku_block_find = used_ku_block_find = 0;
  max_size_ku_block_find = max_used_ku_block_find = count_ku_block_find_loop = 0;
  ku_block_find_collision = ku_block_find_collision_used = ku_block_find_collision_size = 0;
}

// ---- Slots and lookups ----

TEST(Table, start_slot_is_address_mod_n_for_any_address) {
  ku_home_t *h = ku_home_create();
  // A grown table of 127 and a hand-made one of 2047 alongside the home's own 31 slots.
  std::vector<void *> blocks;
  for (int i = 0; i < 22; ++i) blocks.push_back(ku_alloc(h, 8));
  ASSERT_EQ(table(h)->kub_n, 127u);
  for (void *p : blocks) ku_free(h, p);
  ku_home_t *small = ku_home_create();
  ku_home_t big{};
  auto *t = static_cast<ku_block_t *>(calloc(2047 + 4, sizeof(ku_alloc_t)));
  t->kub_n = 2047;
  big.kuh_blocks = t;
  for (ku_home_t *home : {small, h, &big}) {
    for (uintptr_t p : {uintptr_t{0x10}, uintptr_t{31 * 127 * 2047}, ~uintptr_t{0},
                        ~uintptr_t{0} - 7, uintptr_t{1} << 63, uintptr_t{0x7ffff7a3c010}}) {
      PlantedEntry planted(table(home), p);
      const uint64_t loops = count_ku_block_find_loop;
      EXPECT_TRUE(ku_in_home(home, reinterpret_cast<void *>(p)));
      EXPECT_EQ(count_ku_block_find_loop, loops) << "hit on the start slot takes no step";
    }
  }
  free(t);
  ku_home_unref(small);
  ku_home_unref(h);
}

// Carved blocks 8n bytes apart share one start slot in a table of n, so their chain is known
// exactly: steps of 29 in a table of 31, of 1 in an automatic home's table of 7.
TEST(Table, probe_chains_and_cleared_slots) {
  alignas(8) static unsigned char buf[4096];
  ku_home_t *a = ku_home_auto(buf, sizeof buf);
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 100, 248);
  for (ku_home_t *home : {a, h}) {
    const ku_block_t *t = table(home);
    const uint64_t n = t->kub_n, step = n == 7 ? 1 : 29;
    void *p[3];
    for (void *&q : p) q = ku_alloc(home, static_cast<int>(8 * n));
    const uint64_t start = reinterpret_cast<uintptr_t>(p[0]) % n;
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(slot_of(t, p[i]), (start + i * step) % n);
    ku_free(home, p[1]);
    EXPECT_TRUE(all_bytes(&t->kub_nodes[(start + step) % n], sizeof(ku_alloc_t), 0));
    reset_counters();
    EXPECT_TRUE(ku_in_home(home, p[2]));
    EXPECT_EQ(count_ku_block_find_loop, 2u);  // p[0]'s slot, then p[1]'s cleared one
    ku_free(home, p[0]);
    EXPECT_TRUE(ku_in_home(home, p[2]));
    EXPECT_EQ(ku_home_check_alloc(home, p[2]), 1);
    EXPECT_HOME_OK(home);
    // Freeing it needs the same walk past both cleared slots.
    ku_free(home, opaque(p[2]));  // hidden: p[2] is looked up once more below
    EXPECT_EQ(t->kub_used, 0u);
    EXPECT_FALSE(ku_in_home(home, p[2]));
  }
  ku_home_deinit(a);
  ku_home_unref(h);
}

TEST(Table, address_that_is_a_multiple_of_n_starts_at_slot_0_and_hits_without_probing) {
  ku_home_t *h = ku_home_create();
  ku_home_preload(h, 2, 248);
  auto pre = reinterpret_cast<uintptr_t>(table(h)->kub_preload);
  int off = 0;
  while ((pre + off) % 31 != 0) off += 8;  // 8 and 31 are coprime: found below 248
  if (off > 0) {
    ASSERT_NE(ku_alloc(h, off), nullptr);
  }
  void *x = ku_alloc(h, 8);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(x) % 31, 0u);
  EXPECT_EQ(table(h)->kub_nodes[0].kua_data, x);
  reset_counters();
  EXPECT_EQ(ku_in_home(h, x), 1);
  EXPECT_EQ(count_ku_block_find, 1u);
  EXPECT_EQ(count_ku_block_find_loop, 0u);
  EXPECT_EQ(ku_block_find_collision, 0u);
  ku_home_unref(h);
}

TEST(Table, membership_counts_only_addresses_handed_out) {
  ku_home_t *h = ku_home_create();
  char *p = static_cast<char *>(ku_alloc(h, 64));
  int local;
  EXPECT_EQ(ku_in_home(h, p), 1);
  EXPECT_EQ(ku_in_home(h, p + 8), 0);
  EXPECT_EQ(ku_in_home(h, &local), 0);
  EXPECT_EQ(ku_home_check_alloc(h, p + 8), 0);
  EXPECT_EQ(ku_in_home(h, nullptr), 0);
  EXPECT_EQ(ku_in_home(nullptr, p), 0);
  EXPECT_EQ(ku_home_check_alloc(nullptr, p), 0);
  ku_home_t empty{};
  EXPECT_EQ(ku_in_home(&empty, p), 0);
  ku_home_unref(h);
}
// ---- Lookup counters ----

TEST(Counters, hit_adds_table_figures_and_no_probe_steps_on_start_slot) {
  ku_home_t *h = ku_home_create();
  void *p = ku_alloc(h, 16);
  ASSERT_NE(ku_alloc(h, 16), nullptr);
  reset_counters();
  // The first entry of an empty table sits on its start slot.
  EXPECT_EQ(ku_in_home(h, p), 1);
  EXPECT_EQ(count_ku_block_find, 1u);
  EXPECT_EQ(size_ku_block_find, 31u);
  EXPECT_EQ(used_ku_block_find, 2u);
  EXPECT_EQ(max_size_ku_block_find, 31u);
  EXPECT_EQ(max_used_ku_block_find, 2u);
  EXPECT_EQ(count_ku_block_find_loop, 0u);
  EXPECT_EQ(ku_block_find_collision, 0u);
  EXPECT_EQ(ku_block_find_collision_used, 0u);
  EXPECT_EQ(ku_block_find_collision_size, 0u);
  ku_home_unref(h);
}

TEST(Counters, miss_walks_all_slots_and_records_the_longest_walk) {
  ku_home_t *h = ku_home_create();
  for (int i = 0; i < 3; i++) ku_alloc(h, 16);
  int local;
  reset_counters();
  EXPECT_EQ(ku_in_home(h, &local), 0);
  EXPECT_EQ(count_ku_block_find_loop, 31u);
  EXPECT_EQ(ku_block_find_collision, 31u);
  EXPECT_EQ(ku_block_find_collision_used, 3u);
  EXPECT_EQ(ku_block_find_collision_size, 31u);

  // An equally long walk does not raise the record, so its figures stay.
  ku_alloc(h, 16);
  EXPECT_EQ(ku_in_home(h, &local), 0);
  EXPECT_EQ(count_ku_block_find_loop, 62u);
  EXPECT_EQ(ku_block_find_collision_used, 3u);
  EXPECT_EQ(count_ku_block_find, 2u);
  EXPECT_EQ(size_ku_block_find, 62u);
  EXPECT_EQ(used_ku_block_find, 7u);
  EXPECT_EQ(max_used_ku_block_find, 4u);

  // A miss in a larger table raises it; a later small lookup keeps the maxima.
  for (int i = 0; i < 20; i++) ku_alloc(h, 16);
  ASSERT_EQ(table(h)->kub_n, 127u);
  EXPECT_EQ(ku_in_home(h, &local), 0);
  EXPECT_EQ(ku_block_find_collision, 127u);
  EXPECT_EQ(ku_block_find_collision_used, 24u);
  EXPECT_EQ(ku_block_find_collision_size, 127u);
  ku_home_t *small = ku_home_create();
  ku_alloc(small, 8);
  EXPECT_EQ(ku_in_home(small, &local), 0);
  EXPECT_EQ(max_size_ku_block_find, 127u);
  EXPECT_EQ(max_used_ku_block_find, 24u);
  EXPECT_EQ(ku_block_find_collision_size, 127u);
  ku_home_unref(small);
  ku_home_unref(h);
}

// ---- Growth ----

// Fills an empty home with 21 entries of every sort and checks that the 22nd replaces the
// table by one of 127 slots that carries every entry and the whole header over, each entry
// at the first free slot of its chain as in the old table.
void grow_and_check(ku_home_t *h) {
  destructor_calls = 0;
  ku_home_preload(h, 2, 8);
  ku_home_init_stats(h);
  ASSERT_EQ(ku_home_destructor(h, count_destructor), 0);
  uint64_t ref = ku_home_refcount(h);
  ku_home_ref(h);
  struct Held {
    void *p;
    int size;
    bool home;
  };
  std::vector<Held> held;
  for (int i = 0; i < 2; i++) held.push_back({ku_alloc(h, 8), 8, false});  // carved
  held.push_back({ku_home_clone(h, 40), 40, true});
  for (int i = 0; i < 18; i++) held.push_back({ku_alloc(h, 9 + i), 9 + i, false});
  for (size_t i = 0; i < held.size(); i++)
    if (!held[i].home) memset(held[i].p, static_cast<int>(i), static_cast<size_t>(held[i].size));

  ku_block_t *old = table(h);
  ASSERT_EQ(old->kub_n, 31u);
  ASSERT_EQ(old->kub_used, 21u);
  expect_tight_chains(old);
  const Header before = header(old);
  ASSERT_NE(before.preload, nullptr);
  ASSERT_EQ(before.prused, 16);

  void *last = ku_alloc(h, 100);
  ASSERT_NE(last, nullptr);
  ku_block_t *t = table(h);
  EXPECT_NE(t, old);
  EXPECT_EQ(t->kub_n, 127u);
  EXPECT_EQ(t->kub_used, 22u);
  EXPECT_EQ(header(t), before);
  EXPECT_EQ(t->kub_auto, 0u);
  EXPECT_EQ(t->kub_auto_all, 0u);
  expect_tight_chains(t);
  for (size_t i = 0; i < held.size(); i++) {
    ASSERT_NE(slot_of(t, held[i].p), UINT64_MAX) << "entry " << i;
    EXPECT_EQ(entry_size(t, held[i].p), static_cast<uint32_t>(held[i].size));
    EXPECT_EQ(entry_is_home(t, held[i].p), held[i].home);
    EXPECT_EQ(ku_in_home(h, held[i].p), 1);
    if (held[i].home)
      EXPECT_EQ(ku_home_parent(static_cast<ku_home_t *>(held[i].p)), h);
    else
      EXPECT_TRUE(
          all_bytes(held[i].p, static_cast<size_t>(held[i].size), static_cast<unsigned char>(i)));
  }
  EXPECT_HOME_OK(h);
  EXPECT_EQ(destructor_calls, 0);
  ku_home_unref(h);
  EXPECT_EQ(ku_home_refcount(h), ref);
}

TEST(Growth, table_grows_before_22nd_entry_in_a_heap_home) {
  ku_home_t *h = ku_home_create();
  ASSERT_EQ(table(h)->kub_parent, nullptr);
  ASSERT_EQ(table(h)->kub_hauto, 0u);
  grow_and_check(h);
  ku_home_unref(h);
  EXPECT_EQ(destructor_calls, 1);
}

TEST(Growth, table_grows_before_22nd_entry_in_a_subhome) {
  ku_home_t *root = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(root, 24));
  ASSERT_EQ(table(sub)->kub_parent, root);
  ASSERT_EQ(table(sub)->kub_hauto, 0u);
  grow_and_check(sub);
  ku_home_unref(root);
  EXPECT_EQ(destructor_calls, 1);
}

TEST(Growth, table_grows_before_22nd_entry_in_a_callers_home) {
  ku_home_t home{};
  ASSERT_EQ(ku_home_init(&home), 0);
  ASSERT_EQ(table(&home)->kub_hauto, 1u);
  grow_and_check(&home);
  ku_home_deinit(&home);
  EXPECT_EQ(destructor_calls, 1);
  EXPECT_EQ(home.kuh_blocks, nullptr);
}

TEST(Growth, sizes_run_31_127_511_2047) {
  ku_home_t *h = ku_home_create();
  std::vector<uint64_t> grew_at;
  uint64_t n = table(h)->kub_n;
  for (int i = 1; i <= 400; i++) {
    ASSERT_NE(ku_alloc(h, 8), nullptr);
    ku_block_t *t = table(h);
    ASSERT_LT(t->kub_used, t->kub_n);
    if (t->kub_n != n) {
      EXPECT_EQ(t->kub_n, 4 * n + 3);
      grew_at.push_back(static_cast<uint64_t>(i));
      n = t->kub_n;
    }
  }
  EXPECT_EQ(grew_at, (std::vector<uint64_t>{22, 86, 342}));
  EXPECT_EQ(n, 2047u);
  EXPECT_HOME_OK(h);
  ku_home_unref(h);
}

TEST(Growth, automatic_home_leaves_its_buffer_table_at_6th_entry) {
  alignas(8) unsigned char buf[1024];
  ku_home_t *h = ku_home_auto(buf, sizeof buf);
  ASSERT_EQ(static_cast<void *>(table(h)), static_cast<void *>(buf + 24));
  void *p[6];
  for (int i = 0; i < 5; i++) p[i] = ku_alloc(h, 8);
  EXPECT_EQ(table(h)->kub_n, 7u);
  EXPECT_EQ(table(h)->kub_auto_all, 1u);
  Header want = header(table(h));
  want.prused += 8;
  p[5] = ku_alloc(h, 8);  // still carved, but into a heap table
  ku_block_t *t = table(h);
  EXPECT_NE(static_cast<void *>(t), static_cast<void *>(buf + 24));
  EXPECT_EQ(t->kub_n, 31u);
  EXPECT_EQ(t->kub_auto, 0u);
  EXPECT_EQ(t->kub_auto_all, 0u);
  EXPECT_EQ(header(t), want);  // the preload area stays the buffer's
  for (void *q : p) EXPECT_EQ(ku_in_home(h, q), 1);
  ku_home_deinit(h);  // frees the heap table only
  EXPECT_EQ(h->kuh_blocks, nullptr);
}

// ---- Consistency check ----

TEST(Check, aborts_on_a_miscounted_table_also_in_a_subhome) {
  ku_home_t *h = ku_home_create();
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 24));
  ku_alloc(sub, 8);
  table(sub)->kub_used++;
#ifndef NDEBUG
  EXPECT_DEATH(ku_home_check(sub), "block table: kub_used disagrees with the occupied slots");
  EXPECT_DEATH(ku_home_check(h), "block table: kub_used disagrees with the occupied slots");
#else
  ku_home_check(h);
#endif
  table(sub)->kub_used--;
  EXPECT_HOME_OK(h);
  ku_home_unref(h);
}

}  // namespace
