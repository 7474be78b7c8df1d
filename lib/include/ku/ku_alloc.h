/*
 * <ku/ku_alloc.h>: memory homes, a hierarchical allocator.
 *
 * Every allocation belongs to a home; ending a home frees everything in it, sub-homes included.
 * A NULL home makes the allocation calls behave exactly as malloc, calloc, realloc and free.
 */
#ifndef KU_KU_ALLOC_H
#define KU_KU_ALLOC_H

#include <stdint.h>
#include <stdio.h>

#ifndef KU_API
#if defined(__GNUC__) || defined(__clang__)
#define KU_API __attribute__((visibility("default")))
#else
#define KU_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ku_block_s ku_block_t; /* a home's block table; opaque */
typedef struct ku_home_s ku_home_t;
struct ku_home_s {
  int kuh_size;             /* size of the caller's record that begins with this one */
  ku_block_t *kuh_blocks;   /* block table, NULL while the home has none */
  void *kuh_lock;           /* mutex pair, NULL unless ku_home_threadsafe was called */
};

/* Lifecycle */
KU_API void *ku_home_new(int size);
KU_API ku_home_t *ku_home_create(void);
KU_API int ku_home_init(ku_home_t *home);
KU_API void *ku_home_clone(ku_home_t *parent, int size);
KU_API ku_home_t *ku_home_ref(ku_home_t *home);
KU_API int ku_home_unref(ku_home_t *home);
KU_API uint64_t ku_home_refcount(ku_home_t *home);
KU_API ku_home_t *ku_home_parent(ku_home_t const *home);
KU_API int ku_home_has_parent(ku_home_t const *home);
KU_API int ku_home_destructor(ku_home_t *home, void (*destructor)(void *));
KU_API int ku_home_desctructor(ku_home_t *home, void (*destructor)(void *));
KU_API void ku_home_deinit(ku_home_t *home);
KU_API void ku_home_destroy(ku_home_t *home);
KU_API void ku_home_check(ku_home_t const *home);

/* Allocation */
KU_API void *ku_alloc(ku_home_t *home, int size);
KU_API void *ku_zalloc(ku_home_t *home, int size);
KU_API void *ku_salloc(ku_home_t *home, int size);
KU_API void *ku_realloc(ku_home_t *home, void *data, int size);
KU_API void ku_free(ku_home_t *home, void *data);
KU_API int ku_in_home(ku_home_t *home, void const *data);
KU_API int ku_home_check_alloc(ku_home_t const *home, void const *data);

/* Moving, preloading, automatic homes */
KU_API int ku_home_move(ku_home_t *dst, ku_home_t *src);
KU_API void ku_home_preload(ku_home_t *home, int n, int size);
KU_API ku_home_t *ku_home_auto(void *area, int size);

/* Locking */
KU_API int ku_home_threadsafe(ku_home_t *home);
KU_API int ku_home_is_threadsafe(ku_home_t const *home);
KU_API int ku_home_mutex_lock(ku_home_t *home);
KU_API int ku_home_mutex_unlock(ku_home_t *home);
KU_API int ku_home_lock(ku_home_t *home);
KU_API int ku_home_trylock(ku_home_t *home);
KU_API int ku_home_unlock(ku_home_t *home);

/* Lock hooks, installed by the first ku_home_threadsafe; each receives a home's kuh_lock. */
KU_API extern void (*_ku_home_locker)(void *mutexes);
KU_API extern void (*_ku_home_unlocker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_locker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_trylocker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_unlocker)(void *mutexes);
KU_API extern void (*_ku_home_destroy_mutexes)(void *mutexes);

/* Profiling counters of the block-table lookups; diagnostic only. */
KU_API extern uint64_t count_ku_block_find, size_ku_block_find, used_ku_block_find,
  max_size_ku_block_find, max_used_ku_block_find, count_ku_block_find_loop,
  ku_block_find_collision, ku_block_find_collision_used, ku_block_find_collision_size;

/* Diagnostics */

/* Writes a readable tree of home to stream, one line per item, two blanks of indent per level:
 *   home ADDR: size N, refs R, U entries in N slots[, parent ADDR][, threadsafe][, automatic]
 *     preload: USED of SIZE bytes used            (when the home has a preload area)
 *     ADDR: N bytes[, preload]                     (one line per entry, in table slot order)
 *     ADDR: N bytes, home                          (a sub-home entry, followed by its own tree)
 *     total: E entries, B bytes[; with sub-homes E entries, B bytes]
 *     stats: alloc C (B bytes), free C (B bytes), live C (B bytes), carved C, carved freed C,
 *            sub-homes C, resizes C                (on one line, when statistics are on)
 * A home without table prints "home ADDR: size N, no table", a NULL home "home (null)".
 * Takes each home's internal lock while it is written, parent before child, so the stream must
 * not allocate in the homes reported.  Returns 0; -1 with EFAULT for a NULL stream, or -1 with
 * the stream's errno when a write failed. */
KU_API int ku_home_report(ku_home_t *home, FILE *stream);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_ALLOC_H */
