/* SPDX-License-Identifier: MIT */
/* The parent project's program: it uses ku through the targets alone. */
#include <ku/ku.h>
#include <ku/ku_alloc.h>

#include <stdio.h>
#include <string.h>

int main(void) {
  ku_home_t *home;
  char *text;
  int ok;

  if (ku_init() != 0) return 1;
  home = ku_home_create();
  text = ku_asprintf(home, "%s %d", "parent", 1);
  ok = text != NULL && strcmp(text, "parent 1") == 0 && ku_in_home(home, text);
  ku_home_unref(home);
  ku_deinit();
  if (!ok) return 1;
  puts("parent: ok");
  return 0;
}
