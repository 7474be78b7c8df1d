// SPDX-License-Identifier: MIT
// The order in which a teardown releases the plain blocks of a large table (LateFrees).
#include "ku_alloc_release.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

// Frees what is gathered and gives the room back.
void kui::LateFrees::finish() noexcept {
  flush();
  kui::give_scratch(keys_, bytes_);
}

// prepare() for a table of kFewest entries or more.
bool kui::LateFrees::make_room(const ku_block_t *t) noexcept {
  small_ = t->kub_used >= kFewestSmall;
  n_ = t->kub_n > n_ ? t->kub_n : n_;
  if (cap_ >= t->kub_used) return keys_ != nullptr;
  flush();
  if (keys_) kui::give_scratch(keys_, bytes_);
  // Two arrays of addresses: the keys and the second buffer of their ordering.
  keys_ = static_cast<uintptr_t *>(kui::take_scratch(2 * t->kub_used * sizeof(uintptr_t), &bytes_));
  cap_ = keys_ ? bytes_ / (2 * sizeof(uintptr_t)) : 0;
  return keys_ != nullptr;
}

void kui::LateFrees::flush(void (*release)(void *)) noexcept {
  if (!count_) return;
  const uintptr_t *sorted = order();
  constexpr uint64_t kAhead = 8;
  for (uint64_t i = 0; i < count_; ++i) {
    if (i + kAhead < count_)
      __builtin_prefetch(reinterpret_cast<const char *>(sorted[i + kAhead]) - 8, 1);
    release(reinterpret_cast<void *>(sorted[i]));
  }
  count_ = 0;
}

// Puts the keys in nearly descending order and returns the array that holds them.  The walk
// gathered them in slot order, and a block's slot is its address modulo the table's n slots:
// the keys of any stretch of fewer than n addresses came in as at most two ascending runs.
// One counting pass by stretch, taking the keys from last to first, therefore leaves at most
// two descending runs per stretch, which serves the C library's bins as well as a full sort
// at a third of its cost.  Keys spread too widely for that (blocks far apart in memory) get
// the full sort.
const uintptr_t *kui::LateFrees::order() noexcept {
  constexpr uint64_t kStretches = 1024;
  uintptr_t *from = keys_, *to = keys_ + cap_;
  uintptr_t lo = from[0], hi = from[0];
  for (uint64_t i = 1; i < count_; ++i) {
    lo = from[i] < lo ? from[i] : lo;
    hi = from[i] > hi ? from[i] : hi;
  }
  const auto width = static_cast<unsigned>(std::bit_width(n_) - 1);  // 2^width <= n
  const uint64_t stretches = ((hi - lo) >> width) + 1;
  if (stretches > kStretches) return sort(lo, hi);
  uint64_t start[kStretches];
  std::fill_n(start, stretches, uint64_t{0});
  for (uint64_t i = 0; i < count_; ++i) ++start[(from[i] - lo) >> width];
  uint64_t at = 0;
  for (uint64_t d = stretches; d-- > 0;) {
    const uint64_t c = start[d];
    start[d] = at;
    at += c;
  }
  for (uint64_t i = count_; i-- > 0;) to[start[(from[i] - lo) >> width]++] = from[i];
  return to;
}

// Sorts the keys in descending order, least significant digit first, on the bits in which
// they differ above the heap's 16-byte alignment; returns the array that holds the result.
const uintptr_t *kui::LateFrees::sort(uintptr_t lo, uintptr_t hi) noexcept {
  // Digits of 8 bits: the scatter of a pass then writes to few enough places at once for the
  // TLB and the cache.
  constexpr unsigned kDigit = 8, kAlign = 4;
  constexpr uint64_t kBuckets = uint64_t{1} << kDigit;
  uintptr_t *from = keys_, *to = keys_ + cap_;
  const unsigned bits = static_cast<unsigned>(std::bit_width((hi - lo) >> kAlign));
  for (unsigned shift = kAlign; shift < bits + kAlign; shift += kDigit) {
    uint64_t start[kBuckets] = {};
    for (uint64_t i = 0; i < count_; ++i) ++start[((from[i] - lo) >> shift) & (kBuckets - 1)];
    uint64_t at = 0;
    for (uint64_t d = kBuckets; d-- > 0;) {
      const uint64_t c = start[d];
      start[d] = at;
      at += c;
    }
    for (uint64_t i = 0; i < count_; ++i)
      to[start[((from[i] - lo) >> shift) & (kBuckets - 1)]++] = from[i];
    uintptr_t *const t = from;
    from = to;
    to = t;
  }
  return from;
}
