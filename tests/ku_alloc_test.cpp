// SPDX-License-Identifier: MIT
// Allocation calls (lib/ku_alloc.cpp): alloc, zalloc, salloc, realloc, free and the array
// calls, with heap and carved blocks, their limits and refusals.
#include <gtest/gtest.h>

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include "ku_test_util.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace ku_test;

// ---- Allocation ----

TEST(Alloc, size_zero_and_negative_sizes) {
  ku_home_t *h = ku_home_create();
  errno = 0;
  EXPECT_EQ(ku_alloc(h, 0), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(h->kuh_blocks->kub_used, 0u);
  // ku_realloc without a block; the other calls: Allocation.sizes_beyond_31_bits_*.
  for (ku_home_t *home : {h, static_cast<ku_home_t *>(nullptr)}) {
    errno = 0;
    EXPECT_EQ(ku_realloc(home, nullptr, opaque(-5)), nullptr);
    EXPECT_EQ(errno, ENOMEM);
  }
  auto *s = static_cast<int32_t *>(ku_salloc(h, 0));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(*s, 4);
  EXPECT_EQ(entry_size(h->kuh_blocks, s), 4u);
  auto *plain = static_cast<int32_t *>(ku_salloc(nullptr, 12));
  EXPECT_EQ(plain[0], 12);
  EXPECT_EQ(plain[1], 0);
  free(opaque(plain));  // hidden from the compiler, which takes ku_free for its deallocator
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

  ku_free(h, opaque(a));  // hidden: a carved block stays readable
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
    ku_free(h, opaque(p));  // p stays readable: the bytes are still the preload area's
    expose(p, static_cast<size_t>(guard - p));
    EXPECT_TRUE(all_bytes(p, static_cast<size_t>(size), 0xAA)) << size;
    EXPECT_TRUE(all_bytes(p + size, static_cast<size_t>(guard - p - size), 0x22)) << size;
    EXPECT_TRUE(all_bytes(guard, 8, 0x33)) << size;
  }
  ku_home_unref(h);
}

// ---- Big blocks ----

long minor_faults() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_minflt;
}

TEST(Alloc, big_block_kept_in_the_heap_is_filled) {
  // Kept in the heap, not mapped, and not trimmed: the next malloc of its size gets it back.
  if (checker_allocator() || mallopt(M_MMAP_THRESHOLD, 32 << 20) != 1 ||
      mallopt(M_TRIM_THRESHOLD, 256 << 20) != 1)
    GTEST_SKIP() << "the program's malloc is not the C library's";
  const size_t size = 4 << 20;
  ku_home_t *h = ku_home_create();
  auto *p = static_cast<unsigned char *>(ku_alloc(h, static_cast<int>(size)));
  void *after = malloc(64);  // keeps p off the top of the heap
  memset(p, 0x11, size);
  ku_free(h, p);
  auto *q = static_cast<unsigned char *>(malloc(size));
  if (q != p) GTEST_SKIP() << "the C library handed out another block";
  // Its first bytes hold the C library's own links while the block is free.
  EXPECT_TRUE(all_bytes(q + 64, size - 64, 0xAA));
  free(q);
  free(after);
  ku_home_unref(h);
}

TEST(Alloc, big_block_the_c_library_unmaps_is_not_written) {
  // 64 MiB is above any threshold glibc sets itself, so it maps the block and unmaps it on free:
  // writing the fill would fault in 16,384 pages nobody can read.
  const int size = 64 << 20;
  ku_home_t *h = ku_home_create();
  auto *p = static_cast<unsigned char *>(ku_alloc(h, size));
  ASSERT_NE(p, nullptr);
  p[0] = 1;
  p[size - 1] = 1;
  const long before = minor_faults();
  ku_free(h, opaque(p));  // hidden: p is looked up below
  if (glibc_malloc()) {
    EXPECT_LT(minor_faults() - before, 64);
  }
  EXPECT_EQ(ku_in_home(h, p), 0);
  EXPECT_HOME_OK(h);
  ku_home_unref(h);
}

TEST(Alloc, freed_big_blocks_are_filled_or_gone_whatever_the_malloc) {
  // CI runs this under tcmalloc, jemalloc and mimalloc too.  Freed memory is read back through
  // /proc/self/mem, which fails where nothing is mapped any more instead of faulting; what is
  // still mapped must not show the block's old contents.
  const int fd = open("/proc/self/mem", O_RDONLY);
  if (fd < 0) GTEST_SKIP() << "no /proc/self/mem";
  constexpr uint64_t kSecret = 0x5ec2e75ec2e75ec2;
  ku_home_t *h = ku_home_create();
  for (size_t size : {size_t{64} << 10, size_t{100000}, size_t{1} << 20, size_t{16} << 20}) {
    for (int round = 0; round < 2; round++) {
      auto *p = static_cast<uint64_t *>(ku_alloc(h, static_cast<int>(size)));
      ASSERT_NE(p, nullptr);
      std::fill(p, p + size / 8, kSecret);
      ku_free(h, opaque(p));  // hidden: p is read back below
      std::vector<uint64_t> back(size / 8);
      const ssize_t got = pread(fd, back.data(), size, static_cast<off_t>(uintptr_t(p)));
      if (got > 0) {
        EXPECT_EQ(std::count(back.begin(), back.begin() + got / 8, kSecret), 0) << size;
      }
    }
  }
  ku_home_unref(h);
  close(fd);
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
  EXPECT_DEATH(p[12] = 1, "use-after-poison");   // the rounding gap behind the block
  ku_free(h, opaque(const_cast<char *>(p)));     // hidden: the read below is the test
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
  ku_home_t *other = ku_home_create();
  void *theirs = ku_alloc(other, 8);
  int outside;
  ku_home_t empty{};
  // Hidden from the compiler, which would refuse to free an object on the stack.
  void *foreign = opaque(static_cast<void *>(&outside));
#ifndef NDEBUG
  EXPECT_DEATH(ku_free(h, foreign), "ku_free: the address is not an allocation of this home");
  EXPECT_DEATH(ku_free(h, opaque(theirs)),
               "ku_free: the address is not an allocation of this home");
  EXPECT_DEATH(ku_free(&empty, foreign), "ku_free: the home has no block table");
#else
  for (void *p : {foreign, theirs}) {
    ku_free(h, opaque(p));  // nothing is freed
    ku_free(&empty, opaque(p));
  }
  EXPECT_EQ(empty.kuh_blocks, nullptr);
  EXPECT_EQ(table(h)->kub_used, 0u);
#endif
  ku_free(h, nullptr);  // a null address is no allocation and does nothing
  EXPECT_EQ(ku_in_home(other, theirs), 1);
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
  EXPECT_EQ(ku_in_home(nullptr, z), 0);
  free(opaque(p));  // plain heap blocks, hidden from the compiler's pairing with ku_free
  ku_free(nullptr, z);
  auto *s = static_cast<int *>(ku_salloc(nullptr, 0));
  EXPECT_EQ(*s, 4);
  free(opaque(s));
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
  EXPECT_EQ(ku_realloc(h, p, opaque(-5)), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(entry(h, p)->kua_size, 8u);
  errno = 0;
  EXPECT_EQ(ku_alloc(h, 0), nullptr);
  EXPECT_EQ(ku_zalloc(h, 0), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(table(h)->kub_used, 1u);
  ku_home_unref(h);
}

// ---- Array calls ----

TEST(Arrays, products_that_overflow_or_reach_2_31_are_refused_with_enomem) {
  ku_home_t *h = ku_home_create();
  void *p = ku_alloc_array(h, 3, 8);
  const size_t wraps = SIZE_MAX / 16 + 2;  // times 16 wraps round to 16
  const size_t refused[][2] = {{wraps, 16},   {16, wraps},   {SIZE_MAX, SIZE_MAX},
                               {1, SIZE_MAX}, {1u << 31, 1}, {1u << 16, 1u << 15}};
  for (const auto &r : refused) {
    const size_t n = opaque(r[0]);  // unseen, or the size attributes warn at compile time
    for (ku_home_t *home : {h, static_cast<ku_home_t *>(nullptr)}) {
      errno = 0;
      EXPECT_EQ(ku_alloc_array(home, n, r[1]), nullptr) << n << " x " << r[1];
      EXPECT_EQ(errno, ENOMEM);
      errno = 0;
      EXPECT_EQ(ku_zalloc_array(home, n, r[1]), nullptr);
      EXPECT_EQ(errno, ENOMEM);
    }
    errno = 0;
    EXPECT_EQ(ku_realloc_array(h, p, n, r[1]), nullptr);
    EXPECT_EQ(errno, ENOMEM);
  }
  EXPECT_EQ(table(h)->kub_used, 1u);
  EXPECT_EQ(entry(h, p)->kua_size, 24u);
  ku_home_unref(h);
}

TEST(Arrays, blocks_of_n_times_size_bytes_and_a_product_of_zero) {
  ku_home_t *h = ku_home_create();
  auto *a = static_cast<uint32_t *>(ku_zalloc_array(h, 5, sizeof(uint32_t)));
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(all_bytes(a, 20, 0));
  a[4] = 7;
  a = static_cast<uint32_t *>(ku_realloc_array(h, a, 1000, sizeof(uint32_t)));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a[4], 7u);
  EXPECT_EQ(entry(h, a)->kua_size, 4000u);

  // 0 elements, or elements of 0 bytes, are a size of 0: no block, no error, no entry; a
  // resize to it frees the block.
  errno = 0;
  EXPECT_EQ(ku_alloc_array(h, 0, 8), nullptr);
  EXPECT_EQ(ku_zalloc_array(h, 8, 0), nullptr);
  EXPECT_EQ(ku_realloc_array(h, a, 0, sizeof(uint32_t)), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(table(h)->kub_used, 0u);
  ku_home_unref(h);
}

}  // namespace
