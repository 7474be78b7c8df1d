// SPDX-License-Identifier: MIT
// Where tables and preload areas come from (lib/ku_alloc_pool.cpp): what the library keeps for
// reuse after homes end is bounded, and the rest is given back.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>

#include "ku_test_util.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

namespace {

using namespace ku_test;

long resident_kib() {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (!f) return -1;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
  fclose(f);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Pool, a_process_gets_its_peak_back_when_the_homes_end) {
  // 4,000 homes with areas of 64 KiB, and 200 with tables of 8,191 slots (128 KiB), all in use
  // at once and then ended: the library keeps at most 2 MiB for reuse.
  if (!glibc_malloc()) GTEST_SKIP() << "measured with glibc's malloc_trim";
  const long before = resident_kib();
  std::vector<ku_home_t *> homes;
  for (int i = 0; i < 4000; i++) {
    ku_home_t *h = ku_home_create();
    ku_home_preload(h, 1, 65535);
    void *p = ku_alloc(h, 60000);
    ASSERT_EQ(h->kuh_blocks->kub_prused, 60000u);  // carved from the area
    memset(p, 1, 60000);
    homes.push_back(h);
  }
  for (int i = 0; i < 200; i++) {
    ku_home_t *h = ku_home_create();
    for (int j = 0; j < 1400; j++) ASSERT_NE(ku_alloc(h, 8), nullptr);
    ASSERT_EQ(h->kuh_blocks->kub_n, 8191u);
    homes.push_back(h);
  }
  EXPECT_GT(resident_kib() - before, 200 * 1024);
  for (ku_home_t *h : homes) ku_home_unref(h);
  malloc_trim(0);
  EXPECT_LT(resident_kib() - before, 8 * 1024);
}

// What homes hold of the C library's heap, in all arenas.
size_t heap_in_use() { return mallinfo2().uordblks; }

TEST(Pool, spares_that_threads_keep_for_themselves_stay_within_the_bound) {
  // 300 threads each end a home with a table of 511 slots and an area of 8 KiB, and keep both
  // for their next home while all wait: 4.8 MiB if each kept its own, at most 2 MiB kept.
  if (!glibc_malloc()) GTEST_SKIP() << "measured with glibc's mallinfo2";
  constexpr int kThreads = 300;
  static pthread_barrier_t ended, measured;
  pthread_barrier_init(&ended, nullptr, kThreads + 1);
  pthread_barrier_init(&measured, nullptr, kThreads + 1);
  auto worker = [](void *) -> void * {
    ku_home_t *h = ku_home_create();
    ku_home_preload(h, 1, 8192);
    for (int i = 0; i < 100; i++) ku_alloc(h, 16);  // past 85 entries: 511 slots
    ku_home_unref(h);
    pthread_barrier_wait(&ended);
    pthread_barrier_wait(&measured);
    return nullptr;
  };
  const size_t before = heap_in_use();
  std::vector<pthread_t> threads(kThreads);
  for (pthread_t &t : threads) ASSERT_EQ(pthread_create(&t, nullptr, worker, nullptr), 0);
  pthread_barrier_wait(&ended);
  // 2 MiB of spares at most, and the C library's own records of 300 threads (about 0.6 MiB).
  EXPECT_LT(heap_in_use() - before, size_t{7} << 19);
  pthread_barrier_wait(&measured);
  for (pthread_t t : threads) pthread_join(t, nullptr);
}

}  // namespace
