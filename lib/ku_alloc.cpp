// SPDX-License-Identifier: MIT
// Memory homes: a hierarchical allocator.
//
// A home (ku_home_t) is a small record that points to its block table (ku_block_t): a header
// followed by an open-addressing hash table of entries (ku_alloc_t), one per allocation, keyed
// by the allocation's address.  Ending a home walks the table and frees every block in it.
// A sub-home is itself an allocation of its parent, entered with kua_home set, so it dies with
// the parent.  A home's preload area (small blocks are carved from it), its statistics record
// and its destructor hang off the table header and are carried over whenever the table grows.
// Every operation on a home runs under the home's internal mutex, when it has one (HomeLock).
#include "ku_alloc_impl.h"

#include <ku/ku.h>

#include <atomic>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define KU_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KU_ASAN 1
#endif
#endif
#ifdef KU_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KU_VALGRIND 1
#endif

// ---- Records and constants ----

namespace {

enum alloc_kind { alloc_plain = 0, alloc_zeroed = 1, alloc_home = 2 };

constexpr uint64_t kFirstSlots = 31;    // a new home's table
constexpr uint64_t kAutoSlots = 7;      // the table laid into an automatic home's buffer
constexpr uint64_t kMaxPrsize = 65535;  // kub_prsize is 16 bits wide
constexpr uint64_t kSizeLimit = uint64_t{1} << SIZEBITS;
// Far beyond any table that fits in memory; it keeps 3 * used, 4n + 3 and the byte count of a
// table clear of 64-bit overflow.
constexpr uint64_t kMaxSlots = uint64_t{1} << 56;
constexpr unsigned char kFreedFill = 0xAA;

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

// ---- Memory checkers ----
//
// Blocks carved from a preload area are invisible to AddressSanitizer and Valgrind's memcheck,
// which see only the area.  The area's bytes that are not handed out are marked inaccessible,
// so that an overrun into them or a use of a freed carved block is reported.  Without either
// tool these cost nothing: AddressSanitizer's calls exist only in its builds, and Valgrind's
// requests (a dozen instructions each, even outside Valgrind) are made only when the process
// was found running under it when the library was loaded.

#ifdef KU_VALGRIND
bool running_on_valgrind() { return RUNNING_ON_VALGRIND != 0; }
const bool under_valgrind = running_on_valgrind();
#endif

// Bytes that are not, or no longer, handed out.
void mark_unused(const void *p, uint64_t n) {
#ifdef KU_ASAN
  ASAN_POISON_MEMORY_REGION(p, n);
#endif
#ifdef KU_VALGRIND
  if (under_valgrind) VALGRIND_MAKE_MEM_NOACCESS(p, n);
#endif
  (void)p;
  (void)n;
}

// Bytes handed out as (part of) a carved block, not yet written.
void mark_carved(const void *p, uint64_t n) {
#ifdef KU_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef KU_VALGRIND
  if (under_valgrind) VALGRIND_MAKE_MEM_UNDEFINED(p, n);
#endif
  (void)p;
  (void)n;
}

// A whole area given back: to its caller's buffer, or to free().
void mark_returned(const void *p, uint64_t n) {
#ifdef KU_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef KU_VALGRIND
  if (under_valgrind) VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
  (void)p;
  (void)n;
}

}  // namespace

// ---- Hooks and counters ----
//
// Programs read and write these objects themselves.  An executable that names one of them
// (position-independent or not) usually gets its own copy of it, and the dynamic linker then
// points the library's GOT entry at that copy.  The library therefore reaches each of them
// only by its exported name, never through a hidden alias: such an alias would keep updating
// the library's original, which no program sees.  The log objects and the socket switches
// follow the same rule.

extern "C" {

KU_API void (*_ku_home_locker)(void *mutexes) = nullptr;
KU_API void (*_ku_home_unlocker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_locker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_trylocker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_unlocker)(void *mutexes) = nullptr;
KU_API void (*_ku_home_destroy_mutexes)(void *mutexes) = nullptr;

KU_API uint64_t count_ku_block_find = 0;
KU_API uint64_t size_ku_block_find = 0;
KU_API uint64_t used_ku_block_find = 0;
KU_API uint64_t max_size_ku_block_find = 0;
KU_API uint64_t max_used_ku_block_find = 0;
KU_API uint64_t count_ku_block_find_loop = 0;
KU_API uint64_t ku_block_find_collision = 0;
KU_API uint64_t ku_block_find_collision_used = 0;
KU_API uint64_t ku_block_find_collision_size = 0;

}  // extern "C"

namespace {

// Lookups in different homes may run on different threads without a common lock.  The
// counters are diagnostic, so a relaxed load and store (no locked read-modify-write) is enough
// to keep the updates free of data races while costing what plain additions cost.
void counter_add(uint64_t &counter, uint64_t amount) {
  std::atomic_ref<uint64_t> c(counter);
  c.store(c.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

uint64_t counter_read(uint64_t &counter) {
  return std::atomic_ref<uint64_t>(counter).load(std::memory_order_relaxed);
}

void counter_set(uint64_t &counter, uint64_t value) {
  std::atomic_ref<uint64_t>(counter).store(value, std::memory_order_relaxed);
}

// ---- Home lock ----
//
// MEMLOCK/UNLOCK are the HomeLock guard of ku_alloc_impl.h, shared with other library units.

// ---- Block table ----

// Every table made here has n = 2^k - 1 slots (7, 31, 127, ...), so p mod n needs no division.
// As 2^k = 1 (mod n), folding p at a width w that is a multiple of k keeps its residue; two folds
// at the largest such w <= 32 bring any 64-bit p below 2^32.  The remainder of a 32-bit value by
// n < 2^32 is then exact with one multiplication by the constant ceil(2^64 / n) and one high
// product (Lemire, Kaser and Kurz), with no branch that depends on p.
struct SlotMath {
  uint8_t width[32];
  uint64_t magic[32];
  constexpr SlotMath() : width(), magic() {
    for (unsigned k = 1; k < 32; ++k) {
      width[k] = static_cast<uint8_t>(k * (32 / k));
      magic[k] = UINT64_MAX / ((uint64_t{1} << k) - 1) + 1;
    }
  }
};
constexpr SlotMath kSlotMath;

[[gnu::always_inline]] inline uint64_t start_slot(uint64_t p, uint64_t n) {
  const unsigned k = static_cast<unsigned>(std::countr_zero(n + 1));
  // Not 2^k - 1 with 0 < k < 32: no table of ours; the plain remainder is the same.
  if ((n & (n + 1)) != 0 || k - 1 >= 31) return p % n;
  const unsigned w = kSlotMath.width[k];
  const uint64_t mask = (uint64_t{1} << w) - 1;
  p = (p & mask) + (p >> w);
  p = (p & mask) + (p >> w);
  const uint64_t low = kSlotMath.magic[k] * p;
  return static_cast<uint64_t>((static_cast<unsigned __int128>(low) * n) >> 64);
}

// A step of 29 spreads the probes of neighbouring start slots apart; no table size is a
// multiple of 29, so either step visits every slot.
constexpr uint64_t probe_step(uint64_t n) { return n <= 29 ? 1 : 29; }

uint64_t next_slot(uint64_t i, uint64_t step, uint64_t n) {
  i += step;
  return i >= n ? i - n : i;
}

// More than two thirds of the slots are taken.  Tables stay below kMaxSlots, so 3 * used does
// not overflow.
bool over_two_thirds(uint64_t used, uint64_t n) { return 3 * used > 2 * n; }

// Tables of kHugePage bytes or more get pages of their own, aligned to huge pages and asking
// for them: lookups land on random slots, and with 4 KiB pages nearly each one would miss the
// TLB.  The kernel hands the pages out zeroed, so the table needs no clearing, and giving them
// back leaves the C library's heap alone: a large freed chunk would make it consolidate every
// small block just freed into its fast bins, and raise its threshold for mapping, so that later
// big tables would come from the heap and be cleared by calloc.  (Smaller tables measured
// slower this way: their 4 KiB page faults cost more than the heap work they save.)
constexpr uint64_t kHugePage = uint64_t{2} << 20;

uint64_t table_bytes(uint64_t n) {
  // The header has the size of four entries (static_assert in ku_alloc_impl.h).
  return (n + 4) * sizeof(ku_alloc_t);
}

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

// ---- Table pool ----
//
// Tables of 127 to 32,767 slots (2 KiB to 512 KiB) come from pages of the allocator's own and
// go back to a free list per size, never to the C library.  glibc's malloc answers any request
// of 1 KiB or more by first merging every small block waiting in its fast bins, and homes are
// mostly ended just before new ones grow: each growth then merged the blocks of the home ended
// before, and the next small allocations had to split the merged chunks again.  Small sizes
// are carved several to a mapping of about 256 KiB; a size that fills a mapping on its own is
// unmapped once two spares of it wait.  The lists are guarded by a spin lock held for a few
// instructions, taken around fork() so that a child never inherits it taken.

constexpr unsigned kPoolClasses = 5;  // 127, 511, 2047, 8191 and 32,767 slots
constexpr uint64_t kPoolMapping = uint64_t{256} << 10;
constexpr unsigned kPoolSpares = 2;

struct TablePool {
  std::atomic_flag busy = ATOMIC_FLAG_INIT;
  void *free_list[kPoolClasses] = {};  // linked through each block's first word
  unsigned spares[kPoolClasses] = {};
  // The part of the newest mapping not handed out yet: its pages are untouched, so they cost
  // no memory until a table needs them.
  unsigned char *fresh[kPoolClasses] = {};
  unsigned char *fresh_end[kPoolClasses] = {};
};
TablePool pool;

void pool_lock() {
  while (pool.busy.test_and_set(std::memory_order_acquire)) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}
void pool_unlock() { pool.busy.clear(std::memory_order_release); }

[[gnu::constructor]] void pool_guard_fork() { pthread_atfork(pool_lock, pool_unlock, pool_unlock); }

// The class of a table of n slots, or -1 when it does not come from the pool.
int pool_class(uint64_t n) {
  if ((n & (n + 1)) != 0) return -1;
  const int k = std::countr_zero(n + 1);
  return k >= 7 && k <= 15 && (k & 1) ? (k - 7) / 2 : -1;
}

uint64_t blocks_per_mapping(uint64_t bytes) {
  return bytes < kPoolMapping ? kPoolMapping / bytes : 1;
}

void *pool_take(int c, uint64_t bytes) {
  pool_lock();
  void *p = pool.free_list[c];
  if (p) {
    pool.free_list[c] = *static_cast<void **>(p);
    --pool.spares[c];
    pool_unlock();
    return memset(p, 0, bytes);
  }
  if (pool.fresh_end[c] - pool.fresh[c] >= static_cast<ptrdiff_t>(bytes)) {
    p = pool.fresh[c];
    pool.fresh[c] += bytes;
    pool_unlock();
    return p;  // fresh pages are zero
  }
  pool_unlock();
  const uint64_t count = blocks_per_mapping(bytes);
  void *m =
      mmap(nullptr, bytes * count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  // The first block serves now; the rest waits untouched.  Should another thread have mapped
  // meanwhile, the untouched rest of its mapping is given up, which costs address space only.
  if (count > 1) {
    auto *b = static_cast<unsigned char *>(m);
    pool_lock();
    pool.fresh[c] = b + bytes;
    pool.fresh_end[c] = b + bytes * count;
    pool_unlock();
  }
  return m;
}

void pool_give(int c, void *p, uint64_t bytes) {
  pool_lock();
  if (blocks_per_mapping(bytes) == 1 && pool.spares[c] >= kPoolSpares) {
    pool_unlock();
    munmap(p, bytes);
    return;
  }
  *static_cast<void **>(p) = pool.free_list[c];
  pool.free_list[c] = p;
  ++pool.spares[c];
  pool_unlock();
}

// Gives back a table that is dropped: replaced by a larger one, or its home has died.  Tables
// in a caller's buffer or in the home record's block are not freed on their own.
void release_table(ku_block_t *t) {
  if (t->kub_auto || t->kub_inrec) return;
  if (!t->kub_mapped) {
    free(t);
    return;
  }
  const uint64_t n = t->kub_n, bytes = table_bytes(n);
  if (const int c = pool_class(n); c >= 0)
    pool_give(c, t, bytes);
  else
    munmap(t, bytes);
}

// A zero-filled block for the allocator's own records and tables.  The C library's calloc skips
// its per-thread cache, which makes it twice as slow as malloc and a clear for small blocks;
// large ones keep calloc, which knows fresh pages to be zero.  The empty asm keeps the compiler
// from folding malloc and memset back into calloc.
void *zeroed(size_t bytes) {
  if (bytes > 4096) return calloc(1, bytes);
  void *p = malloc(bytes);
  if (!p) return nullptr;
  asm volatile("" : "+r"(p));
  return memset(p, 0, bytes);
}

ku_block_t *ku_hash_alloc(uint64_t n) {
  if (n > kMaxSlots) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  const uint64_t bytes = table_bytes(n);
  const int c = pool_class(n);
  const bool mapped = c >= 0 || bytes >= kHugePage;
  void *mem = c >= 0 ? pool_take(c, bytes) : bytes >= kHugePage ? map_table(bytes) : zeroed(bytes);
  auto *t = static_cast<ku_block_t *>(mem);
  if (!t) return nullptr;
  t->kub_ref = 1;
  t->kub_hauto = 1;
  t->kub_n = n;
  t->kub_mapped = mapped;
  return t;
}

// Entries are removed by clearing them in place, with no marker left behind, so an entry may
// lie beyond an emptied slot of its probe sequence: a lookup never stops at an empty slot, and
// a miss examines every slot.
// With hole non-null, *hole receives the first empty slot passed before the hit (or null): the
// slot at which entering p again would land once its entry is cleared.
[[gnu::always_inline]] inline ku_alloc_t *ku_block_find(ku_block_t *t, const void *p,
                                                        ku_alloc_t **hole = nullptr) {
  const uint64_t n = t->kub_n;
  const uint64_t used = t->kub_used;
  counter_add(count_ku_block_find, 1);
  counter_add(size_ku_block_find, n);
  counter_add(used_ku_block_find, used);
  if (n > counter_read(max_size_ku_block_find)) counter_set(max_size_ku_block_find, n);
  if (used > counter_read(max_used_ku_block_find)) counter_set(max_used_ku_block_find, used);
  assert(p && "ku_block_find: null address");

  const uint64_t start = start_slot(reinterpret_cast<uintptr_t>(p), n);
  ku_alloc_t *nodes = t->kub_nodes;
  // Most lookups hit at the start slot: no probe steps to walk or count.
  if (nodes[start].kua_data == p) [[likely]]
    return &nodes[start];
  if (hole && !nodes[start].kua_data) *hole = &nodes[start];
  const uint64_t step = probe_step(n);
  ku_alloc_t *hit = nullptr;
  uint64_t i = next_slot(start, step, n);
  uint64_t steps = 1;
  while (i != start) {
    if (nodes[i].kua_data == p) {
      hit = &nodes[i];
      break;
    }
    if (hole && !*hole && !nodes[i].kua_data) *hole = &nodes[i];
    i = next_slot(i, step, n);
    ++steps;
  }

  // The totals are the same as if each step had been counted as it was taken.
  counter_add(count_ku_block_find_loop, steps);
  if (steps > counter_read(ku_block_find_collision)) {
    counter_set(ku_block_find_collision, steps);
    counter_set(ku_block_find_collision_used, used);
    counter_set(ku_block_find_collision_size, n);
  }
  return hit;
}

// Empties a slot.  A free slot is all zero, padding included, which assigning a value-initialised
// entry does not promise.
void clear_entry(ku_alloc_t *e) { memset(e, 0, sizeof *e); }

// Takes an entry out of its table.  Every path does so before it can run user code (a
// sub-home's destructor): a destructor may replace the table or move blocks into it, so no entry
// pointer may be held across one, and a home that is dying must no longer be entered where a
// destructor could free it again or move it away.
void take_entry(ku_block_t *t, ku_alloc_t *e) {
  clear_entry(e);
  --t->kub_used;
}

// Duplicates are not looked for: the caller enters only addresses that the table lacks.
[[gnu::always_inline]] inline ku_alloc_t *ku_block_add(ku_block_t *t, void *p) {
  assert(p && "ku_block_add: null address");
  const uint64_t n = t->kub_n;
  uint64_t i = start_slot(reinterpret_cast<uintptr_t>(p), n);
  if (t->kub_nodes[i].kua_data) [[unlikely]] {
    const uint64_t step = probe_step(n);
    do i = next_slot(i, step, n);
    while (t->kub_nodes[i].kua_data);
  }
  ku_alloc_t *e = &t->kub_nodes[i];
  ++t->kub_used;
  e->kua_data = p;
  return e;
}

// Enters every occupied slot of from into to, in index order, copying whole entries.
void copy_entries(ku_block_t *to, const ku_block_t *from) {
  for (uint64_t i = 0; i < from->kub_n; ++i) {
    const ku_alloc_t &e = from->kub_nodes[i];
    if (e.kua_data) *ku_block_add(to, e.kua_data) = e;
  }
}

// A replacement table takes over everything of the header except kub_auto and kub_auto_all,
// which describe the old table's own memory.
void copy_header(ku_block_t *to, const ku_block_t *from) {
  to->kub_parent = from->kub_parent;
  to->kub_ref = from->kub_ref;
  to->kub_preload = from->kub_preload;
  to->kub_prsize = from->kub_prsize;
  to->kub_prused = from->kub_prused;
  to->kub_hauto = from->kub_hauto;
  to->kub_preauto = from->kub_preauto;
  to->kub_destructor = from->kub_destructor;
  to->kub_stats = from->kub_stats;
}

// Gives the home a table of 4n + 3 slots (31 when it has none) holding the old entries.
// Returns the new table, or null with the home unchanged.
ku_block_t *grow_table(ku_home_t *home, ku_block_t *old) {
  ku_block_t *t = ku_hash_alloc(old ? 4 * old->kub_n + 3 : kFirstSlots);
  if (!t) return nullptr;
  if (old) {
    copy_entries(t, old);
    copy_header(t, old);
  }
  home->kuh_blocks = t;
  if (old) release_table(old);
  return t;
}

// A home record that the allocator makes (a heap home or a sub-home) comes in one zero-filled
// heap block with its first table behind it: one heap call instead of two.  The table is marked
// kub_inrec, so that neither its replacement nor the teardown passes it to free(); it goes
// with the record.  Returns the record with kuh_size = size, or null.
ku_home_t *new_home_record(uint64_t size, ku_home_t *parent) {
  const uint64_t room = (size + 15) & ~uint64_t{15};
  auto *mem = static_cast<unsigned char *>(zeroed(room + (kFirstSlots + 4) * sizeof(ku_alloc_t)));
  if (!mem) return nullptr;
  auto *home = reinterpret_cast<ku_home_t *>(mem);
  auto *t = reinterpret_cast<ku_block_t *>(mem + room);
  t->kub_parent = parent;
  t->kub_ref = 1;
  t->kub_n = kFirstSlots;
  t->kub_inrec = 1;
  home->kuh_size = static_cast<int>(size);
  home->kuh_blocks = t;
  return home;
}

bool ku_is_preloaded(const ku_block_t *t, const void *p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(t->kub_preload);
  return t->kub_preload && start <= a && a < start + t->kub_prsize;
}

int ku_alloc_check(const ku_block_t *, const ku_alloc_t *e) { return e != nullptr; }

// The consistency check of a table and, below it, of its sub-homes' tables (walk_homes): every
// occupied entry passes ku_alloc_check, and kub_used counts them.
struct CheckBlocks {
  struct Level {
    uint64_t count;
  };
  void enter(const ku_home_t *, const ku_block_t *t, size_t, Level &) {
    assert((!t || t->kub_used <= t->kub_n) && "block table: more entries than slots");
    (void)t;
  }
  void entry(const ku_block_t *t, const ku_alloc_t &e, size_t, Level &level) {
    ku_alloc_check(t, &e);
    ++level.count;
  }
  void leave(const ku_home_t *, const ku_block_t *t, size_t, const Level &level, Level *) {
    assert((!t || level.count == t->kub_used) &&
           "block table: kub_used disagrees with the occupied slots");
    (void)t;
    (void)level;
  }
};

}  // namespace

extern "C" KU_API void ku_home_check(ku_home_t const *home) {
  if (!home) return;
  CheckBlocks check;
  // Without memory for the levels of a very deep tree, the levels below are left unchecked:
  // running short of memory is no inconsistency.
  walk_homes(home, check);
}

// ---- Statistics hooks ----

namespace {

void ku_home_stats_alloc(ku_block_t *t, const void *preload, uint64_t size, alloc_kind kind) {
  ku_home_stats_t *st = t->kub_stats;
  if (t->kub_n != st->kst_slots) ++st->kst_resizes;
  st->kst_slots = static_cast<uint32_t>(t->kub_n);
  if (kind > alloc_zeroed) ++st->kst_subhomes;
  if (preload) {
    ++st->kst_alloc_preload;
    return;
  }
  const uint64_t r = round8(size);
  ++st->kst_alloc_count;
  st->kst_alloc_bytes += size;
  st->kst_alloc_rounded += r;
  if (st->kst_alloc_rounded > st->kst_alloc_rounded_max)
    st->kst_alloc_rounded_max = st->kst_alloc_rounded;
  ++st->kst_live_count;
  st->kst_live_bytes += size;
  st->kst_live_rounded += r;
}

void ku_home_stats_free(ku_block_t *t, const void *preload, uint32_t size) {
  ku_home_stats_t *st = t->kub_stats;
  if (preload) {
    ++st->kst_free_preload;
    return;
  }
  const uint32_t r = (size + 7u) & ~7u;
  ++st->kst_free_count;
  st->kst_free_bytes += size;
  st->kst_free_rounded += r;
  --st->kst_live_count;
  st->kst_live_bytes -= size;
  st->kst_live_rounded -= r;
}

// ---- Workhorse ----

// Makes one allocation of the home, whose internal lock the caller holds; t is the home's
// table as read under that lock.  May replace the table.
[[gnu::always_inline]] inline void *kub_alloc(ku_home_t *home, ku_block_t *t, uint64_t size,
                                              alloc_kind kind) {
  if (size >= kSizeLimit) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  if (size == 0) return nullptr;
  // Growing before the insertion keeps a free slot for it.
  if (!t || over_two_thirds(t->kub_used, t->kub_n)) {
    t = grow_table(home, t);
    if (!t) return nullptr;
  }

  void *mem = nullptr;
  bool carved = false;
  if (kind == alloc_home) {
    // The record comes with its table of 31 slots; the sub-home has no lock and no preload
    // area, whatever its parent has.
    mem = new_home_record(size, home);
    if (!mem) return nullptr;
    t->kub_auto_all = 0;
  } else {
    if (t->kub_preload) {
      const uint64_t end = round8(t->kub_prused + size);
      if (end <= t->kub_prsize) {
        mem = static_cast<char *>(t->kub_preload) + t->kub_prused;
        t->kub_prused = static_cast<uint16_t>(end);
        carved = true;
        mark_carved(mem, size);
        if (kind == alloc_zeroed) memset(mem, 0, size);
      }
    }
    if (!carved) {
      mem = kind == alloc_plain ? malloc(size) : calloc(1, size);
      if (!mem) return nullptr;
      t->kub_auto_all = 0;
    }
  }

  ku_alloc_t *e = ku_block_add(t, mem);
  e->kua_size = static_cast<uint32_t>(size);
  e->kua_home = kind == alloc_home;
  if (t->kub_stats) ku_home_stats_alloc(t, carved ? mem : nullptr, size, kind);
  return mem;
}

void _ku_home_deinit(ku_home_t *home);

}  // namespace

// ---- Allocation ----

namespace {

// The 0xAA fill of a freed block.  Blocks of 8 to 64 bytes, the common case, are covered by a
// few fixed-size stores that may overlap, rather than a call.
void fill_freed(void *data, uint32_t size) {
  static constexpr unsigned char kPattern[16] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA,
                                                 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  static_assert(kPattern[0] == kFreedFill);
  auto *b = static_cast<unsigned char *>(data);
  if (size >= 8 && size <= 16) {
    memcpy(b, kPattern, 8);
    memcpy(b + size - 8, kPattern, 8);
  } else if (size > 16 && size <= 64) {
    memcpy(b, kPattern, 16);
    memcpy(b + size - 16, kPattern, 16);
    if (size > 32) {
      memcpy(b + 16, kPattern, 16);
      memcpy(b + size - 32, kPattern, 16);
    }
  } else {
    memset(b, kFreedFill, size);
  }
}

// The parent of a home, read under the home's lock: another thread's allocation may be
// replacing the table that holds it.
ku_home_t *parent_of(const ku_home_t *home) {
  HomeLock g(home);
  ku_block_t *t = g.table();
  return t ? t->kub_parent : nullptr;
}

// Ends the sub-home entered at e in its parent's table t, whose lock g holds, and frees its
// record.  The entry leaves the parent, and the parent's lock is released, before the
// sub-home's teardown runs destructors: they may use the parent like any other home.
void end_subhome(HomeLock &g, ku_block_t *t, ku_alloc_t *e) {
  auto *sub = static_cast<ku_home_t *>(e->kua_data);
  const uint32_t size = e->kua_size;
  // Parent before child: the sub-home's lock is taken while the parent's is held.
  HomeLock sg(sub);
  ku_block_t *st = sg.table();
  assert(st && "ku_free: the sub-home has no block table");
  assert((!st || st->kub_ref != REF_MAX) && "ku_free: the sub-home's count is REF_MAX");
  if (!st || st->kub_ref == REF_MAX) return;
  if (t->kub_stats) ku_home_stats_free(t, nullptr, size);
  take_entry(t, e);
  g.unlock();
  st->kub_ref = 0;
  _ku_home_deinit(sub);
  sg.hand_over();
  fill_freed(sub, size);
  free(sub);
}

// Ends a sub-home whose last reference is gone, in the home it is entered in now: between the
// release of its own lock and the taking of its parent's, a move may have handed it on.
void end_unreferenced_subhome(ku_home_t *sub) {
  for (ku_home_t *parent = parent_of(sub);;) {
    if (!parent) {
      // Detached meanwhile: it is a heap home of its own now.
      HomeLock g(sub);
      if (!g.table()) return;
      _ku_home_deinit(sub);
      g.hand_over();
      free(sub);
      return;
    }
    HomeLock g(parent);
    ku_block_t *t = g.table();
    ku_alloc_t *e = t ? ku_block_find(t, sub) : nullptr;
    if (ku_alloc_check(t, e)) return end_subhome(g, t, e);
    // With the parent locked, nothing can take the sub-home out of it: if it still names this
    // parent, it was never entered there.
    ku_home_t *now = parent_of(sub);
    assert(now != parent && "ku_home_unref: the sub-home is not entered in its parent");
    if (now == parent) return;
    parent = now;
  }
}

}  // namespace

extern "C" {

KU_API void *ku_alloc(ku_home_t *home, int size) {
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  if (!home) return malloc(static_cast<size_t>(size));
  HomeLock g(home);
  return kub_alloc(home, g.table(), static_cast<uint64_t>(size), alloc_plain);
}

KU_API void *ku_zalloc(ku_home_t *home, int size) {
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  if (!home) return calloc(1, static_cast<size_t>(size));
  HomeLock g(home);
  return kub_alloc(home, g.table(), static_cast<uint64_t>(size), alloc_zeroed);
}

KU_API void *ku_salloc(ku_home_t *home, int size) {
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  const int32_t stored = size < 4 ? 4 : size;
  void *p;
  if (!home) {
    p = calloc(1, static_cast<size_t>(stored));
  } else {
    HomeLock g(home);
    p = kub_alloc(home, g.table(), static_cast<uint64_t>(stored), alloc_zeroed);
  }
  if (p) memcpy(p, &stored, sizeof stored);
  return p;
}

KU_API void ku_free(ku_home_t *home, void *data) {
  if (!data) return;
  if (!home) {
    free(data);
    return;
  }
  bool preloaded;
  {
    HomeLock g(home);
    ku_block_t *t = g.table();
    assert(t && "ku_free: the home has no block table");
    if (!t) return;
    ku_alloc_t *e = ku_block_find(t, data);
    const int found = ku_alloc_check(t, e);
    assert(found && "ku_free: the address is not an allocation of this home");
    if (!found) return;
    if (e->kua_home) return end_subhome(g, t, e);

    preloaded = ku_is_preloaded(t, data);
    if (t->kub_stats) ku_home_stats_free(t, preloaded ? data : nullptr, e->kua_size);
    fill_freed(data, e->kua_size);
    if (preloaded) mark_unused(data, round8(e->kua_size));
    take_entry(t, e);
  }
  // Released outside the lock: free() needs nothing of the home.
  if (!preloaded) free(data);
}

KU_API void *ku_realloc(ku_home_t *home, void *data, int size) {
  // A negative size is refused before the C library sees it as a huge one.
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  if (!home) return realloc(data, static_cast<size_t>(size));
  if (size == 0) {
    ku_free(home, data);
    return nullptr;
  }
  const auto want = static_cast<uint64_t>(size);
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!data) return kub_alloc(home, t, want, alloc_plain);
  if (!t) return nullptr;
  ku_alloc_t *hole = nullptr;
  ku_alloc_t *e = ku_block_find(t, data, &hole);
  if (!ku_alloc_check(t, e) || e->kua_home) return nullptr;
  const uint32_t old = e->kua_size;

  if (!ku_is_preloaded(t, data)) {
    void *p = realloc(data, want);
    if (!p) return nullptr;
    if (t->kub_stats) {
      ku_home_stats_free(t, nullptr, old);
      ku_home_stats_alloc(t, nullptr, want, alloc_zeroed);
    }
    if (p == data) {
      // Resized in place: the entry goes where clearing it and entering it again would put it.
      ku_alloc_t *slot = hole ? hole : e;
      if (slot != e) {
        clear_entry(e);
        slot->kua_data = p;
      }
      slot->kua_size = static_cast<uint32_t>(want);
      return p;
    }
    take_entry(t, e);
    ku_block_add(t, p)->kua_size = static_cast<uint32_t>(want);
    return p;
  }

  // A carved block.  Only the last one carved may give bytes back to the area.
  const uint64_t off =
      static_cast<uint64_t>(static_cast<char *>(data) - static_cast<char *>(t->kub_preload));
  const bool last = round8(off + old) == t->kub_prused;
  if (last ? round8(off + want) <= t->kub_prsize : want < old) {
    if (t->kub_stats) {
      ku_home_stats_free(t, data, old);
      ku_home_stats_alloc(t, data, want, alloc_plain);
    }
    if (last) t->kub_prused = static_cast<uint16_t>(round8(off + want));
    if (want > old)
      mark_carved(static_cast<char *>(data) + old, want - old);
    else
      mark_unused(static_cast<char *>(data) + want, round8(old) - want);
    e->kua_size = static_cast<uint32_t>(want);
    return data;
  }

  void *p = malloc(want);
  if (!p) return nullptr;
  if (last) {
    t->kub_prused = static_cast<uint16_t>(off);
    if (t->kub_stats) ku_home_stats_free(t, data, old);
  }
  memcpy(p, data, want < old ? want : old);
  mark_unused(data, round8(old));
  if (t->kub_stats) ku_home_stats_alloc(t, nullptr, want, alloc_zeroed);
  take_entry(t, e);
  ku_block_add(t, p)->kua_size = static_cast<uint32_t>(want);
  return p;
}

KU_API int ku_in_home(ku_home_t *home, void const *data) {
  if (!home || !data) return 0;
  HomeLock g(home);
  ku_block_t *t = g.table();
  return t && ku_block_find(t, data) ? 1 : 0;
}

KU_API int ku_home_check_alloc(ku_home_t const *home, void const *data) {
  if (!home || !data) return 0;
  HomeLock g(home);
  ku_block_t *t = g.table();
  return t && ku_block_find(t, data) ? 1 : 0;
}

}  // extern "C"

// ---- Teardown ----
//
// Ending a home frees its whole tree without recursion, so that a chain of any depth ends on any
// stack.  Each dying home is one level: its lock is detached (its destructor and nested operations
// on it lock nothing), its destructor runs, then its slots are released in index order.  A
// sub-home met on the way is locked while its parent's lock is still held, taken out of the table
// and becomes the next level; the parent's walk resumes when it is gone.  Destructors therefore
// run in the order of a depth-first recursion, each before anything of its home is freed.

namespace {

// One dying home and how far the walk of its table has got.
struct Dying {
  ku_home_t *home;
  ku_home_t *parent;  // the dying home it was entered in; null for the first level
  void *lock;         // its detached internal mutex, released and destroyed when it is gone
  ku_block_t *t;      // the table walked, as last read from the home
  uint64_t i;         // the next slot to look at
  bool released;      // this pass over the table has released an entry
};
using DyingStack = FrameStack<Dying>;

void release_lock(void *lock) {
  if (!lock) return;
  _ku_home_unlocker(lock);
  _ku_home_destroy_mutexes(lock);
}

bool no_entry_from(const ku_block_t *t, uint64_t i) {
  uintptr_t any = 0;
  for (; i < t->kub_n; ++i) any |= reinterpret_cast<uintptr_t>(t->kub_nodes[i].kua_data);
  return !any;
}

// Releases the entries of f's table from slot f.i on, until it meets a sub-home, which it takes
// out of the table and returns; null once the table is empty.  kub_used falls with each entry,
// which doubles as the consistency check: the pass ends when it reaches zero, and the slots
// behind must be empty.  A destructor may use the dying home: a block it frees is gone before
// the walk reaches it; a block it enters may lie behind the walk, so the walk goes round again
// until the table is empty.  Empty runs are skipped four slots at a time; in a large table
// consecutive slots hold blocks in no useful order for the cache, so the block kAhead slots
// further on is prefetched.
template <bool kPrefetch> ku_home_t *next_subhome(Dying &f) {
  constexpr uint64_t kAhead = 16;
  ku_block_t *t = f.t;
  ku_alloc_t *nodes = t->kub_nodes;
  for (;;) {
    const uint64_t n = t->kub_n;
    uint64_t i = f.i;
    while (i < n && t->kub_used) {
      if (i + 4 <= n && !(reinterpret_cast<uintptr_t>(nodes[i].kua_data) |
                          reinterpret_cast<uintptr_t>(nodes[i + 1].kua_data) |
                          reinterpret_cast<uintptr_t>(nodes[i + 2].kua_data) |
                          reinterpret_cast<uintptr_t>(nodes[i + 3].kua_data))) {
        i += 4;
        continue;
      }
      for (const uint64_t end = i + 4 <= n ? i + 4 : n; i < end; ++i) {
        if (kPrefetch && i + kAhead < n) {
          if (const void *ahead = nodes[i + kAhead].kua_data)
            __builtin_prefetch(static_cast<const char *>(ahead) - 8, 1);
        }
        ku_alloc_t &e = nodes[i];
        if (!e.kua_data) continue;
        if (!t->kub_used) break;  // more entries than counted: caught below
        ku_alloc_check(t, &e);
        f.released = true;
        void *p = e.kua_data;
        if (e.kua_home) {
          take_entry(t, &e);
          f.i = i + 1;
          return static_cast<ku_home_t *>(p);
        }
        const bool heap = !ku_is_preloaded(t, p);
        take_entry(t, &e);
        if (heap) free(p);
      }
    }
    f.i = i;
    if (!t->kub_used) {
      if (no_entry_from(t, i)) return nullptr;
    } else if (f.released) {
      f.i = 0;  // a destructor entered blocks behind the walk
      f.released = false;
      continue;
    }
    assert(!"block table: kub_used disagrees with the occupied slots");
    // Without assertions, go on by the slots themselves.
    t->kub_used = 0;
    for (uint64_t j = 0; j < n; ++j) t->kub_used += nodes[j].kua_data != nullptr;
    if (!t->kub_used) return nullptr;
    f.i = 0;
    f.released = false;
  }
}

// Makes home the next dying level: detaches its lock, runs its destructor.  When memory for one
// more frame ran out, the level takes the place of its parent's, whose lock is then released at
// once; resume() starts the parent's walk again when it is back.
void begin_dying(DyingStack &stack, ku_home_t *home, ku_home_t *parent) {
  void *lock = home->kuh_lock;
  home->kuh_lock = nullptr;
  // Cleared before the call, so that the destructor runs at most once.
  if (ku_destructor_fn d = home->kuh_blocks->kub_destructor) {
    home->kuh_blocks->kub_destructor = nullptr;
    d(home);
  }
  // The destructor may have allocated in the home and so replaced its table.
  ku_block_t *t = home->kuh_blocks;
  assert((!t || t->kub_used <= t->kub_n) && "block table: more entries than slots");
  Dying *f = stack.push();
  if (!f) {
    f = &stack.top();
    release_lock(f->lock);
  }
  f->home = home;
  f->parent = parent;
  f->lock = lock;
  f->t = t;
  f->i = 0;
  f->released = false;
}

// A sub-home met in a dying parent: locked while the parent's lock is held, then ended
// whatever its count (REF_MAX included).
void begin_dying_subhome(DyingStack &stack, ku_home_t *sub, ku_home_t *parent) {
  HomeLock sg(sub);
  ku_block_t *st = sg.table();
  assert(st && "teardown: a sub-home has no block table");
  assert((!st || st->kub_ref >= 1) && "teardown: a sub-home has a zero reference count");
  if (!st) {
    sg.unlock();
    free(sub);
    return;
  }
  st->kub_ref = 0;
  sg.hand_over();
  begin_dying(stack, sub, parent);
}

// Frees what is left of a dying home once its table is empty: preload area, statistics, table,
// and its lock.  The record is its owner's business.
void end_dying(const Dying &f) {
  if (ku_block_t *t = f.t) {
    if (t->kub_preload) {
      mark_returned(t->kub_preload, t->kub_prsize);
      if (!t->kub_preauto) free(t->kub_preload);
    }
    if (t->kub_stats) free(t->kub_stats);
    release_table(t);
    f.home->kuh_blocks = nullptr;
  }
  release_lock(f.lock);
}

// Goes back to the walk of parent once one of its sub-homes is gone.  A destructor below may
// have replaced the parent's table: the walk then starts again on the new one.
void resume(DyingStack &stack, ku_home_t *parent) {
  Dying *f = stack.empty() ? nullptr : &stack.top();
  if (f && f->home == parent) {
    if (parent->kuh_blocks == f->t) return;
  } else {
    // The parent's frame gave way to its sub-home's; its table names its own parent.  There
    // is room again for the frame, as the sub-home's is gone.
    f = stack.push();
    f->home = parent;
    f->parent = parent->kuh_blocks ? parent->kuh_blocks->kub_parent : nullptr;
    f->lock = nullptr;
  }
  f->t = parent->kuh_blocks;
  f->i = 0;
  f->released = false;
}

// Frees everything of the home; the caller holds the home's internal lock, and this releases
// and destroys it.  The record itself is left to the caller.
void _ku_home_deinit(ku_home_t *home) {
  if (!home->kuh_blocks) return;
  DyingStack stack;
  begin_dying(stack, home, nullptr);
  while (!stack.empty()) {
    Dying &f = stack.top();
    ku_home_t *sub = nullptr;
    if (f.t) sub = f.t->kub_n >= 8191 ? next_subhome<true>(f) : next_subhome<false>(f);
    if (sub) {
      begin_dying_subhome(stack, sub, f.home);
      continue;
    }
    ku_home_t *const gone = f.home, *const parent = f.parent;
    end_dying(f);
    stack.pop();
    if (!parent) continue;
    free(gone);
    resume(stack, parent);
  }
}

}  // namespace

// ---- Lifecycle ----

namespace {

// Takes a reference under the home's lock.  Returns 1; 0 for a home without table; -1 for a
// count of zero (a dying home).
int take_ref(ku_home_t *home) {
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t) return 0;
  assert(t->kub_ref != 0 && "ku_home_ref: the home's count is zero");
  if (t->kub_ref == 0) return -1;
  if (t->kub_ref != REF_MAX) ++t->kub_ref;
  return 1;
}

// Drops a reference; the last one ends the home.  Returns 1 when the home was ended, 0 when it
// was not, -1 for a home without table.
int drop_ref(ku_home_t *home) {
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t) return -1;
  // A dying home's count is 0: lowering it would store REF_MAX.
  if (t->kub_ref == REF_MAX || t->kub_ref == 0) return 0;
  if (--t->kub_ref != 0) return 0;
  if (t->kub_parent) {
    // Parent before child: the sub-home's lock goes before its parent's is taken.
    g.unlock();
    end_unreferenced_subhome(home);
    return 1;
  }
  const bool heap_record = !t->kub_hauto;
  _ku_home_deinit(home);
  g.hand_over();
  if (heap_record) free(home);
  return 1;
}

}  // namespace

extern "C" {

KU_API void *ku_home_new(int size) {
  assert(static_cast<uint32_t>(size) >= sizeof(ku_home_t) && "ku_home_new: size below 24");
  if (static_cast<uint32_t>(size) < sizeof(ku_home_t)) {
    ku_seterrno(EINVAL);
    return nullptr;
  }
  // calloc would refuse the sign-extended size as well, with the same ENOMEM.
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  return new_home_record(static_cast<uint64_t>(size), nullptr);
}

KU_API ku_home_t *ku_home_create(void) {
  return static_cast<ku_home_t *>(ku_home_new(sizeof(ku_home_t)));
}

KU_API int ku_home_init(ku_home_t *home) {
  if (!home) return -1;
  home->kuh_blocks = ku_hash_alloc(kFirstSlots);
  home->kuh_lock = nullptr;
  return home->kuh_blocks ? 0 : -1;
}

KU_API void *ku_home_clone(ku_home_t *parent, int size) {
  assert(static_cast<uint32_t>(size) >= sizeof(ku_home_t) && "ku_home_clone: size below 24");
  if (static_cast<uint32_t>(size) < sizeof(ku_home_t)) {
    ku_seterrno(EINVAL);
    return nullptr;
  }
  if (!parent) return ku_home_new(size);
  HomeLock g(parent);
  // A negative size reaches kub_alloc as a huge one and is refused there with ENOMEM.
  return kub_alloc(parent, g.table(), static_cast<uint64_t>(static_cast<int64_t>(size)),
                   alloc_home);
}

KU_API ku_home_t *ku_home_ref(ku_home_t *home) {
  if (!home) {
    ku_seterrno(EFAULT);
    return nullptr;
  }
  const int taken = take_ref(home);
  assert(taken != 0 && "ku_home_ref: the home has no block table");
  return taken > 0 ? home : nullptr;
}

KU_API int ku_home_unref(ku_home_t *home) { return home && drop_ref(home) > 0 ? 1 : 0; }

KU_API uint64_t ku_home_refcount(ku_home_t *home) {
  if (!home) return 0;
  HomeLock g(home);
  ku_block_t *t = g.table();
  return t ? t->kub_ref : 0;
}

KU_API ku_home_t *ku_home_parent(ku_home_t const *home) { return home ? parent_of(home) : nullptr; }

KU_API int ku_home_has_parent(ku_home_t const *home) { return ku_home_parent(home) ? 1 : 0; }

KU_API int ku_home_destructor(ku_home_t *home, void (*destructor)(void *)) {
  if (!home) return ku_seterrno(EFAULT);
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t || t->kub_destructor) return -1;
  t->kub_destructor = destructor;
  return 0;
}

KU_API int ku_home_desctructor(ku_home_t *home, void (*destructor)(void *)) {
  return ku_home_destructor(home, destructor);
}

KU_API void ku_home_deinit(ku_home_t *home) {
  if (!home) return;
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t) return;
  assert(t->kub_ref == 1 && "ku_home_deinit: the home's count is not 1");
  assert(t->kub_hauto && "ku_home_deinit: the home's record is the allocator's");
  assert(!t->kub_parent && "ku_home_deinit: the home is a sub-home");
  if (t->kub_ref != 1 || !t->kub_hauto || t->kub_parent) return;
  _ku_home_deinit(home);
  g.hand_over();
}

KU_API void ku_home_destroy(ku_home_t *home) {
  if (!home) return;
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t) return;
  assert(t->kub_ref == 1 && "ku_home_destroy: the home's count is not 1");
  assert(!t->kub_parent && "ku_home_destroy: the home is a sub-home");
  if (t->kub_ref != 1 || t->kub_parent) return;
  _ku_home_deinit(home);
  g.hand_over();
}

}  // extern "C"

// ---- Move, preload, automatic homes ----
//
// Lock order.  A thread waits for a home's lock only while every home whose lock it holds is an
// ancestor of that home: parent before child, in every operation.  A move holds two homes and
// takes the moved sub-homes' locks as well.  It locks the destination first when that is an
// ancestor of the source (a move into a parent), which keeps the rule; otherwise the two are
// unrelated (a destination below the source is refused) and are locked in address order.  Moves
// that involve a thread-safe home run one at a time under the move mutex, taken before any
// home's lock: so the relation of the two homes cannot change between the test and the locking,
// and one thread at most holds two unrelated homes, which cannot close a cycle with threads that
// only wait downwards.

namespace {

pthread_mutex_t move_mutex = PTHREAD_MUTEX_INITIALIZER;

void move_mutex_lock() { pthread_mutex_lock(&move_mutex); }
void move_mutex_unlock() { pthread_mutex_unlock(&move_mutex); }

// A child of fork() must not inherit the move mutex taken by another thread.
[[gnu::constructor]] void move_guard_fork() {
  pthread_atfork(move_mutex_lock, move_mutex_unlock, move_mutex_unlock);
}

// Holds the move mutex for a move that involves a thread-safe home.  Never held while user code
// runs: a destructor may move too.
class MoveLock {
 public:
  explicit MoveLock(bool take) : held_(take) {
    if (held_) move_mutex_lock();
  }
  ~MoveLock() {
    if (held_) move_mutex_unlock();
  }
  MoveLock(const MoveLock &) = delete;
  MoveLock &operator=(const MoveLock &) = delete;

 private:
  bool held_;
};

// Whether home is one of top's sub-homes or lies below one.  Each home's lock is taken alone,
// so the walk cannot deadlock whatever locks other threads hold.
bool lies_below(const ku_home_t *home, const ku_home_t *top) {
  for (const ku_home_t *h = parent_of(home); h; h = parent_of(h))
    if (h == top) return true;
  return false;
}

// Runs the source's destructor before a move takes any lock, so that it may use any home,
// the two of the move included.  It is taken from the table under the lock: it runs once.
void run_move_destructor(ku_home_t *src) {
  ku_destructor_fn fn;
  {
    HomeLock g(src);
    ku_block_t *s = g.table();
    if (!s || !s->kub_n) return;
    fn = s->kub_destructor;
    s->kub_destructor = nullptr;
  }
  if (fn) fn(src);
}

// Hands the sub-home at data over to a new parent (null: none).
void reparent(void *data, ku_home_t *parent) {
  auto *sub = static_cast<ku_home_t *>(data);
  HomeLock sg(sub);
  if (ku_block_t *st = sg.table()) st->kub_parent = parent;
}

int detach_all(ku_home_t *src) {
  HomeLock g(src);
  ku_block_t *s = g.table();
  if (!s || !s->kub_used) return 0;
  for (uint64_t i = 0; i < s->kub_n; ++i)
    if (s->kub_nodes[i].kua_data && s->kub_nodes[i].kua_home)
      reparent(s->kub_nodes[i].kua_data, nullptr);
  s->kub_used = 0;
  memset(s->kub_nodes, 0, s->kub_n * sizeof(ku_alloc_t));
  return 0;
}

// Blocks carved from the source's preload area stay entered in the source: they lie inside
// its area, which the source keeps and frees, so the destination must never see them.
uint64_t movable_entries(const ku_block_t *s) {
  if (!s->kub_preload) return s->kub_used;
  uint64_t movable = 0;
  for (uint64_t i = 0; i < s->kub_n; ++i) {
    const void *p = s->kub_nodes[i].kua_data;
    if (p && !ku_is_preloaded(s, p)) ++movable;
  }
  return movable;
}

}  // namespace

extern "C" {

KU_API int ku_home_move(ku_home_t *dst, ku_home_t *src) {
  if (!src || dst == src) return 0;
  const bool shared = src->kuh_lock || (dst && dst->kuh_lock);
  if (!dst) {
    MoveLock m(shared);
    return detach_all(src);
  }
  // A home entered into its own table would die twice and be locked twice.
  {
    MoveLock m(shared);
    if (lies_below(dst, src)) return ku_seterrno(EINVAL);
  }
  run_move_destructor(src);

  MoveLock m(shared);
  // The destructor may have moved the destination below the source.
  if (lies_below(dst, src)) return ku_seterrno(EINVAL);
  const bool dst_first =
      lies_below(src, dst) || reinterpret_cast<uintptr_t>(dst) < reinterpret_cast<uintptr_t>(src);
  HomeLockPair g(dst_first ? dst : src, dst_first ? src : dst);
  ku_block_t *s = src->kuh_blocks;
  if (!s || !s->kub_n) return 0;
  ku_block_t *d = dst->kuh_blocks;

  const uint64_t movable = movable_entries(s);
  const uint64_t used = movable + (d ? d->kub_used : 0);
  if (used && (!d || over_two_thirds(used, d->kub_n))) {
    // Grown once, straight to the final size, rather than step by step while entering.
    uint64_t n = d ? d->kub_n : s->kub_n;
    if (d) {
      do n = 4 * n + 3;
      while (over_two_thirds(used, n) && n <= kMaxSlots);
    }
    ku_block_t *t = ku_hash_alloc(n);
    if (!t) return -1;
    if (d) {
      copy_entries(t, d);
      copy_header(t, d);
    }
    dst->kuh_blocks = t;
    if (d) release_table(d);
    d = t;
  }

  if (movable) {
    for (uint64_t i = 0; i < s->kub_n; ++i) {
      ku_alloc_t &e = s->kub_nodes[i];
      if (!e.kua_data || ku_is_preloaded(s, e.kua_data)) continue;
      *ku_block_add(d, e.kua_data) = e;
      if (e.kua_home) reparent(e.kua_data, dst);
      clear_entry(&e);
    }
    s->kub_used -= movable;
  }
  return 0;
}

KU_API void ku_home_preload(ku_home_t *home, int n, int size) {
  if (!home) return;
  HomeLock g(home);
  ku_block_t *t = g.table();
  // The table is looked for under the lock, as another thread may be replacing it.  A home
  // without one gets its first table as from ku_home_init; a lock it has is kept.
  if (!t && !(t = home->kuh_blocks = ku_hash_alloc(kFirstSlots))) return;
  if (t->kub_preload) return;
  // Rounded in 32 bits without signed overflow, then multiplied in 64 bits; a negative result
  // is a huge unsigned one, capped like any other oversized request.
  const auto item = static_cast<int32_t>((static_cast<uint32_t>(size) + 7u) & ~7u);
  uint64_t area = static_cast<uint64_t>(static_cast<int64_t>(n) * item);
  if (area > kMaxPrsize) area = kMaxPrsize;
  t->kub_preload = malloc(area);
  t->kub_prsize = static_cast<uint16_t>(area);
  if (t->kub_preload) mark_unused(t->kub_preload, area);
}

KU_API ku_home_t *ku_home_auto(void *area, int size) {
  if (!area || size < 0) return nullptr;
  const auto addr = reinterpret_cast<uintptr_t>(area);
  const uint64_t gap = (8 - (addr & 7)) & 7;
  const uint64_t table_bytes = sizeof(ku_block_t) + kAutoSlots * sizeof(ku_alloc_t);
  const uint64_t prefix = gap + sizeof(ku_home_t) + table_bytes;
  uint64_t usable = static_cast<uint64_t>(size);
  if (usable < prefix) return nullptr;
  if (usable > prefix + kMaxPrsize) usable = prefix + kMaxPrsize;

  // The gap goes in front: the record and table then lie aligned, and the preload area begins
  // at area + prefix all the same.
  // The buffer is the caller's again, whatever an earlier home laid into it marked.
  mark_returned(area, usable);
  auto *bytes = static_cast<unsigned char *>(area) + gap;
  auto *home = reinterpret_cast<ku_home_t *>(bytes);
  auto *t = reinterpret_cast<ku_block_t *>(bytes + sizeof(ku_home_t));
  memset(bytes, 0, sizeof(ku_home_t) + table_bytes);
  home->kuh_size = size;
  home->kuh_blocks = t;
  t->kub_n = kAutoSlots;
  t->kub_ref = 1;
  t->kub_preload = static_cast<unsigned char *>(area) + prefix;
  t->kub_prsize = static_cast<uint16_t>(usable - prefix);
  t->kub_hauto = 1;
  t->kub_auto = 1;
  t->kub_preauto = 1;
  t->kub_auto_all = 1;
  mark_unused(t->kub_preload, t->kub_prsize);
  return home;
}

// ---- User mutex ----

KU_API int ku_home_is_threadsafe(ku_home_t const *home) { return home && home->kuh_lock ? 1 : 0; }

KU_API int ku_home_mutex_lock(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  if (take_ref(home) <= 0) return ku_seterrno(EINVAL);
  if (!home->kuh_lock) return 0;
  // The reference stays taken when the lock fails, as the caller's unlock will not follow.
  const int r = _ku_home_mutex_locker(home->kuh_lock);
  return r ? ku_seterrno(r) : 0;
}

KU_API int ku_home_mutex_unlock(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  // The user mutex goes first: dropping the last reference destroys it.
  if (home->kuh_lock) {
    const int r = _ku_home_mutex_unlocker(home->kuh_lock);
    if (r) return ku_seterrno(r);
  }
  return drop_ref(home) < 0 ? ku_seterrno(EINVAL) : 0;
}

KU_API int ku_home_lock(ku_home_t *home) {
  if (!home) return EFAULT;
  return home->kuh_lock ? _ku_home_mutex_locker(home->kuh_lock) : -1;
}

KU_API int ku_home_trylock(ku_home_t *home) {
  if (!home) return EFAULT;
  return home->kuh_lock ? _ku_home_mutex_trylocker(home->kuh_lock) : -1;
}

KU_API int ku_home_unlock(ku_home_t *home) {
  if (!home) return EFAULT;
  return home->kuh_lock ? _ku_home_mutex_unlocker(home->kuh_lock) : -1;
}

// ---- Statistics ----

KU_API void ku_home_init_stats(ku_home_t *home) {
  if (!home) return;
  if (!home->kuh_blocks) home->kuh_blocks = ku_hash_alloc(kFirstSlots);
  ku_block_t *t = home->kuh_blocks;
  if (!t) return;
  if (!t->kub_stats) {
    t->kub_stats = static_cast<ku_home_stats_t *>(malloc(sizeof(ku_home_stats_t)));
    if (!t->kub_stats) return;
  }
  // A home's own record always holds all of its fields.
  memset(t->kub_stats, 0, sizeof(ku_home_stats_t));
  t->kub_stats->kst_size = sizeof(ku_home_stats_t);
  t->kub_stats->kst_slots = static_cast<uint32_t>(t->kub_n);
}

KU_API void ku_home_get_stats(ku_home_t *home, int, ku_home_stats_t *stats, int size) {
  // Negative sizes are refused rather than read as huge ones.
  if (!stats || size < 4) return;
  memset(stats, 0, static_cast<size_t>(size));
  HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t || !t->kub_stats) return;
  ku_home_stats_t *own = t->kub_stats;
  const int32_t n = own->kst_size < size ? own->kst_size : size;
  own->kst_prsize = t->kub_prsize;
  own->kst_prused = t->kub_prused;
  memcpy(stats, own, static_cast<size_t>(n));
  stats->kst_size = n;
}

KU_API void ku_home_stat_add(ku_home_stats_t *total, ku_home_stats_t const *add) {
  total->kst_subhomes += add->kst_subhomes;
  total->kst_resizes += add->kst_resizes;
  if (add->kst_slots > total->kst_slots) total->kst_slots = add->kst_slots;
  total->kst_alloc_count += add->kst_alloc_count;
  total->kst_alloc_bytes += add->kst_alloc_bytes;
  total->kst_alloc_rounded += add->kst_alloc_rounded;
  total->kst_alloc_rounded_max += add->kst_alloc_rounded_max;
  total->kst_free_count += add->kst_free_count;
  total->kst_free_bytes += add->kst_free_bytes;
  total->kst_free_rounded += add->kst_free_rounded;
  total->kst_live_count += add->kst_live_count;
  total->kst_live_bytes += add->kst_live_bytes;
  total->kst_live_rounded += add->kst_live_rounded;
}

}  // extern "C"
