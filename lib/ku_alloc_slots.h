// SPDX-License-Identifier: MIT
// The hot path of a home's block table, inline in every file that needs it: the slot sequence,
// the lookup (with its profiling counters), insertion, clearing an entry, and whether an
// address lies in a preload area.  Callers hold the home's internal lock.
#ifndef KU_ALLOC_SLOTS_H
#define KU_ALLOC_SLOTS_H

#include "ku_alloc_impl.h"

#include <atomic>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

// ---- Lookup counters ----

// Lookups in different homes may run on different threads without a common lock.  The
// counters are diagnostic, so a relaxed load and store (no locked read-modify-write) is enough
// to keep the updates free of data races while costing what plain additions cost.
inline void counter_add(uint64_t &counter, uint64_t amount) {
  std::atomic_ref<uint64_t> c(counter);
  c.store(c.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

inline uint64_t counter_read(uint64_t &counter) {
  return std::atomic_ref<uint64_t>(counter).load(std::memory_order_relaxed);
}

inline void counter_set(uint64_t &counter, uint64_t value) {
  std::atomic_ref<uint64_t>(counter).store(value, std::memory_order_relaxed);
}

// ---- Slot sequence ----

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
inline constexpr SlotMath kSlotMath;

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

inline uint64_t next_slot(uint64_t i, uint64_t step, uint64_t n) {
  i += step;
  return i >= n ? i - n : i;
}

// More than two thirds of the slots are taken.  Tables stay below kMaxSlots, so 3 * used does
// not overflow.
constexpr bool over_two_thirds(uint64_t used, uint64_t n) { return 3 * used > 2 * n; }

// ---- Lookup, insertion, clearing ----

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
inline void clear_entry(ku_alloc_t *e) { memset(e, 0, sizeof *e); }

// Takes an entry out of its table.  Every path does so before it can run user code (a
// sub-home's destructor): a destructor may replace the table or move blocks into it, so no entry
// pointer may be held across one, and a home that is dying must no longer be entered where a
// destructor could free it again or move it away.
inline void take_entry(ku_block_t *t, ku_alloc_t *e) {
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

// Whether p lies in the table's preload area: a carved block, not one of the C library's.
inline bool ku_is_preloaded(const ku_block_t *t, const void *p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(t->kub_preload);
  return t->kub_preload && start <= a && a < start + t->kub_prsize;
}

// The check of one entry found or walked (ALLOC_CHECK): an entry exists.
inline int ku_alloc_check(const ku_block_t *, const ku_alloc_t *e) { return e != nullptr; }

#endif  // KU_ALLOC_SLOTS_H
