/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku_alloc.h>: memory homes, a hierarchical allocator.
 *
 * Every allocation belongs to a home; ending a home frees everything in it, sub-homes included.
 * A NULL home makes the allocation calls behave exactly as malloc, calloc, realloc and free.
 */
#ifndef KU_KU_ALLOC_H
#define KU_KU_ALLOC_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifndef KU_API
#if defined(__GNUC__) || defined(__clang__)
#define KU_API __attribute__((visibility("default")))
#else
#define KU_API
#endif
#endif

#ifndef KU_PRINTF
#if defined(__GNUC__) || defined(__clang__)
#define KU_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KU_PRINTF(fmt, args)
#endif
#endif

/*
 * What the allocation calls promise, told to the compiler, which then warns about misuse and
 * lets _FORTIFY_SOURCE check writes into blocks.  Each is empty where the compiler lacks it, and
 * a program may define any of them (empty) before including this header.
 *  KU_MALLOC           the result is a new block that aliases nothing and holds no pointers.
 *  KU_ALLOC_SIZE(...)  the block's size is the argument given, or the product of the two given.
 *  KU_DEALLOC_KU_FREE  the block is freed with ku_free (GCC 11 and later): freeing it with free()
 *                      or resizing it with realloc() warns (-Wmismatched-dealloc), and so does
 *                      ku_free() of a block from malloc().  With a NULL home, where a block is
 *                      malloc's, free it with ku_free(NULL, p); a block detached by ku_steal is
 *                      freed through the pointer ku_steal returns.
 *  KU_NODISCARD        dropping the result always leaks: the calls that make a heap home.
 */
#ifndef KU_MALLOC
#if defined(__GNUC__) || defined(__clang__)
#define KU_MALLOC __attribute__((malloc))
#else
#define KU_MALLOC
#endif
#endif

#ifndef KU_ALLOC_SIZE
#if defined(__GNUC__) || defined(__clang__)
#define KU_ALLOC_SIZE(...) __attribute__((alloc_size(__VA_ARGS__)))
#else
#define KU_ALLOC_SIZE(...)
#endif
#endif

/* clang (14 included) accepts only the form of malloc without arguments. */
#ifndef KU_DEALLOC_KU_FREE
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11
#define KU_DEALLOC_KU_FREE __attribute__((malloc(ku_free, 2)))
#else
#define KU_DEALLOC_KU_FREE
#endif
#endif

/* In C++ the standard attribute, which a cast to void silences; GCC's own never is. */
#ifndef KU_NODISCARD
#if defined(__cplusplus) && __cplusplus >= 201703L
#define KU_NODISCARD [[nodiscard]]
#elif defined(__GNUC__) || defined(__clang__)
#define KU_NODISCARD __attribute__((warn_unused_result))
#else
#define KU_NODISCARD
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ku_block_s ku_block_t; /* a home's block table; opaque */
typedef struct ku_home_s ku_home_t;
struct ku_home_s {
  int kuh_size;           /* size of the caller's record that begins with this one */
  ku_block_t *kuh_blocks; /* block table, NULL while the home has none */
  void *kuh_lock;         /* mutex pair, NULL unless ku_home_threadsafe was called */
};

/*
 * Kinds of home, by who owns the record:
 *  - heap home: made by ku_home_new, ku_home_create or ku_home_clone(NULL, ...); the last
 *    ku_home_unref frees everything in it and the record;
 *  - caller's home: a record of the caller, started with ku_home_init (or laid out by
 *    ku_home_auto); ended with ku_home_deinit or the last ku_home_unref, the record stays;
 *  - sub-home: made by ku_home_clone(parent, ...); it is one of the parent's allocations and
 *    dies with the parent at the latest.
 * A home record may be the first member of a larger caller record; its size is given where
 * the allocator makes the record.  An all-zero record is a valid home without table: its
 * first allocation gives it one.  Preconditions named "aborts" below stop the process through
 * assert(); a build with -DNDEBUG instead gives the answer in brackets.
 */

/* Lifecycle */

/* Makes a heap home whose zero-filled record is size bytes long (at least 24, the home
 * record; the rest is the caller's).  Returns it with one reference, or NULL with errno
 * ENOMEM (a negative size included).  A size of 0 to 23 aborts [EINVAL, NULL].
 * End it with ku_home_unref. */
KU_NODISCARD KU_API void *ku_home_new(int size);

/* ku_home_new(24). */
KU_NODISCARD KU_API ku_home_t *ku_home_create(void);

/* Starts a caller's home in the caller's record: a new table, no lock, one reference;
 * kuh_size is left as the caller set it.  The record must be zero-filled or ended: a table or
 * lock it held is overwritten, not freed.  Returns 0, or -1 for a NULL home or when the table
 * cannot be allocated (kuh_blocks is then NULL).  No lock is taken. */
KU_API int ku_home_init(ku_home_t *home);

/* Makes a sub-home of parent: a zero-filled record of size bytes (at least 24) entered in the
 * parent's table, which frees it when the parent ends.  The sub-home has no lock of its own,
 * even when the parent has.  A NULL parent makes a heap home, as ku_home_new.  Returns the
 * record, or NULL with errno ENOMEM.  A size of 0 to 23 aborts [EINVAL, NULL]. */
KU_API void *ku_home_clone(ku_home_t *parent, int size);

/* Adds a reference to the home and returns it.  NULL home: NULL, errno EFAULT.  A home
 * without table or with a zero count aborts [NULL]. */
KU_API ku_home_t *ku_home_ref(ku_home_t *home);

/* Drops a reference.  The last one ends the home: its destructor runs, everything in it is
 * freed, sub-homes included; a heap home's record is freed, a sub-home leaves its parent, a
 * caller's record stays, without table.  Returns 1 when the home was ended, else 0 (also for a
 * NULL home or one without table).  No other thread may still be using the home. */
KU_API int ku_home_unref(ku_home_t *home);

/* The home's reference count; 0 for a NULL home or a home without table. */
KU_API uint64_t ku_home_refcount(ku_home_t *home);

/* The parent of a sub-home; NULL for a top-level home, a NULL home or one without table. */
KU_API ku_home_t *ku_home_parent(ku_home_t const *home);

/* 1 when ku_home_parent(home) is not NULL, else 0. */
KU_API int ku_home_has_parent(ku_home_t const *home);

/* Registers the function that is called once, with the home, when the home ends (before
 * anything in it is freed; it may still allocate and free in the home) or when ku_home_move
 * takes its allocations away.  Returns 0; -1 when the home has no table or already has a
 * destructor (errno untouched; the first one stays); -1 with errno EFAULT for a NULL home. */
KU_API int ku_home_destructor(ku_home_t *home, void (*destructor)(void *));

/* The same as ku_home_destructor, under a second exported spelling. */
KU_API int ku_home_desctructor(ku_home_t *home, void (*destructor)(void *));

/* Ends a caller's home (ku_home_init, ku_home_auto): runs its destructor and frees everything
 * in it; the record stays the caller's, without table and lock.  Does nothing for a NULL home
 * or one without table.  Aborts [does nothing] when the count is not 1, when the record is the
 * allocator's (a heap home or a sub-home): those end with ku_home_unref. */
KU_API void ku_home_deinit(ku_home_t *home);

/* As ku_home_deinit, but also for a heap home: its record is then left allocated, an ordinary
 * heap block that the caller passes to free().  Aborts [does nothing] when the count is not 1
 * or when the home is a sub-home, whose record belongs to its parent. */
KU_API void ku_home_destroy(ku_home_t *home);

/* Checks the home's table and those of its sub-homes, to any depth, for consistency; aborts
 * when one fails.  Does nothing for a NULL home or one without table.  Below the 16th level
 * the walk keeps 32 bytes per level on the heap; levels it finds no memory for are not
 * checked. */
KU_API void ku_home_check(ku_home_t const *home);

/* Allocation.  Every block belongs to its home until ku_free, a moving ku_realloc or the end
 * of the home.  With a NULL home these are malloc, calloc, realloc and free.  A negative size
 * yields NULL with errno ENOMEM, with or without a home. */

/* Frees a block of the home (a sub-home with everything in it), after filling its bytes with
 * 0xAA.  The fill costs as much as writing the block once; it is left out only for a block of
 * 64 KiB or more that glibc's own malloc mapped for itself, which its free() unmaps at once so
 * that nobody could read the fill (under any other malloc, or Valgrind, every block is filled).
 * Carved preload bytes are not given back.  A sub-home
 * leaves the home, and the home's lock is released, before the sub-home's destructors run:
 * they may use the home as any other.  NULL data does nothing.  An address that is not an
 * allocation of the home, a home without table, or a sub-home whose count is REF_MAX abort
 * [nothing is freed].  (Declared first: the calls below name it as their deallocator.) */
KU_API void ku_free(ku_home_t *home, void *data);

/* Returns size uninitialised bytes, or NULL (errno ENOMEM when memory ran out).  Size 0:
 * NULL without an error number, and no entry (with a NULL home: malloc(0)).  Small blocks of
 * a preloaded home are carved from its preload area, at offsets that are multiples of 8. */
KU_API void *ku_alloc(ku_home_t *home, int size) KU_MALLOC KU_ALLOC_SIZE(2) KU_DEALLOC_KU_FREE;

/* As ku_alloc, but the bytes are zero. */
KU_API void *ku_zalloc(ku_home_t *home, int size) KU_MALLOC KU_ALLOC_SIZE(2) KU_DEALLOC_KU_FREE;

/* As ku_zalloc for at least 4 bytes (a size of 0 to 3 is raised to 4), whose first 32-bit
 * integer then holds that size. */
KU_API void *ku_salloc(ku_home_t *home, int size) KU_MALLOC KU_DEALLOC_KU_FREE;

/* Resizes a block of the home and returns its address, which may have changed; NULL with
 * nothing changed when the block cannot be resized (memory ran out: the old block stays valid),
 * is not an allocation of the home, or is a sub-home.  Size 0 frees data and returns NULL;
 * a NULL data allocates as ku_alloc. */
KU_API void *ku_realloc(ku_home_t *home, void *data, int size) KU_ALLOC_SIZE(3) KU_DEALLOC_KU_FREE;

/* Arrays: n elements of size bytes each, as ku_alloc, ku_zalloc and ku_realloc of n * size
 * bytes.  The sizes are size_t and their product is checked here: one that overflows, or that
 * is 2^31 bytes or more, gives NULL with errno ENOMEM (with or without a home) and changes
 * nothing, never a shorter block.  A product of 0 (n or size 0) is a size of 0: NULL without an
 * error number and no entry (with a NULL home, malloc(0)); ku_realloc_array then frees data. */
KU_API void *ku_alloc_array(ku_home_t *home, size_t n, size_t size) KU_MALLOC
    KU_ALLOC_SIZE(2, 3) KU_DEALLOC_KU_FREE;
KU_API void *ku_zalloc_array(ku_home_t *home, size_t n, size_t size) KU_MALLOC
    KU_ALLOC_SIZE(2, 3) KU_DEALLOC_KU_FREE;
KU_API void *ku_realloc_array(ku_home_t *home, void *data, size_t n, size_t size)
    KU_ALLOC_SIZE(3, 4) KU_DEALLOC_KU_FREE;

/* 1 when data is an address returned for the home and not freed since, else 0 (also for a
 * NULL home or data; an address inside a block is not one).  A miss walks the whole table. */
KU_API int ku_in_home(ku_home_t *home, void const *data);

/* The same as ku_in_home. */
KU_API int ku_home_check_alloc(ku_home_t const *home, void const *data);

/* Strings and copies.  Each result is an ordinary block of the home, made with ku_alloc: freed
 * with ku_free or with the home, resized with ku_realloc.  With a NULL home it comes from
 * malloc and is the caller's to free (with ku_free(NULL, p): see KU_DEALLOC_KU_FREE).  On failure
 * they return NULL with errno ENOMEM (memory ran out, or the copy with its terminating NUL would be
 * 2^31 bytes or more) or EINVAL (a NULL string or format). */

/* A copy of the NUL-terminated string s. */
KU_API char *ku_strdup(ku_home_t *home, const char *s) KU_MALLOC KU_DEALLOC_KU_FREE;

/* A copy of at most the first n bytes of s, stopping at a NUL, always NUL-terminated: s need
 * not be terminated within n bytes. */
KU_API char *ku_strndup(ku_home_t *home, const char *s, size_t n) KU_MALLOC KU_DEALLOC_KU_FREE;

/* A copy of the size bytes at p.  As ku_alloc for the size: a negative size gives ENOMEM, size
 * 0 gives NULL without an error number (with a NULL home, malloc(0)) and p is not read.  A NULL
 * p with a positive size gives EINVAL.  (Not KU_MALLOC: the bytes copied may hold pointers.) */
KU_API void *ku_memdup(ku_home_t *home, const void *p, int size)
    KU_ALLOC_SIZE(3) KU_DEALLOC_KU_FREE;

/* The text that printf would write for format and its arguments, NUL-terminated, in a block of
 * exactly its length + 1 bytes.  Besides ENOMEM and EINVAL, errno may be an error of
 * vsnprintf (EILSEQ for a wide character that cannot be converted). */
KU_API char *ku_asprintf(ku_home_t *home, const char *format, ...)
    KU_PRINTF(2, 3) KU_MALLOC KU_DEALLOC_KU_FREE;

/* As ku_asprintf with a va_list, which it consumes as vprintf does. */
KU_API char *ku_vasprintf(ku_home_t *home, const char *format, va_list ap)
    KU_PRINTF(2, 0) KU_MALLOC KU_DEALLOC_KU_FREE;

/* Moving, preloading, automatic homes */

/* Hands every allocation of src, sub-homes included, to dst, after running src's destructor
 * (once; also when nothing is moved or the move then fails).  src stays a live home.  Blocks
 * carved from src's preload area are not moved: they stay entered in src, whose area they lie
 * in and which frees them; src is empty but for them.  Without dst the allocations are
 * detached instead: they belong to nobody (heap blocks are the caller's to free; detached
 * sub-homes become heap homes; carved ones live as long as src) and the destructor does not
 * run.  Returns 0 (also for a NULL src or dst == src); -1 when dst's larger table cannot be
 * allocated (nothing moved); -1 with errno EINVAL when dst is a sub-home of src or lies below
 * one (tested before the destructor runs, and again after it).  The destructor runs before any
 * lock is taken, so it may use any home, these two included. */
KU_API int ku_home_move(ku_home_t *dst, ku_home_t *src);

/* Moves one block or sub-home p out of from into to and returns p; the block keeps its address
 * and contents.  A moved sub-home's parent becomes to, and it then ends with to.  With to NULL,
 * p is detached as ku_home_move(NULL, from) detaches: a heap block becomes the caller's, to pass
 * to free(), and a sub-home becomes a top-level heap home, ended by its last ku_home_unref.
 * to == from returns p when it is a block of from.  No destructor runs, and no statistics
 * counter of either home changes (as with ku_home_move).  Returns NULL with errno EINVAL when
 * from or p is NULL, p is not a block of from, p was carved from from's preload area (it cannot
 * outlive the area), or p is a sub-home and to is p or lies below it; NULL with ENOMEM when
 * to's table had to grow and memory ran out.  Both homes are unchanged on failure.  With
 * thread-safe homes, locks are taken in the order ku_home_move takes them. */
KU_API void *ku_steal(ku_home_t *to, ku_home_t *from, void *p);

/* Gives the home a preload area of n items of size bytes, each rounded up to a multiple of 8,
 * at most 65,535 bytes (larger requests, negative ones included, are capped).  Small blocks are
 * then carved from it without a heap call.  A home is preloaded once: later calls do nothing.
 * A home without table first gets one, as from ku_home_init (a lock it was given is kept);
 * when that fails, or malloc fails, the home is left without preload area.  NULL home: nothing.
 * Under AddressSanitizer or Valgrind, the area's bytes that are not handed out (the unused
 * rest, the rounding gap behind each block, freed blocks) are marked inaccessible. */
KU_API void ku_home_preload(ku_home_t *home, int n, int size);

/* Lays a caller's home into the caller's buffer of size bytes: from the buffer's first 8-aligned
 * address (g = 0 to 7 bytes in), the record and a table of 7 slots (200 bytes), then a preload
 * area of up to 65,535 bytes; the rest is not used.  Returns the home, which is area itself for
 * an 8-aligned buffer and area + g otherwise, with kuh_size = size; NULL for a NULL area, a
 * negative size, or a size below the prefix 200 + g.  The buffer must stay valid until the home
 * is ended (ku_home_deinit or its last ku_home_unref), which frees nothing inside the buffer. */
KU_API ku_home_t *ku_home_auto(void *area, int size);

/* Locking.  Make a home thread-safe before it is shared; from then on every operation on it
 * holds its internal mutex, and its users may hold its user mutex across several operations.
 * A home's internal mutex is taken while another's is held only when the other is an ancestor
 * (parent before child); a move into an ancestor locks the ancestor first, and a move between
 * unrelated homes locks them in address order under a process-wide move mutex. */

/* Gives the home its pair of mutexes (installing the six hooks below on first use, unless
 * _ku_home_unlocker is already set).  Call it once the home has its table and before it is
 * shared; the mutexes die with the home.  Returns 0 (also when it has them already); -1 when
 * their block cannot be allocated; -1 with errno EFAULT for a NULL home. */
KU_API int ku_home_threadsafe(ku_home_t *home);

/* 1 when the home has mutexes, else 0 (also for NULL). */
KU_API int ku_home_is_threadsafe(ku_home_t const *home);

/* Takes a reference and then the user mutex (not for a home without mutexes).  Returns 0; -1
 * with errno EFAULT (NULL home), EINVAL (no table) or the mutex's error number, in which case
 * the reference stays taken. */
KU_API int ku_home_mutex_lock(ku_home_t *home);

/* Releases the user mutex (if any), then the reference; dropping the last one ends the home.
 * Returns 0; -1 with errno EFAULT (NULL home), the mutex's error number (no reference dropped)
 * or EINVAL (no table). */
KU_API int ku_home_mutex_unlock(ku_home_t *home);

/* Takes, tries or releases the user mutex without touching the reference count.  Return the
 * POSIX result (0, or an error number such as EBUSY from ku_home_trylock); 14 (EFAULT) for a
 * NULL home; -1 for a home without mutexes.  errno is never set. */
KU_API int ku_home_lock(ku_home_t *home);
KU_API int ku_home_trylock(ku_home_t *home);
KU_API int ku_home_unlock(ku_home_t *home);

/* Lock hooks, installed by the first ku_home_threadsafe; each receives a home's kuh_lock.
 * Never called for a home without mutexes. */
KU_API extern void (*_ku_home_locker)(void *mutexes);
KU_API extern void (*_ku_home_unlocker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_locker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_trylocker)(void *mutexes);
KU_API extern int (*_ku_home_mutex_unlocker)(void *mutexes);
KU_API extern void (*_ku_home_destroy_mutexes)(void *mutexes);

/* Profiling counters of the block-table lookups, process-wide: lookups, slots and entries of
 * the tables looked in, the largest of each, probe steps, and the longest probe run with its
 * table's entries and slots.  While one thread looks blocks up they are exact after each call,
 * and a program may reset them.  When a second thread looks up, each thread counts in a tally
 * of its own and adds it to these every 4096 lookups and when it ends: a reader then sees a
 * running thread's lookups late, in batches (the largest-run triple always whole), and every
 * lookup of a thread that has ended (joined).  Once one thread is left, its own lookups since
 * then arrive with its next lookup, and from there on the counters are exact after each call
 * again; a child of fork() counts exactly from its first lookup.  A program that writes them
 * while other threads look up may lose what a batch added. */
KU_API extern uint64_t count_ku_block_find, size_ku_block_find, used_ku_block_find,
    max_size_ku_block_find, max_used_ku_block_find, count_ku_block_find_loop,
    ku_block_find_collision, ku_block_find_collision_used, ku_block_find_collision_size;

/* Diagnostics */

/* Writes a readable tree of home to stream, for finding what a program left in it.  One line per
 * item, two blanks of indent per level (lines deeper than 40 levels are indented as level 40
 * and begin with "[LEVEL] "):
 *   home ADDR["NAME"]: E blocks, B bytes, refs R[, size S][, parent ADDR][, threadsafe][,
 * automatic] preload: USED of SIZE bytes used             (when the home has a preload area) stats:
 * alloc C (B bytes), free C (B bytes), live C (B bytes), carved C, carved freed C, sub-homes C,
 * resizes C                 (on one line, when statistics are on) ADDR: N bytes heap|carved PREVIEW
 * (one line per block, in address order) home ADDR ...                                 (each
 * sub-home's tree, in address order) with sub-homes: E blocks, B bytes             (when it has
 * sub-homes) E and B count the entries of the home's own table, sub-home records included (at their
 * record size); "with sub-homes" adds every home below.  NAME is the home's name
 * (ku_home_set_name), S the record's size when it is not 24.  PREVIEW is the block's first bytes as
 * a C string literal: text up to its NUL when the block starts with text, else up to 24 bytes
 * escaped, followed by "..." when bytes are left out.  A home without table prints "home ADDR: size
 * N, no table", a NULL home "home (null)".  Takes each home's internal lock while it is written,
 * parent before child, so the stream must not allocate in the homes reported.  Returns 0; -1
 * with EFAULT for a NULL stream, -1 with ENOMEM when memory to order a home's blocks (16 bytes
 * a block) or to walk a tree deeper than 16 levels ran out, or -1 with the stream's errno when
 * a write failed; the stream is flushed before it returns. */
KU_API int ku_home_report(ku_home_t *home, FILE *stream);

/* Writes the tree of home as folded stacks, the input of flame-graph tools: one line per home
 * that holds blocks, "TOP;CHILD;...;HOME BYTES", the names from home down to it joined by ';'
 * and the bytes of its own blocks (its record counts as a block of its own).  A home without a
 * name is "(unnamed)", so that unnamed homes of one parent add up in one frame; ';' and newline
 * in a name are written as ':'.  Lines of equal paths are for the tool to add up.  Locks, stream
 * and results as ku_home_report; a NULL home writes nothing. */
KU_API int ku_home_report_folded(ku_home_t *home, FILE *stream);

/* Names a home: the name is the text printf would write for format and its arguments, copied
 * into memory the home owns and frees when it ends (outside its table: no block is added, and no
 * statistics change).  A NULL format takes the name away.  The reports show it.  Returns 0; -1
 * with errno EFAULT for a NULL home, EINVAL for a home without table, ENOMEM when memory ran
 * out (the old name then stays). */
KU_API int ku_home_set_name(ku_home_t *home, const char *format, ...) KU_PRINTF(2, 3);

/* The home's name, or NULL for a home without one (a NULL home, or one without table,
 * included).  The text stays valid until the home is renamed or ends. */
KU_API const char *ku_home_name(ku_home_t const *home);

/* Calls visit(home, arg) for every live top-level heap home (made by ku_home_new,
 * ku_home_create or ku_home_clone(NULL, ..)), oldest first, until visit returns non-zero; for
 * a program's own debugging endpoint (visit may call ku_home_report, ku_home_name, the
 * statistics, and allocate in any home).  Homes are listed only while the global log's level
 * (ku_log_global, from KU_DEBUG) is 2 or more when they are made; with it, every listed home
 * still alive at exit is written with its report on that log.  The list costs 32 bytes a live
 * heap home and nothing when it is off.  Homes started in a caller's record (ku_home_init,
 * ku_home_auto), sub-homes and detached sub-homes are not listed.  visit runs under the lock of
 * the list: it must not make or end a heap home.  Returns the number of homes visited; -1 with
 * errno EFAULT for a NULL visit, ENOTSUP when no home was ever listed (the log's level was
 * below 2), ENOMEM when memory to order the homes ran out. */
KU_API int ku_home_walk_live(int (*visit)(ku_home_t *home, void *arg), void *arg);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_ALLOC_H */
