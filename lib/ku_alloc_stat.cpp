// SPDX-License-Identifier: MIT
// Statistics: a home's optional record of its allocations, and the process-wide lookup counters.
#include "ku_alloc_impl.h"

#include <ku/ku.h>

#include <cstdlib>
#include <cstring>

// ---- Lookup counters ----
//
// Programs read and write these objects themselves.  An executable that names one of them
// (position-independent or not) usually gets its own copy of it, and the dynamic linker then
// points the library's GOT entry at that copy.  The library therefore reaches each of them
// only by its exported name, never through a hidden alias: such an alias would keep updating
// the library's original, which no program sees.  The hooks, the log objects and the socket
// switches follow the same rule.

extern "C" {

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

// ---- Statistics records ----

// Counts an allocation of size bytes in the table's statistics record; preload is the block
// when it was carved, else null.
void ku_home_stats_alloc(ku_block_t *t, const void *preload, uint64_t size,
                         alloc_kind kind) noexcept {
  ku_home_stats_t *stats = t->kub_stats;
  if (t->kub_n != stats->kst_slots) ++stats->kst_resizes;
  stats->kst_slots = static_cast<uint32_t>(t->kub_n);
  if (kind > alloc_zeroed) ++stats->kst_subhomes;
  if (preload) {
    ++stats->kst_alloc_preload;
    return;
  }
  const uint64_t r = round8(size);
  ++stats->kst_alloc_count;
  stats->kst_alloc_bytes += size;
  stats->kst_alloc_rounded += r;
  if (stats->kst_alloc_rounded > stats->kst_alloc_rounded_max)
    stats->kst_alloc_rounded_max = stats->kst_alloc_rounded;
  ++stats->kst_live_count;
  stats->kst_live_bytes += size;
  stats->kst_live_rounded += r;
}

// Counts the freeing of a block of size bytes, as ku_home_stats_alloc counted it.
void ku_home_stats_free(ku_block_t *t, const void *preload, uint32_t size) noexcept {
  ku_home_stats_t *stats = t->kub_stats;
  if (preload) {
    ++stats->kst_free_preload;
    return;
  }
  const uint32_t r = (size + 7u) & ~7u;
  ++stats->kst_free_count;
  stats->kst_free_bytes += size;
  stats->kst_free_rounded += r;
  --stats->kst_live_count;
  stats->kst_live_bytes -= size;
  stats->kst_live_rounded -= r;
}

// ---- Public calls ----

extern "C" {

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
