/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku_alloc_stat.h>: statistics of a memory home.
 *
 * A home keeps no statistics until ku_home_init_stats.  From then on each allocation and free
 * in it is counted (heap blocks and carved preload blocks apart), until the home ends.  Moving
 * a home's allocations changes no counter.  Counters wrap silently at their widths.
 */
#ifndef KU_KU_ALLOC_STAT_H
#define KU_KU_ALLOC_STAT_H

#include <stdint.h>
#include <ku/ku_alloc.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ku_home_stats_s ku_home_stats_t;
struct ku_home_stats_s {
  int32_t kst_size;           /* bytes of this record that are valid */
  uint32_t kst_subhomes;      /* sub-homes made in the home (unsigned: wraps, never negative) */
  uint32_t kst_resizes;       /* counted allocations that saw a new table size (likewise) */
  uint32_t kst_slots;         /* table size as last seen */
  uint32_t kst_prsize;        /* preload area size, copied at each ku_home_get_stats */
  uint32_t kst_prused;        /* preload bytes used, copied likewise */
  uint64_t kst_alloc_count;   /* heap allocations */
  uint64_t kst_alloc_bytes;   /* bytes asked for by them */
  uint64_t kst_alloc_rounded; /* the same, each rounded up to a multiple of 8 */
  uint64_t kst_alloc_rounded_max;
  uint64_t kst_alloc_preload; /* allocations carved from the preload area */
  uint64_t kst_free_count;    /* frees of heap blocks */
  uint64_t kst_free_bytes;
  uint64_t kst_free_rounded;
  uint64_t kst_free_preload; /* frees of carved blocks */
  uint64_t kst_live_count;   /* heap blocks held now */
  uint64_t kst_live_bytes;
  uint64_t kst_live_rounded;
};

/* Switches statistics on for the home (a home without table first gets one), or restarts them:
 * every counter 0, kst_size 120, kst_slots the table's size.  The record belongs to the home.
 * A NULL home, or memory that runs out, leaves statistics off; nothing is reported.  Takes no
 * lock: do not call it while another thread uses the home. */
KU_API void ku_home_init_stats(ku_home_t *home);

/* Copies the home's statistics into the caller's record of size bytes: the first
 * min(size, 120) bytes, with kst_size set to that number; the rest of the caller's bytes are
 * zero.  A NULL home, one without table or without statistics yields an all-zero record.
 * include_clones is ignored.  A NULL stats or a size below 4 (negative ones included) writes
 * nothing. */
KU_API void ku_home_get_stats(ku_home_t *home, int include_clones, ku_home_stats_t *stats,
                              int size);

/* Adds the counters of add into total (two caller records, typically from ku_home_get_stats):
 * sums, with kst_alloc_rounded_max summed too; kst_slots keeps the larger.  kst_size,
 * kst_prsize, kst_prused and the two preload counters of total are left as they are.  Both
 * pointers must be valid; no lock is taken. */
KU_API void ku_home_stat_add(ku_home_stats_t *total, ku_home_stats_t const *add);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_ALLOC_STAT_H */
