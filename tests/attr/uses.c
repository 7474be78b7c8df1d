/* SPDX-License-Identifier: MIT */
/* What the attributes of <ku/ku_alloc.h> make a compiler say, as C and as C++: the line after
 * each "expect:" comment must draw the warnings it names, and no other line any (check.sh
 * compares).  "gcc" marks what only GCC 11 and later says (it alone knows the deallocator),
 * "clang" what only clang says. */
#include <ku/ku_alloc.h>

#include <stdlib.h>
#include <string.h>

/* How programs use the calls: quiet. */
int normal_use(ku_home_t *home, const char *text) {
  char *copy = ku_strdup(home, text);
  int *counts = (int *)ku_zalloc_array(home, 16, sizeof *counts);
  char *line = ku_asprintf(home, "%s: %d", text, 3);
  void *plain = ku_alloc(NULL, 64); /* a NULL home's block is malloc's ... */
  void *loose;
  ku_home_t *mine = ku_home_create();
  int ok = copy != NULL && counts != NULL && line != NULL && plain != NULL && mine != NULL;

  counts = (int *)ku_realloc_array(home, counts, 32, sizeof *counts);
  if (counts != NULL) memset(counts, 0, 32 * sizeof *counts);
  ku_free(home, copy);
  ku_free(NULL, plain); /* ... and ku_free(NULL, p) frees it as free() would */
  loose = ku_steal(NULL, home, line);
  free(loose);       /* detached from its home: the caller's */
  ku_alloc(home, 8); /* kept until the home ends */
  ku_home_unref(mine);
  return ok;
}

void *misuse(ku_home_t *home, const char *text) {
  char *p = (char *)ku_alloc(home, 4);
  /* expect: gcc -Wmismatched-dealloc */
  free(ku_alloc(home, 8));
  /* expect: gcc -Wmismatched-dealloc */
  p = (char *)realloc(p, 16);
  /* expect: gcc -Wmismatched-dealloc */
  ku_free(home, malloc(8));
  /* expect: -Wunused-result */
  ku_home_create();
  free(p);
  /* expect: gcc -Wstringop-overflow=, clang -Wfortify-source */
  return memcpy(ku_alloc_array(home, 2, 4), text, 9);
}
