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
#include <type_traits>

namespace kui {

// ---- Lookup counters ----

// The nine exported counters are plain objects that programs read after each call, so a
// program that looks up from one thread must find them exact at once; but a lookup must not
// write a cache line that other threads write too, or homes that share nothing slow each other
// down.  So the process is in one of two modes, held in tally_mode:
//   - one writer: a single registered thread, the owner, adds each lookup straight into the
//     counters with relaxed loads and stores, as plain additions cost;
//   - shared: every thread adds into its own LookupTally and adds that into the counters under
//     the tally lock every kTallyBatch lookups and when it ends.
// The first lookup of a second thread switches to shared mode; once only one registered thread
// is left, it takes the counters back at its next lookup, adding its own tally first.  The
// switch has to stop the owner's direct writes before any batch is added, without a fence on
// the owner's path: a batch added between the owner's load and store of a counter would be
// overwritten.  The owner raises its busy flag before it reads its owns flag and drops it after
// its last store; the switching thread clears the owner's owns flag (and stores the new mode),
// runs membarrier() (a fence on every thread of the process) and waits for the busy flag to
// drop.  Either the owner raised the flag before its fence, and the switcher sees it and waits,
// or it reads owns after it and takes the shared path.  owns mirrors tally_mode beside busy, in
// the thread's own line, so that the owner's test is one load of its own tally.  Where the
// kernel offers no such barrier, owns stays clear, the owner's mode carries bit 0 and the owner
// runs a fence of its own before it reads the mode again (ku_alloc_stat.cpp).
struct LookupTally {
  uint8_t busy;    // the owner is between its reading of owns and its last direct store
  uint8_t joined;  // 0: not registered; 1: registered, with an exit handler; 2: without one
  uint8_t owns;    // tally_mode names this tally, unfenced; written under the tally lock
  uint32_t since;  // lookups added since the last flush
  uint64_t count, size, used, max_size, max_used, loop, collision, collision_used, collision_size;
};
static_assert(std::is_trivially_default_constructible_v<LookupTally>);

// Initial-exec: one thread-pointer-relative access, no call, in libku.so as in libku.a.
extern __thread LookupTally thread_tally __attribute__((tls_model("initial-exec")));
// The owner's LookupTally (bit 0 set when it must fence), kTallyShared, or kTallyVacant.  Read
// by every lookup and written only when the mode changes, so it has a cache line of its own:
// the counters' line, written by every batch, would take it from all threads' caches.
struct alignas(64) TallyMode {
  std::atomic<uintptr_t> word;
};
extern TallyMode tally_mode;
inline constexpr uintptr_t kTallyVacant = 0;
inline constexpr uintptr_t kTallyShared = 2;
inline constexpr uint32_t kTallyBatch = 4096;

// ku_alloc_stat.cpp: the rare paths.
void tally_flush() noexcept;                                          // batch full
void tally_slow(uint64_t n, uint64_t used, uint64_t steps) noexcept;  // anything else

template <class T> inline T counter_read(T &counter) {
  return std::atomic_ref<T>(counter).load(std::memory_order_relaxed);
}
template <class T> inline void counter_set(T &counter, T value) {
  std::atomic_ref<T>(counter).store(value, std::memory_order_relaxed);
}

// Adds one lookup in a table of n slots holding used entries, which took steps probe steps (a
// hit at the start slot takes none), into the counters' nine values c.  Written once for the
// exported objects and for a thread's tally.
template <class Counters> [[gnu::always_inline]] inline void tally_add(Counters c, uint64_t n,
                                                                       uint64_t used,
                                                                       uint64_t steps) {
  c.add(c.count, 1);
  c.add(c.size, n);
  c.add(c.used, used);
  if (n > c.get(c.max_size)) c.put(c.max_size, n);
  if (used > c.get(c.max_used)) c.put(c.max_used, used);
  if (steps == 0) return;
  c.add(c.loop, steps);
  if (steps > c.get(c.collision)) {
    c.put(c.collision, steps);
    c.put(c.collision_used, used);
    c.put(c.collision_size, n);
  }
}

// The exported counters, written with relaxed loads and stores (by the owner, or under the
// tally lock).
struct GlobalCounters {
  uint64_t &count = count_ku_block_find, &size = size_ku_block_find, &used = used_ku_block_find,
           &max_size = max_size_ku_block_find, &max_used = max_used_ku_block_find,
           &loop = count_ku_block_find_loop, &collision = ku_block_find_collision,
           &collision_used = ku_block_find_collision_used,
           &collision_size = ku_block_find_collision_size;
  static uint64_t get(uint64_t &v) { return counter_read(v); }
  static void put(uint64_t &v, uint64_t x) { counter_set(v, x); }
  static void add(uint64_t &v, uint64_t x) { counter_set(v, counter_read(v) + x); }
};

// A thread's own tally, which only its thread writes while it lives.
struct TallyCounters {
  LookupTally &t;
  uint64_t &count = t.count, &size = t.size, &used = t.used, &max_size = t.max_size,
           &max_used = t.max_used, &loop = t.loop, &collision = t.collision,
           &collision_used = t.collision_used, &collision_size = t.collision_size;
  static uint64_t get(uint64_t &v) { return v; }
  static void put(uint64_t &v, uint64_t x) { v = x; }
  static void add(uint64_t &v, uint64_t x) { v += x; }
};

// Counts one lookup (see tally_add).
[[gnu::always_inline]] inline void count_lookup(uint64_t n, uint64_t used, uint64_t steps) {
  LookupTally &me = thread_tally;
  std::atomic_ref<uint8_t> busy(me.busy);
  busy.store(1, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);  // membarrier() is the hardware's fence
  if (std::atomic_ref<uint8_t>(me.owns).load(std::memory_order_relaxed)) [[likely]] {
    tally_add(GlobalCounters{}, n, used, steps);
    busy.store(0, std::memory_order_release);
    return;
  }
  busy.store(0, std::memory_order_relaxed);
  const uintptr_t mode = tally_mode.word.load(std::memory_order_relaxed);
  if (mode == kTallyShared && me.joined == 1) [[likely]] {
    tally_add(TallyCounters{me}, n, used, steps);
    if (++me.since >= kTallyBatch) [[unlikely]]
      tally_flush();
    return;
  }
  tally_slow(n, used, steps);
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

}  // namespace kui

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
  assert(p && "ku_block_find: null address");

  const uint64_t start = kui::start_slot(reinterpret_cast<uintptr_t>(p), n);
  ku_alloc_t *nodes = t->kub_nodes;
  // Most lookups hit at the start slot: no probe steps to walk or count.
  if (nodes[start].kua_data == p) [[likely]] {
    kui::count_lookup(n, used, 0);
    return &nodes[start];
  }
  if (hole && !nodes[start].kua_data) *hole = &nodes[start];
  const uint64_t step = kui::probe_step(n);
  ku_alloc_t *hit = nullptr;
  uint64_t i = kui::next_slot(start, step, n);
  uint64_t steps = 1;
  while (i != start) {
    if (nodes[i].kua_data == p) {
      hit = &nodes[i];
      break;
    }
    if (hole && !*hole && !nodes[i].kua_data) *hole = &nodes[i];
    i = kui::next_slot(i, step, n);
    ++steps;
  }

  // The totals are the same as if each step had been counted as it was taken.
  kui::count_lookup(n, used, steps);
  return hit;
}

// Duplicates are not looked for: the caller enters only addresses that the table lacks.
[[gnu::always_inline]] inline ku_alloc_t *ku_block_add(ku_block_t *t, void *p) {
  assert(p && "ku_block_add: null address");
  const uint64_t n = t->kub_n;
  uint64_t i = kui::start_slot(reinterpret_cast<uintptr_t>(p), n);
  if (t->kub_nodes[i].kua_data) [[unlikely]] {
    const uint64_t step = kui::probe_step(n);
    do i = kui::next_slot(i, step, n);
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

// The check of one entry found or walked: an entry exists.
inline int ku_alloc_check(const ku_block_t *, const ku_alloc_t *e) { return e != nullptr; }

#endif  // KU_ALLOC_SLOTS_H
