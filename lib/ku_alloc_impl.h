// SPDX-License-Identifier: MIT
// The allocator's internal header, shared by its files (and read by its tests): the records of a
// home's block table, the constants, the lock guards, the walk over a tree of homes, and the
// declarations that cross files, grouped under the file that defines them.  The hot path of the
// table (lookup, insertion, clearing) is inline in ku_alloc_slots.h; the memory-checker marks are
// in ku_alloc_track.h.  Not installed: callers see ku_block_t as an opaque type.
#ifndef KU_ALLOC_IMPL_H
#define KU_ALLOC_IMPL_H

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// ---- Records and constants ----

inline constexpr unsigned SIZEBITS = 31;
inline constexpr uint64_t REF_MAX = ~uint64_t{0};

// One slot of a block table.  A free slot is all zero.
struct ku_alloc_t {
  uint32_t kua_size : SIZEBITS;  // size as last requested
  uint32_t kua_home : 1;         // the allocation is a sub-home
  void *kua_data;                // the allocation, or null for a free slot
};

// Header of a block table; kub_n slots follow it in the same memory block.
struct ku_block_s {
  ku_home_t *kub_parent;
  void *kub_preload;
  ku_home_stats_t *kub_stats;
  void (*kub_destructor)(void *);
  uint64_t kub_ref;
  uint64_t kub_used;
  uint64_t kub_n;
  uint16_t kub_prsize;
  uint16_t kub_prused;
  uint32_t kub_hauto : 1;     // the home record is not the allocator's heap memory
  uint32_t kub_auto : 1;      // the table itself lies in a caller's buffer
  uint32_t kub_preauto : 1;   // the preload area lies in a caller's buffer
  uint32_t kub_auto_all : 1;  // an automatic home that has made no heap allocation yet
  uint32_t kub_inrec : 1;     // the table shares one heap block with its home record
  uint32_t kub_mapped : 1;    // the table came from the spare pool or has pages of its own
  uint32_t kub_named : 1;     // the home has a name (ku_alloc_name.cpp)
  uint32_t kub_tracked : 1;   // the home is on the list of live homes (ku_alloc_debug.cpp)
  ku_alloc_t kub_nodes[];
};

static_assert(sizeof(ku_home_t) == 24, "home record is 24 bytes");
static_assert(sizeof(ku_alloc_t) == 16, "allocation entry is 16 bytes");
static_assert(sizeof(ku_block_t) == 64, "table header is 64 bytes");
static_assert(offsetof(ku_block_t, kub_nodes) == 64, "slots follow the header");
static_assert(sizeof(ku_home_stats_t) == 120, "statistics record is 120 bytes");

enum alloc_kind { alloc_plain = 0, alloc_zeroed = 1, alloc_home = 2 };

// The project's own names that cross files live in namespace kui and are always written with
// it; file-local helpers live in anonymous namespaces; public names begin with ku_ or KU_.  The
// records and the few internal entry points above and below that keep their established names
// (ku_block_find, ku_hash_alloc, _ku_home_deinit, ...) stay global.
namespace kui {

inline constexpr uint64_t kFirstSlots = 31;    // a new home's table
inline constexpr uint64_t kAutoSlots = 7;      // the table laid into an automatic home's buffer
inline constexpr uint64_t kMaxPrsize = 65535;  // kub_prsize is 16 bits wide
inline constexpr uint64_t kSizeLimit = uint64_t{1} << SIZEBITS;
// Far beyond any table that fits in memory; it keeps 3 * used, 4n + 3 and the byte count of a
// table clear of 64-bit overflow.
inline constexpr uint64_t kMaxSlots = uint64_t{1} << 56;
inline constexpr unsigned char kFreedFill = 0xAA;

constexpr uint64_t round8(uint64_t n) { return (n + 7) & ~uint64_t{7}; }

// The bytes of a table of n slots.  The header has the size of four entries (static_asserts
// above).
constexpr uint64_t table_bytes(uint64_t n) { return (n + 4) * sizeof(ku_alloc_t); }

// A table grows when more than two thirds of its slots are taken, fourfold: 31, 127, 511, ...
// slots.  Tables stay below kMaxSlots, so neither 3 * used nor 4n + 3 overflows.
constexpr bool over_two_thirds(uint64_t used, uint64_t n) { return 3 * used > 2 * n; }
constexpr uint64_t grown_slots(uint64_t n) { return 4 * n + 3; }

// ---- Ended homes ----

// What kuh_lock holds in a record that ending its home hands back to the C library: the freed
// fill.  No mutex block can lie there (the address is not canonical on x86-64), so a call that
// finds it was given a home that has ended, and stops with a message instead of calling a lock
// hook with it.  Free() of the C library leaves the third word of a small block alone, so the
// mark usually survives until the block is handed out again.
inline constexpr uintptr_t kEndedLock = ~uintptr_t{0} / 0xFF * kFreedFill;
inline bool is_ended_lock(const void *lock) noexcept {
  return reinterpret_cast<uintptr_t>(lock) == kEndedLock;
}

// Writes "CALL: home ADDR: already ended ..." on standard error and aborts.  Inline, so that the
// lock guards that call it from every file call into no file.
[[noreturn, gnu::cold]] inline void home_ended(const ku_home_t *home, const char *call) noexcept {
  fprintf(stderr,
          "%s: home %p: already ended (its last reference was dropped, or its parent ended, "
          "before this call)\n",
          call ? call : "ku", static_cast<const void *>(home));
  abort();
}

// Gives the record of a home that has ended back to the C library, marked as ended.
inline void free_home_record(ku_home_t *home) noexcept {
  home->kuh_lock = reinterpret_cast<void *>(kEndedLock);
  // The compiler must not drop the mark as a dead store before free().
  asm volatile("" : : "r"(home) : "memory");
  free(home);
}

// A zero-filled block for the allocator's own records and tables.  The C library's calloc skips
// its per-thread cache, which makes it twice as slow as malloc and a clear for small blocks;
// large ones keep calloc, which knows fresh pages to be zero.  The empty asm keeps the compiler
// from folding malloc and memset back into calloc.
inline void *zeroed(size_t bytes) noexcept {
  if (bytes > 4096) return calloc(1, bytes);
  void *p = malloc(bytes);
  if (!p) return nullptr;
  asm volatile("" : "+r"(p));
  return memset(p, 0, bytes);
}

// ---- Lock guards ----

// Takes and releases one home's internal mutex; a home without mutexes costs one null test each.
// call names the public call for the message about an ended home.
inline void lock_home(const ku_home_t *home, const char *call = nullptr) noexcept {
  if (home && home->kuh_lock) {
    if (is_ended_lock(home->kuh_lock)) [[unlikely]]
      home_ended(home, call);
    _ku_home_locker(home->kuh_lock);
  }
}
inline void unlock_home(const ku_home_t *home) noexcept {
  if (home && home->kuh_lock) _ku_home_unlocker(home->kuh_lock);
}

// Holds a home's internal mutex from construction to destruction (lock_home ... unlock_home), so
// that no return path can leave it taken.  The mutex is looked up again when it is released, as the
// teardown detaches it from the home; a path that hands the held mutex to the teardown, or frees
// the record, calls hand_over().
class HomeLock {
 public:
  explicit HomeLock(const ku_home_t *home, const char *call = nullptr) noexcept : home_(home) {
    lock_home(home_, call);
  }
  ~HomeLock() { unlock(); }
  HomeLock(const HomeLock &) = delete;
  HomeLock &operator=(const HomeLock &) = delete;

  // The home's current table (null for a null home or one without table).  Read it again
  // after anything that may replace the table: growth, a destructor, a move.
  ku_block_t *table() const noexcept { return home_ ? home_->kuh_blocks : nullptr; }

  // Releases the mutex now; the guard then does nothing more.
  void unlock() noexcept {
    unlock_home(home_);
    home_ = nullptr;
  }

  // Forgets the home without touching it: the teardown has released and destroyed the mutex.
  void hand_over() noexcept { home_ = nullptr; }

 private:
  const ku_home_t *home_;
};

// ---- Cross-file declarations, by defining file ----

// ku_alloc_pool.cpp
void release_table(ku_block_t *t) noexcept;  // gives back a table that is dropped
void *take_area(uint64_t bytes) noexcept;    // room for a preload area, or null
void give_area(void *area, uint64_t bytes) noexcept;
// The pool's lock, for the fork handler alone.
void pool_fork_lock() noexcept;
void pool_fork_unlock() noexcept;
void pool_fork_child() noexcept;        // unlocks, in the child
void pool_give_back_spares() noexcept;  // for the allocation-failure tests

// ku_alloc_table.cpp
ku_block_t *replace_table(ku_home_t *home, uint64_t n) noexcept;
// The home's table t (null: none) with room for one more entry: replaced by a grown one first
// when it is too full, or by a first one.  Null when memory ran out.
inline ku_block_t *room_for_one(ku_home_t *home, ku_block_t *t) noexcept {
  if (t && !over_two_thirds(t->kub_used, t->kub_n)) return t;
  return replace_table(home, t ? grown_slots(t->kub_n) : kFirstSlots);
}
// A walk up through homes without a lock that other threads may own, under the move mutex:
// while it runs, a table that such a home drops is kept until unowned_walk_end.
void unowned_walk_begin() noexcept;
void unowned_walk_end() noexcept;
// The parent of a home without a lock, its table pointer and parent read atomically.
ku_home_t *unowned_parent_of(const ku_home_t *home) noexcept;
void retired_fork_lock() noexcept;  // the retired-tables lock, for the fork handler alone
void retired_fork_unlock() noexcept;

// ku_alloc.cpp: sub-homes are blocks of their parents, made and ended there.
// A heap home's record with its first table in one zeroed block (ku_home_new).
ku_home_t *new_home_record(uint64_t size, ku_home_t *parent) noexcept;
void *alloc_subhome(ku_home_t *parent, uint64_t size) noexcept;
void end_unreferenced_subhome(ku_home_t *sub, ku_home_t *parent) noexcept;

// ku_home_tree.cpp
ku_home_t *parent_of(const ku_home_t *home) noexcept;
void run_destructor_once(ku_home_t *home) noexcept;

// ku_home.cpp
int take_ref(ku_home_t *home, const char *call) noexcept;
int drop_ref(ku_home_t *home, const char *call) noexcept;

// ku_alloc_stat.cpp
// The tally lock of the lookup counters, for the fork handler alone.
void tally_fork_lock() noexcept;
void tally_fork_unlock_parent() noexcept;
void tally_fork_unlock_child() noexcept;

// ku_alloc_lock.cpp
void move_mutex_lock() noexcept;
void move_mutex_unlock() noexcept;

// ku_alloc_name.cpp: the names lock is taken last, under any home's lock.
const char *name_of(const ku_home_t *home, const ku_block_t *t) noexcept;  // under home's lock
void forget_name(const ku_home_t *home) noexcept;                          // the home is ending
void names_fork_lock() noexcept;  // the names lock, for the fork handler alone
void names_fork_unlock() noexcept;

// ku_alloc_debug.cpp: the live-homes lock is taken first, before any home's lock.
void track_home(ku_home_t *home) noexcept;  // a new heap home, not yet shared
void live_fork_lock() noexcept;             // the live-homes lock, for the fork handler alone
void live_fork_unlock() noexcept;
// Writes the line that tells why data is not a block of the home (whose lock the caller holds,
// t its table) on standard error, for the assertion that follows.
void foreign_block(const ku_home_t *home, const ku_block_t *t, const void *data,
                   const char *call) noexcept;
// Holds the live-homes lock while a home's last reference may go, once tracking has ever been
// on (otherwise it does nothing), so that the walk over live homes never meets a dying one.
class LiveLock {
 public:
  LiveLock() noexcept;
  ~LiveLock() { unlock(); }
  LiveLock(const LiveLock &) = delete;
  LiveLock &operator=(const LiveLock &) = delete;
  // Takes an ending top-level home off the list, if it is on it (kub_tracked).
  void forget(const ku_home_t *home, const ku_block_t *t) noexcept;
  // Inline, as it is called twice on every last reference and mostly finds nothing held.
  void unlock() noexcept {
    if (held_) release();
  }

 private:
  void release() noexcept;
  bool held_;
};

}  // namespace kui

// ---- Internal entry points with established names ----

ku_block_t *ku_hash_alloc(uint64_t n) noexcept;  // a zeroed table of n slots, kub_ref 1 (pool)
void _ku_home_deinit(ku_home_t *home) noexcept;  // the teardown (ku_home_tree.cpp)
// The statistics hooks of an allocation and a free (ku_alloc_stat.cpp).
void ku_home_stats_alloc(ku_block_t *t, const void *preload, uint64_t size,
                         alloc_kind kind) noexcept;
void ku_home_stats_free(ku_block_t *t, const void *preload, uint32_t size) noexcept;

#endif  // KU_ALLOC_IMPL_H
