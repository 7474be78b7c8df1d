// SPDX-License-Identifier: MIT
// Home statistics: what every allocation event counts, copying records out, adding them up;
// the lookup counters of threads on a kernel without membarrier().
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstdarg>
#include <cstring>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/syscall.h>

#include "ku_test_util.h"

// This program's kernel refuses membarrier(), as a sandbox may: the library's owner of the
// lookup counters then fences itself.  Every other system call goes through.
extern "C" long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (long &x : a) x = va_arg(ap, long);
  va_end(ap);
  if (number == SYS_membarrier) {
    errno = ENOSYS;
    return -1;
  }
  using Fn = long (*)(long, long, long, long, long, long, long);
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "syscall"));
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

namespace {

using namespace ku_test;

ku_home_stats_t get(ku_home_t *h) {
  ku_home_stats_t s;
  ku_home_get_stats(h, 0, &s, sizeof s);
  return s;
}

// The six counter groups as one comparable value: {count, bytes, rounded} of allocs, frees, live.
struct Heap {
  uint64_t ac, ab, ar, fc, fb, fr, lc, lb, lr;
  bool operator==(const Heap &) const = default;
};
Heap heap(const ku_home_stats_t &s) {
  return {s.kst_alloc_count, s.kst_alloc_bytes, s.kst_alloc_rounded,
          s.kst_free_count,  s.kst_free_bytes,  s.kst_free_rounded,
          s.kst_live_count,  s.kst_live_bytes,  s.kst_live_rounded};
}
std::ostream &operator<<(std::ostream &o, const Heap &h) {
  return o << "alloc " << h.ac << "/" << h.ab << "/" << h.ar << " free " << h.fc << "/" << h.fb
           << "/" << h.fr << " live " << h.lc << "/" << h.lb << "/" << h.lr;
}

// A home with statistics on and a preload area of the given size.
ku_home_t *home_with_stats(int preload_bytes = 0) {
  ku_home_t *h = ku_home_create();
  if (preload_bytes > 0) ku_home_preload(h, preload_bytes / 8, 8);
  ku_home_init_stats(h);
  return h;
}

TEST(Stats, start_at_zero_with_the_current_table_size_and_restart) {
  ku_home_t *h = home_with_stats();
  ku_home_stats_t s = get(h);
  EXPECT_EQ(s.kst_size, 120);
  EXPECT_EQ(s.kst_slots, 31u);
  ku_home_stats_t zero{};
  zero.kst_size = 120;
  zero.kst_slots = 31;
  EXPECT_EQ(memcmp(&s, &zero, sizeof s), 0);

  for (int i = 0; i < 30; i++) ku_free(h, ku_alloc(h, 8));
  ku_home_stats_t *own = table(h)->kub_stats;
  for (int i = 0; i < 22; i++) ku_alloc(h, 8);
  ku_home_init_stats(h);  // restarts in the same record
  EXPECT_EQ(table(h)->kub_stats, own);
  zero.kst_slots = 127;
  s = get(h);
  EXPECT_EQ(memcmp(&s, &zero, sizeof s), 0);
  ku_home_unref(h);

  ku_home_t blank{};
  ku_home_init_stats(&blank);  // makes the table first
  ASSERT_NE(blank.kuh_blocks, nullptr);
  EXPECT_EQ(get(&blank).kst_size, 120);
  ku_home_deinit(&blank);
  ku_home_init_stats(nullptr);
}

TEST(Stats, heap_allocation_and_its_free) {
  ku_home_t *h = home_with_stats();
  void *p = ku_alloc(h, 10);
  ku_home_stats_t s = get(h);
  EXPECT_EQ(heap(s), (Heap{1, 10, 16, 0, 0, 0, 1, 10, 16}));
  EXPECT_EQ(s.kst_alloc_rounded_max, 16u);
  ku_free(h, p);
  s = get(h);
  EXPECT_EQ(heap(s), (Heap{1, 10, 16, 1, 10, 16, 0, 0, 0}));
  EXPECT_EQ(s.kst_alloc_rounded_max, 16u);
  ku_zalloc(h, 16);
  ku_salloc(h, 1);  // counted at the size it really takes: 4
  s = get(h);
  EXPECT_EQ(heap(s), (Heap{3, 30, 40, 1, 10, 16, 2, 20, 24}));
  EXPECT_EQ(s.kst_alloc_rounded_max, s.kst_alloc_rounded);
  EXPECT_EQ(s.kst_alloc_preload + s.kst_free_preload + s.kst_subhomes + s.kst_resizes, 0u);
  ku_home_unref(h);
}

TEST(Stats, carved_allocation_and_free_move_only_preload_counters) {
  ku_home_t *h = home_with_stats(64);
  void *a = ku_alloc(h, 10);
  ku_zalloc(h, 10);
  ku_salloc(h, 10);
  ku_free(h, a);
  ku_home_stats_t s = get(h);
  EXPECT_EQ(s.kst_alloc_preload, 3u);
  EXPECT_EQ(s.kst_free_preload, 1u);
  EXPECT_EQ(heap(s), (Heap{}));
  EXPECT_EQ(s.kst_prsize, 64u);
  EXPECT_EQ(s.kst_prused, 48u);
  ku_home_unref(h);
}

TEST(Stats, subhome_counts_as_heap_allocation_of_its_record) {
  ku_home_t *h = home_with_stats(64);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(h, 40));
  ku_alloc(sub, 1000);  // the sub-home's own allocations are not the parent's
  ku_home_stats_t s = get(h);
  EXPECT_EQ(s.kst_subhomes, 1u);
  EXPECT_EQ(s.kst_alloc_preload, 0u);
  EXPECT_EQ(heap(s), (Heap{1, 40, 40, 0, 0, 0, 1, 40, 40}));
  ku_home_unref(sub);
  s = get(h);
  EXPECT_EQ(heap(s), (Heap{1, 40, 40, 1, 40, 40, 0, 0, 0}));
  ku_home_unref(h);
}

TEST(Stats, realloc_of_heap_block_is_a_free_then_an_allocation) {
  ku_home_t *h = home_with_stats();
  void *p = ku_alloc(h, 10);
  p = ku_realloc(h, p, 30);
  EXPECT_EQ(heap(get(h)), (Heap{2, 40, 48, 1, 10, 16, 1, 30, 32}));
  ku_realloc(h, p, 0);
  EXPECT_EQ(heap(get(h)), (Heap{2, 40, 48, 2, 40, 48, 0, 0, 0}));
  ku_home_unref(h);
}

TEST(Stats, realloc_of_carved_blocks) {
  ku_home_t *h = home_with_stats(64);
  void *first = ku_alloc(h, 16);
  void *last = ku_alloc(h, 8);
  ku_realloc(h, last, 16);  // last carved, grows in place
  ku_realloc(h, first, 8);  // earlier carved, shrinks in place
  ku_home_stats_t s = get(h);
  EXPECT_EQ(s.kst_alloc_preload, 4u);
  EXPECT_EQ(s.kst_free_preload, 2u);
  EXPECT_EQ(heap(s), (Heap{}));

  ku_realloc(h, first, 20);  // earlier carved, moved: no preload free
  s = get(h);
  EXPECT_EQ(s.kst_free_preload, 2u);
  EXPECT_EQ(heap(s), (Heap{1, 20, 24, 0, 0, 0, 1, 20, 24}));

  ku_realloc(h, last, 100);  // last carved, moved: its bytes go back
  s = get(h);
  EXPECT_EQ(s.kst_free_preload, 3u);
  EXPECT_EQ(s.kst_alloc_preload, 4u);
  EXPECT_EQ(heap(s), (Heap{2, 120, 128, 0, 0, 0, 2, 120, 128}));
  EXPECT_EQ(s.kst_prused, 16u);
  ku_home_unref(h);
}

TEST(Stats, failed_calls_moves_and_detaching_count_nothing) {
  ku_home_t *src = home_with_stats();
  ku_home_t *dst = home_with_stats();
  void *p = ku_alloc(src, 100);
  auto *sub = static_cast<ku_home_t *>(ku_home_clone(src, 24));
  ku_home_stats_t before_src = get(src), before_dst = get(dst);

  EXPECT_EQ(ku_alloc(src, 0), nullptr);
  EXPECT_EQ(ku_zalloc(src, opaque(-1)), nullptr);
  EXPECT_EQ(ku_realloc(src, sub, 48), nullptr);
  EXPECT_EQ(ku_realloc(src, &before_src, 48), nullptr);
  EXPECT_EQ(ku_realloc(src, p, opaque(-1)), nullptr);
  ku_home_stats_t s = get(src);
  EXPECT_EQ(memcmp(&s, &before_src, sizeof s), 0);

  ASSERT_EQ(ku_home_move(dst, src), 0);
  s = get(src);
  EXPECT_EQ(memcmp(&s, &before_src, sizeof s), 0);
  s = get(dst);
  EXPECT_EQ(memcmp(&s, &before_dst, sizeof s), 0);

  void *q = ku_alloc(dst, 8);
  before_dst = get(dst);
  ASSERT_EQ(ku_home_move(nullptr, dst), 0);
  s = get(dst);
  EXPECT_EQ(memcmp(&s, &before_dst, sizeof s), 0);
  ku_free(nullptr, q);  // detached blocks are the caller's
  ku_free(nullptr, p);
  ku_home_unref(sub);
  ku_home_unref(src);
  ku_home_unref(dst);
}

TEST(Stats, resizes_count_new_table_sizes_seen_by_counted_allocations) {
  ku_home_t *h = home_with_stats();
  for (int i = 0; i < 21; i++) ku_alloc(h, 8);
  EXPECT_EQ(get(h).kst_resizes, 0u);
  ku_alloc(h, 8);  // the 22nd replaces the table and sees 127 itself
  ku_home_stats_t s = get(h);
  EXPECT_EQ(s.kst_resizes, 1u);
  EXPECT_EQ(s.kst_slots, 127u);

  // Two replacements by moves between counted allocations count once.
  ku_home_t *dst = home_with_stats();
  ku_home_t *src = ku_home_create();
  for (int i = 0; i < 21; i++) ku_alloc(src, 8);
  ASSERT_EQ(ku_home_move(dst, src), 0);
  ASSERT_EQ(table(dst)->kub_n, 127u);
  for (int i = 0; i < 70; i++) ku_alloc(src, 8);
  ASSERT_EQ(ku_home_move(dst, src), 0);
  ASSERT_EQ(table(dst)->kub_n, 511u);
  EXPECT_EQ(get(dst).kst_resizes, 0u);
  ku_alloc(dst, 8);
  s = get(dst);
  EXPECT_EQ(s.kst_resizes, 1u);
  EXPECT_EQ(s.kst_slots, 511u);
  ku_home_unref(src);
  ku_home_unref(dst);
  ku_home_unref(h);
}

// ---- Copying out ----

TEST(GetStats, copies_as_much_as_the_callers_record_holds) {
  ku_home_t *h = home_with_stats(64);
  ku_alloc(h, 10);
  ku_alloc(h, 100);
  unsigned char buf[256];

  memset(buf, 0x5A, sizeof buf);
  ku_home_get_stats(h, 0, reinterpret_cast<ku_home_stats_t *>(buf), 3);
  for (unsigned char b : buf) ASSERT_EQ(b, 0x5A);

  ku_home_get_stats(h, 0, reinterpret_cast<ku_home_stats_t *>(buf), 4);
  int32_t size;
  memcpy(&size, buf, 4);
  EXPECT_EQ(size, 4);
  for (size_t i = 4; i < sizeof buf; i++) ASSERT_EQ(buf[i], 0x5A) << i;

  ku_home_get_stats(h, 0, reinterpret_cast<ku_home_stats_t *>(buf), 200);
  ku_home_stats_t s;
  memcpy(&s, buf, sizeof s);
  EXPECT_EQ(s.kst_size, 120);
  EXPECT_EQ(s.kst_prsize, 64u);
  EXPECT_EQ(s.kst_prused, 16u);
  EXPECT_EQ(s.kst_alloc_count, 1u);
  for (size_t i = 120; i < 200; i++) ASSERT_EQ(buf[i], 0) << i;
  for (size_t i = 200; i < sizeof buf; i++) ASSERT_EQ(buf[i], 0x5A) << i;

  // A record shorter than the home's gets the leading fields.
  memset(buf, 0x5A, sizeof buf);
  ku_home_get_stats(h, 0, reinterpret_cast<ku_home_stats_t *>(buf), 40);
  memcpy(&s, buf, 40);
  EXPECT_EQ(s.kst_size, 40);
  EXPECT_EQ(s.kst_alloc_count, 1u);
  EXPECT_EQ(s.kst_alloc_bytes, 100u);
  EXPECT_EQ(buf[40], 0x5A);
  ku_home_get_stats(h, 0, nullptr, 120);
  memset(buf, 0x5A, sizeof buf);
  ku_home_get_stats(h, 0, reinterpret_cast<ku_home_stats_t *>(buf), -1);  // refused
  EXPECT_EQ(buf[0], 0x5A);
  ku_home_unref(h);
}

TEST(GetStats, home_without_statistics_yields_a_zero_record) {
  ku_home_t *plain = ku_home_create();
  ku_home_preload(plain, 1, 8);
  ku_home_t blank{};
  for (ku_home_t *h : {plain, &blank, static_cast<ku_home_t *>(nullptr)}) {
    unsigned char buf[200];
    memset(buf, 0x5A, sizeof buf);
    ku_home_get_stats(h, 1, reinterpret_cast<ku_home_stats_t *>(buf), 200);
    for (unsigned char b : buf) ASSERT_EQ(b, 0);
  }
  ku_home_unref(plain);
}

TEST(StatAdd, adds_counters_keeps_the_larger_table_and_leaves_the_rest) {
  ku_home_stats_t total{}, add{};
  total.kst_size = 120;
  total.kst_slots = 31;
  total.kst_prsize = 64;
  total.kst_alloc_preload = 5;
  total.kst_subhomes = 1;
  total.kst_alloc_rounded_max = 10;
  total.kst_live_count = 2;
  add.kst_size = 40;
  add.kst_slots = 127;
  add.kst_prsize = 8;
  add.kst_prused = 8;
  add.kst_alloc_preload = 7;
  add.kst_free_preload = 7;
  add.kst_subhomes = 2;
  add.kst_resizes = 3;
  add.kst_alloc_count = 4;
  add.kst_alloc_bytes = 5;
  add.kst_alloc_rounded = 6;
  add.kst_alloc_rounded_max = 6;
  add.kst_free_count = 1;
  add.kst_free_bytes = 2;
  add.kst_free_rounded = 3;
  add.kst_live_count = 3;
  add.kst_live_bytes = 3;
  add.kst_live_rounded = 3;
  ku_home_stat_add(&total, &add);
  EXPECT_EQ(total.kst_size, 120);
  EXPECT_EQ(total.kst_slots, 127u);
  EXPECT_EQ(total.kst_prsize, 64u);
  EXPECT_EQ(total.kst_prused, 0u);
  EXPECT_EQ(total.kst_alloc_preload, 5u);
  EXPECT_EQ(total.kst_free_preload, 0u);
  EXPECT_EQ(total.kst_subhomes, 3u);
  EXPECT_EQ(total.kst_resizes, 3u);
  EXPECT_EQ(total.kst_alloc_rounded_max, 16u);  // added, not compared
  EXPECT_EQ(heap(total), (Heap{4, 5, 6, 1, 2, 3, 5, 3, 3}));
  add.kst_slots = 7;
  ku_home_stat_add(&total, &add);
  EXPECT_EQ(total.kst_slots, 127u);
}

// ---- Lookup counters ----

TEST(LookupCounters, threads_without_membarrier_lose_no_lookup) {
  // Each thread looks the first block of its own home up (at its start slot) while the main
  // thread keeps looking up in its own: it owned the counters, and is stopped by its own fence.
  constexpr int kThreads = 3, kLookups = 30000;
  ku_home_t *own = ku_home_create();
  void *mine = ku_alloc(own, 16);
  ku_in_home(own, mine);
  count_ku_block_find = size_ku_block_find = 0;
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++)
    threads.emplace_back([&done] {
      ku_home_t *h = ku_home_create();
      void *p = ku_alloc(h, 16);
      for (int j = 0; j < kLookups; j++) ku_in_home(h, p);
      ku_home_unref(h);
      done++;
    });
  uint64_t main_lookups = 0;
  for (; done < kThreads; main_lookups++) ku_in_home(own, mine);
  for (std::thread &t : threads) t.join();
  ku_in_home(own, mine);  // the main thread's own tally comes in with its next lookup
  const uint64_t all = kThreads * kLookups + main_lookups + 1;
  EXPECT_EQ(count_ku_block_find, all);
  EXPECT_EQ(size_ku_block_find, 31 * all);
  ku_in_home(own, mine);
  EXPECT_EQ(count_ku_block_find, all + 1);  // one writer again
  ku_home_unref(own);
}

}  // namespace
