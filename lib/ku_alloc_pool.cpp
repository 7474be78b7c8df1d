// SPDX-License-Identifier: MIT
// Where block tables come from: the C library for small ones, a pool of pages of the allocator's
// own for middle sizes, pages of their own (huge pages when the kernel has them) for the largest.
#include "ku_alloc_release.h"

#include <ku/ku.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <sys/mman.h>

namespace {

// ---- Tables with pages of their own ----

// Tables of kHugePage bytes or more get pages of their own, aligned to huge pages and asking
// for them: lookups land on random slots, and with 4 KiB pages nearly each one would miss the
// TLB.  The kernel hands the pages out zeroed, so the table needs no clearing, and giving them
// back leaves the C library's heap alone: a large freed chunk would make it consolidate every
// small block just freed into its fast bins, and raise its threshold for mapping, so that later
// big tables would come from the heap and be cleared by calloc.  (Smaller tables measured
// slower this way: their 4 KiB page faults cost more than the heap work they save.)
constexpr uint64_t kHugePage = uint64_t{2} << 20;

void *map_table(uint64_t bytes) {
  // One huge page more than needed, then the unaligned head and the tail are given back.
  const uint64_t len = (bytes + 4095) & ~uint64_t{4095};
  void *raw =
      mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (const uint64_t tail = start + kHugePage - aligned)
    munmap(reinterpret_cast<void *>(aligned + len), tail);
  // Only advice: without huge pages the table works the same.
  madvise(reinterpret_cast<void *>(aligned), len, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

// ---- Spare blocks ----

// Tables of 127 to 32,767 slots (2 KiB to 512 KiB) and preload areas of 1 KiB to 64 KiB are kept
// for reuse when a home drops them, one free list per size, up to kSpareBytes in all; beyond
// that they go back where they came from, so that a process keeps no more than that after its
// peak.  glibc's malloc answers any request of 1 KiB or more by first merging every small block
// waiting in its fast bins, and homes are mostly ended just before new ones grow: without the
// spares, each growth merged the blocks of the home ended before, and the next small
// allocations had to split the merged chunks again.  Sizes below glibc's mapping threshold come
// from malloc; larger ones have pages of their own, which leave glibc's threshold for mapping
// where it is (freeing a chunk glibc mapped raises it).  The lists are guarded by a spin lock
// held for a few instructions, which the library's fork handler takes.

constexpr unsigned kTableClasses = 5;  // 127, 511, 2047, 8191 and 32,767 slots
// Preload areas of 1 KiB or more take the same way, for the same reason (a home that ends gives
// its area back just after the teardown filled the fast bins).  Their classes are the powers of
// two from 1 KiB to 64 KiB, the largest area there is.
constexpr unsigned kAreaClasses = 7;
constexpr uint64_t kAreaMin = 1024;
constexpr unsigned kPoolClasses = kTableClasses + kAreaClasses;
constexpr uint64_t kSpareBytes = uint64_t{2} << 20;
constexpr uint64_t kOwnPages = uint64_t{128} << 10;

struct SparePool {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  void *free_list[kPoolClasses] = {};  // linked through each block's first word
  uint64_t bytes = 0;                  // kept on the lists or held for threads, <= kSpareBytes
  uint64_t held = 0;                   // of which held for threads' own spares
};
SparePool pool;

// Each thread keeps one spare of each class up to kOwnLargest bytes for itself (tables of 127
// and 511 slots, areas of 1 to 8 KiB): a thread that ends a request's home and makes the next
// one takes back what it gave without the pool's lock, whose line every thread would write
// twice a request.  A thread holds the bytes of its spare of a class within the pool's bound
// from its first such spare until it ends, whether the block is kept or out in a home again,
// so all spares together still stay within kSpareBytes.
constexpr uint64_t kOwnLargest = kui::table_bytes(511);  // 8,240 bytes; areas up to 8 KiB
struct ThreadSpares {
  void *block[kPoolClasses];
  uint32_t held;  // bit c: the thread holds room for a spare of class c
};
__thread ThreadSpares own_spares __attribute__((tls_model("initial-exec")));
pthread_key_t own_key;
bool own_key_made = false;  // under the pool's lock
bool own_key_failed = false;

void pool_lock() {
  while (pool.busy.test_and_set(std::memory_order_acquire)) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}
void pool_unlock() { pool.busy.clear(std::memory_order_release); }

// The class of a table of n slots, or -1 when it does not come from the pool.
int pool_class(uint64_t n) {
  if ((n & (n + 1)) != 0) return -1;
  const int k = std::countr_zero(n + 1);
  return k >= 7 && k <= 15 && (k & 1) ? (k - 7) / 2 : -1;
}

uint64_t page_round(uint64_t bytes) { return (bytes + 4095) & ~uint64_t{4095}; }

// The bytes of a block of class c.
uint64_t class_bytes(unsigned c) {
  return c < kTableClasses ? kui::table_bytes((uint64_t{128} << (2 * c)) - 1)
                           : kAreaMin << (c - kTableClasses);
}

// A thread's end: its own spares go to the lists, and the room it held for blocks that are out
// goes back to the bound.
void own_spares_exit(void *) {
  ThreadSpares &mine = own_spares;
  pool_lock();
  for (unsigned c = 0; c < kPoolClasses; c++) {
    if (!(mine.held >> c & 1)) continue;
    const uint64_t bytes = class_bytes(c);
    pool.held -= bytes;
    if (void *p = mine.block[c]) {
      *static_cast<void **>(p) = pool.free_list[c];
      pool.free_list[c] = p;
    } else {
      pool.bytes -= bytes;
    }
    mine.block[c] = nullptr;
  }
  mine.held = 0;
  pool_unlock();
}

// Under the pool's lock: room for the calling thread's own spare of class c, if the bound
// allows and the thread's end can be seen.
bool hold_own_spare(unsigned c, uint64_t bytes) {
  if (bytes > kOwnLargest || pool.bytes + bytes > kSpareBytes || own_key_failed) return false;
  ThreadSpares &mine = own_spares;
  if (!own_key_made) {
    own_key_made = true;
    own_key_failed = pthread_key_create(&own_key, own_spares_exit) != 0;
    if (own_key_failed) return false;
  }
  if (mine.held == 0 && pthread_setspecific(own_key, &mine) != 0) return false;
  mine.held |= uint32_t{1} << c;
  pool.bytes += bytes;
  pool.held += bytes;
  return true;
}

// A spare of class c, bytes long, off the shared list, or null.
void *pop_spare(int c, uint64_t bytes) {
  pool_lock();
  void *p = pool.free_list[c];
  if (p) {
    pool.free_list[c] = *static_cast<void **>(p);
    pool.bytes -= bytes;
  }
  pool_unlock();
  return p;
}

// Gives a block of bytes that is not kept back where it came from.
void release_block(void *p, uint64_t bytes) {
  if (bytes < kOwnPages)
    free(p);
  else
    munmap(p, page_round(bytes));
}

// A block of class c: zero-filled when zero is set, else as it was left.
void *pool_take(int c, bool zero) {
  const uint64_t bytes = class_bytes(static_cast<unsigned>(c));
  void *p = own_spares.block[c];
  if (p)
    own_spares.block[c] = nullptr;
  else
    p = pop_spare(c, bytes);
  if (p) return zero ? memset(p, 0, bytes) : p;
  if (bytes < kOwnPages) return zero ? calloc(1, bytes) : malloc(bytes);
  void *m =
      mmap(nullptr, page_round(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return m == MAP_FAILED ? nullptr : m;  // fresh pages are zero
}

// Gives back a block of class c from pool_take: kept while the spares stay within their bound.
void pool_give(int c, void *p) {
  const uint64_t bytes = class_bytes(static_cast<unsigned>(c));
  ThreadSpares &mine = own_spares;
  if (!mine.block[c] && (mine.held >> c & 1)) {
    mine.block[c] = p;
    return;
  }
  pool_lock();
  if (!mine.block[c] && !(mine.held >> c & 1) && hold_own_spare(static_cast<unsigned>(c), bytes)) {
    mine.block[c] = p;
    pool_unlock();
    return;
  }
  const bool keep = pool.bytes + bytes <= kSpareBytes;
  if (keep) {
    *static_cast<void **>(p) = pool.free_list[c];
    pool.free_list[c] = p;
    pool.bytes += bytes;
  }
  pool_unlock();
  if (!keep) release_block(p, bytes);
}

// The class of a preload area of bytes (1 KiB to 64 KiB): the power of two it is rounded up to.
int area_class(uint64_t bytes) {
  const unsigned k = static_cast<unsigned>(std::bit_width(bytes - 1));  // 2^k >= bytes
  return static_cast<int>(kTableClasses + k - 10);
}

// ---- Scratch room ----

// Room for the teardown's sorting of addresses, on pages of its own: a large heap block would
// merge the fast bins when taken and raise the C library's threshold for mapping when given
// back.  Page faults cost more than the sort saves, so room of up to kScratchKept bytes is kept
// for the next teardown, under the pool's lock (offering its pages to the kernel with MADV_FREE
// measured far slower: each reuse paid for them again).  Room of a quarter of a huge page or
// more is mapped as huge pages: a few faults instead of hundreds.
constexpr uint64_t kScratchKept = kHugePage;

struct Scratch {
  void *room = nullptr;
  uint64_t bytes = 0;
};
Scratch spare_scratch;

}  // namespace

// ---- fork() ----

// The pool's lock, taken and released around fork() by the library's one fork handler
// (ku_alloc_lock.cpp), which knows the order of all its locks.
void kui::pool_fork_lock() noexcept { pool_lock(); }
void kui::pool_fork_unlock() noexcept { pool_unlock(); }

// In the child only the forking thread is left: the room held for the other threads' own spares
// goes back to the bound (their blocks, memory of the parent, are not reused).
void kui::pool_fork_child() noexcept {
  uint64_t mine = 0;
  for (unsigned c = 0; c < kPoolClasses; c++)
    if (own_spares.held >> c & 1) mine += class_bytes(c);
  pool.bytes -= pool.held - mine;
  pool.held = mine;
  pool_unlock();
}

// Gives every spare back to the C library or the system, as if none had been kept: the
// allocation-failure tests count what is left over, and kept spares are no leak.
void kui::pool_give_back_spares() noexcept {
  own_spares_exit(nullptr);
  for (unsigned c = 0; c < kPoolClasses; c++) {
    const uint64_t bytes = class_bytes(c);
    while (void *p = pop_spare(static_cast<int>(c), bytes)) release_block(p, bytes);
  }
}

// ---- Scratch room ----

// Room of at least bytes for a teardown, or null; *got receives its size.
void *kui::take_scratch(uint64_t bytes, uint64_t *got) noexcept {
  bytes = (bytes + 4095) & ~uint64_t{4095};
  if (bytes >= kHugePage / 4) bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  pool_lock();
  const Scratch s = spare_scratch;
  if (s.bytes >= bytes) spare_scratch = Scratch{};
  pool_unlock();
  if (s.bytes >= bytes) {
    *got = s.bytes;
    return s.room;
  }
  void *m = bytes >= kHugePage
                ? map_table(bytes)
                : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED || !m) return nullptr;
  *got = bytes;
  return m;
}

// Gives back room from take_scratch: kept when it is the largest up to kScratchKept, else
// unmapped.
void kui::give_scratch(void *room, uint64_t bytes) noexcept {
  const bool keep = bytes <= kScratchKept;
  pool_lock();
  const Scratch s = spare_scratch;
  if (keep && bytes > s.bytes) spare_scratch = Scratch{room, bytes};
  pool_unlock();
  if (keep && bytes > s.bytes) {
    room = s.room;
    bytes = s.bytes;
  }
  if (room) munmap(room, bytes);
}

// ---- Preload areas ----

// Room for a preload area of bytes (at most 65,535), not cleared, or null.
void *kui::take_area(uint64_t bytes) noexcept {
  if (bytes < kAreaMin) return malloc(bytes);
  return pool_take(area_class(bytes), /*zero=*/false);
}

// Gives back the room of a preload area of bytes from take_area.
void kui::give_area(void *area, uint64_t bytes) noexcept {
  if (bytes < kAreaMin) return free(area);
  pool_give(area_class(bytes), area);
}

// ---- Allocation and release of tables ----

// Gives back a table that is dropped: replaced by a larger one, or its home has died.  Tables
// in a caller's buffer or in the home record's block are not freed on their own.
void kui::release_table(ku_block_t *t) noexcept {
  if (t->kub_auto || t->kub_inrec) return;
  if (!t->kub_mapped) {
    free(t);
    return;
  }
  const uint64_t n = t->kub_n, bytes = kui::table_bytes(n);
  if (const int c = pool_class(n); c >= 0)
    pool_give(c, t);
  else
    munmap(t, bytes);
}

// A zeroed table of n slots with one reference, or null (errno ENOMEM for an impossible size).
ku_block_t *ku_hash_alloc(uint64_t n) noexcept {
  if (n > kui::kMaxSlots) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  const uint64_t bytes = kui::table_bytes(n);
  const int c = pool_class(n);
  const bool mapped = c >= 0 || bytes >= kHugePage;
  void *mem = c >= 0               ? pool_take(c, /*zero=*/true)
              : bytes >= kHugePage ? map_table(bytes)
                                   : kui::zeroed(bytes);
  auto *t = static_cast<ku_block_t *>(mem);
  if (!t) return nullptr;
  t->kub_ref = 1;
  t->kub_hauto = 1;
  t->kub_n = n;
  t->kub_mapped = mapped;
  return t;
}
