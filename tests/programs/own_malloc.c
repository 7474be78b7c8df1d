/* SPDX-License-Identifier: MIT */
/* A program with a malloc of its own, as some servers have: every block lies on pages of its
 * own, right behind a guard page that may not be read, and the C library's internal names are
 * aliases of these functions (as tcmalloc and mimalloc make them).  The library must fill each
 * block it frees with 0xAA and never read a byte outside a block.  Exits 0 when it did. */
#define _GNU_SOURCE
#include <ku/ku_alloc.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#define PAGE 4096

/* A block's mapping: a page holding its length and size, the guard page, then the block. */
static size_t *meta_of(void *p) { return (size_t *)((char *)p - 2 * PAGE); }

void *malloc(size_t n) {
  const size_t len = 3 * PAGE + ((n + PAGE - 1) & ~(size_t)(PAGE - 1));
  char *m = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) {
    errno = ENOMEM;
    return NULL;
  }
  mprotect(m + PAGE, PAGE, PROT_NONE);
  ((size_t *)m)[0] = len;
  ((size_t *)m)[1] = n;
  return m + 2 * PAGE;
}

/* The block whose first watched_len bytes free() checks, and what it found. */
static void *watched;
static size_t watched_len;
static int watched_filled = -1;

void free(void *p) {
  if (!p) return;
  size_t *meta = meta_of(p);
  if (p == watched) {
    const unsigned char *b = p;
    watched_filled = 1;
    for (size_t i = 0; i < watched_len; i++)
      if (b[i] != 0xAA) watched_filled = 0;
  }
  munmap(meta, meta[0]);
}

void *calloc(size_t n, size_t size) {
  if (size && n > SIZE_MAX / size) {
    errno = ENOMEM;
    return NULL;
  }
  return malloc(n * size); /* fresh pages are zero */
}

void *realloc(void *p, size_t n) {
  if (!p) return malloc(n);
  void *q = malloc(n);
  if (!q) return NULL;
  const size_t old = meta_of(p)[1];
  memcpy(q, p, old < n ? old : n);
  free(p);
  return q;
}

/* Blocks are page-aligned, which serves every alignment the C library asks for. */
void *memalign(size_t align, size_t n) { return align <= PAGE ? malloc(n) : NULL; }
void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void **out, size_t align, size_t n) {
  return (*out = memalign(align, n)) ? 0 : ENOMEM;
}
size_t malloc_usable_size(void *p) { return p ? meta_of(p)[1] : 0; }

#if defined(__clang__)
#define ALIAS_OF(f) __attribute__((alias(#f)))
#else
#define ALIAS_OF(f) __attribute__((alias(#f), copy(f)))
#endif
void *__libc_malloc(size_t) ALIAS_OF(malloc);
void __libc_free(void *) ALIAS_OF(free);
void *__libc_calloc(size_t, size_t) ALIAS_OF(calloc);
void *__libc_realloc(void *, size_t) ALIAS_OF(realloc);

static int failures;

static void expect(int ok, const char *what, int size) {
  if (ok) return;
  fprintf(stderr, "own_malloc: %s (%d bytes)\n", what, size);
  failures++;
}

int main(void) {
  ku_home_t *h = ku_home_create();
  const int sizes[] = {100, 4096, 64 << 10, 100000, 1 << 20};
  for (unsigned i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
    const int size = sizes[i];
    unsigned char *p = ku_alloc(h, size);
    expect(p != NULL, "ku_alloc failed", size);
    if (!p) continue;
    memset(p, 0x5C, (size_t)size);
    watched = p;
    watched_len = (size_t)size;
    watched_filled = -1;
    ku_free(h, p);
    expect(watched_filled == 1, "freed block not filled with 0xAA", size);
    watched = NULL;

    ku_home_t *sub = ku_home_clone(h, size);
    watched = sub; /* the record; its first table shares the block and is not filled */
    watched_len = (size_t)size;
    watched_filled = -1;
    ku_free(h, sub);
    expect(watched_filled == 1, "freed sub-home record not filled with 0xAA", size);
    watched = NULL;
  }
  /* The other paths that take memory: preload areas, grown tables, a move, the end. */
  ku_home_preload(h, 100, 600);
  ku_home_t *other = ku_home_create();
  for (int i = 0; i < 600; i++) expect(ku_alloc(other, 40 + i) != NULL, "ku_alloc failed", i);
  expect(ku_home_move(h, other) == 0, "ku_home_move failed", 0);
  ku_home_unref(other);
  ku_home_unref(h);
  return failures != 0;
}
