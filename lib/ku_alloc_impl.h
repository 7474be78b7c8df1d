// SPDX-License-Identifier: MIT
// Internal layout of a home's block table, shared by the allocator and its tests.
// Not installed: callers see ku_block_t as an opaque type.
#ifndef KU_ALLOC_IMPL_H
#define KU_ALLOC_IMPL_H

#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include <cstddef>
#include <cstdint>

inline constexpr unsigned SIZEBITS = 31;
inline constexpr uint64_t REF_MAX = ~uint64_t{0};

// One slot of a block table.  A free slot is all zero.
struct ku_alloc_t {
  uint32_t kua_size : SIZEBITS;  // size as last requested
  uint32_t kua_home : 1;         // the allocation is a sub-home
  void *kua_data;                // the allocation, or null for a free slot
};

using ku_destructor_fn = void (*)(void *);

// Header of a block table; kub_n slots follow it in the same memory block.
struct ku_block_s {
  ku_home_t *kub_parent;
  void *kub_preload;
  ku_home_stats_t *kub_stats;
  ku_destructor_fn kub_destructor;
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
  uint32_t kub_mapped : 1;    // the table has pages of its own (mmap), given back with munmap
  ku_alloc_t kub_nodes[];
};

static_assert(sizeof(ku_home_t) == 24, "home record is 24 bytes");
static_assert(sizeof(ku_alloc_t) == 16, "allocation entry is 16 bytes");
static_assert(sizeof(ku_block_t) == 64, "table header is 64 bytes");
static_assert(offsetof(ku_block_t, kub_nodes) == 64, "slots follow the header");
static_assert(sizeof(ku_home_stats_t) == 120, "statistics record is 120 bytes");

// Holds a home's internal mutex from construction to destruction (MEMLOCK ... UNLOCK), so that
// no return path can leave it taken.  A home without mutexes costs one null test each way.
// The mutex is looked up again when it is released, as the teardown detaches it from the home;
// a path that hands the held mutex to the teardown, or frees the record, calls hand_over().
class HomeLock {
 public:
  explicit HomeLock(const ku_home_t *home) noexcept : home_(home) {
    if (home_ && home_->kuh_lock) _ku_home_locker(home_->kuh_lock);
  }
  ~HomeLock() { unlock(); }
  HomeLock(const HomeLock &) = delete;
  HomeLock &operator=(const HomeLock &) = delete;

  // The home's current table (null for a null home or one without table).  Read it again
  // after anything that may replace the table: growth, a destructor, a move.
  ku_block_t *table() const noexcept { return home_ ? home_->kuh_blocks : nullptr; }

  // Releases the mutex now; the guard then does nothing more.
  void unlock() noexcept {
    if (home_ && home_->kuh_lock) _ku_home_unlocker(home_->kuh_lock);
    home_ = nullptr;
  }

  // Forgets the home without touching it: the teardown has released and destroyed the mutex.
  void hand_over() noexcept { home_ = nullptr; }

 private:
  const ku_home_t *home_;
};

// Holds two homes' internal mutexes, taken in the order given (a parent before its child, a
// move's source before its destination) and released in the reverse order.  The second home
// may be null or the first one again; it is then not locked a second time.
class HomeLockPair {
 public:
  HomeLockPair(const ku_home_t *first, const ku_home_t *second) noexcept
      : first_(first), second_(second == first ? nullptr : second) {}

 private:
  HomeLock first_;  // declared first: constructed first, destroyed last
  HomeLock second_;
};

#endif  // KU_ALLOC_IMPL_H
