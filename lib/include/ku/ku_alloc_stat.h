/*
 * <ku/ku_alloc_stat.h>: statistics of a memory home.
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
  int32_t kst_size;              /* bytes of this record that are valid */
  uint32_t kst_subhomes;         /* sub-homes made in the home */
  uint32_t kst_resizes;          /* counted allocations that saw a new table size */
  uint32_t kst_slots;            /* table size as last seen */
  uint32_t kst_prsize;           /* preload area size, copied at each ku_home_get_stats */
  uint32_t kst_prused;           /* preload bytes used, copied likewise */
  uint64_t kst_alloc_count;      /* heap allocations */
  uint64_t kst_alloc_bytes;      /* bytes asked for by them */
  uint64_t kst_alloc_rounded;    /* the same, each rounded up to a multiple of 8 */
  uint64_t kst_alloc_rounded_max;
  uint64_t kst_alloc_preload;    /* allocations carved from the preload area */
  uint64_t kst_free_count;       /* frees of heap blocks */
  uint64_t kst_free_bytes;
  uint64_t kst_free_rounded;
  uint64_t kst_free_preload;     /* frees of carved blocks */
  uint64_t kst_live_count;       /* heap blocks held now */
  uint64_t kst_live_bytes;
  uint64_t kst_live_rounded;
};

KU_API void ku_home_init_stats(ku_home_t *home);
KU_API void ku_home_get_stats(ku_home_t *home, int include_clones, ku_home_stats_t *stats, int size);
KU_API void ku_home_stat_add(ku_home_stats_t *total, ku_home_stats_t const *add);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_ALLOC_STAT_H */
