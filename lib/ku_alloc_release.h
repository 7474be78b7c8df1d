// SPDX-License-Identifier: MIT
// The order in which a teardown frees the plain blocks of a large table (ku_alloc_release.cpp),
// and the mapped scratch room it orders them in (ku_alloc_pool.cpp).
#ifndef KU_ALLOC_RELEASE_H
#define KU_ALLOC_RELEASE_H

#include "ku_alloc_impl.h"

#include <cstdint>

namespace kui {

// Mapped room for the teardown's ordering of addresses, and its return.
void *take_scratch(uint64_t bytes, uint64_t *got) noexcept;
void give_scratch(void *room, uint64_t bytes) noexcept;

// Plain heap blocks gathered in the walk of a large table and freed after it, in nearly
// descending address order (lib/ku_alloc_release.cpp).  glibc's free of a block above its fast
// sizes merges it with its neighbours and links it into a bin: in the table's slot order, which
// is no order in memory, nearly every free misses the cache several times, while in address
// order the neighbours are at hand (measured: 256 B blocks of 1e5 and 1e6 homes cost about a
// third as much, ordering included).  Small blocks go to the fast bins without touching a
// neighbour; they are gathered only from very large tables (kFewestSmall).  The order of plain
// frees is not observable; sub-homes and destructors keep theirs.  The room comes from
// take_scratch; without it, blocks are freed in slot order: the teardown never fails for it.
class LateFrees {
 public:
  // Requests of more than this many bytes leave the fast bins (measured: 120 B fast, 128 B not).
  static constexpr uint32_t kLargest = 120;
  // Fewer blocks lie close enough in the cache for slot order to cost little, less than the sort
  // (measured: 3,000 blocks of 256 B end faster unsorted, 10,000 sorted).
  static constexpr uint64_t kFewest = 8192;
  // From this many on, small blocks are gathered too.  Their frees cost little in any order,
  // but glibc hands them out again last freed first: after a slot-order release of a big home
  // each later malloc of their size chased a pointer to a random place in the heap (measured
  // at 1e6 blocks of 64 B: the program's next malloc/free pairs took 48 ns instead of 16, and
  // the next home of that size 42 ns a block instead of 33).  Below it slot order was cheaper.
  static constexpr uint64_t kFewestSmall = uint64_t{1} << 17;
  // Blocks of the C library's smallest chunk (32 bytes, for requests up to 24) stay in slot
  // order even then: at 1e6 blocks of 16 B it was the cheaper order, for the home and after.
  static constexpr uint32_t kSmallest = 24;

  LateFrees() noexcept = default;
  ~LateFrees() {
    if (keys_) finish();  // most teardowns are of small homes and never took room
  }
  LateFrees(const LateFrees &) = delete;
  LateFrees &operator=(const LateFrees &) = delete;

  // Room for the entries of table t, if it is large enough to be worth ordering: true when
  // blocks of t are to be passed to add().
  bool prepare(const ku_block_t *t) noexcept { return t->kub_used >= kFewest && make_room(t); }

  // Whether a heap block of size bytes is to be passed to add().
  bool takes(uint32_t size) const noexcept {
    return size > kLargest || (small_ && size > kSmallest);
  }

  // Takes a block to free later; a full room is emptied first.
  void add(void *p) noexcept {
    if (count_ == cap_) flush();
    keys_[count_++] = reinterpret_cast<uintptr_t>(p);
  }

  // Frees the gathered blocks, highest address first (through release: tests watch the order).
  void flush(void (*release)(void *) = free) noexcept;

 private:
  bool make_room(const ku_block_t *t) noexcept;
  void finish() noexcept;
  const uintptr_t *order() noexcept;
  const uintptr_t *sort(uintptr_t lo, uintptr_t hi) noexcept;

  uintptr_t *keys_ = nullptr;  // cap_ keys, then room for as many more to order them into
  uint64_t bytes_ = 0;
  uint64_t cap_ = 0;
  uint64_t count_ = 0;
  uint64_t n_ = 0;      // slots of the largest table gathered from
  bool small_ = false;  // the level being walked gives its small blocks too
};

}  // namespace kui

#endif  // KU_ALLOC_RELEASE_H
