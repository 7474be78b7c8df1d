/* SPDX-License-Identifier: MIT */
/*
 * A program's own log.  KU_LOG_DEFINE gives it a name and the environment variable that sets
 * its level; ku_log_soft_set_level gives it the program's own default, which that variable
 * overrides.  Records go to standard error, each behind its file, line and function:
 *
 *   $ ./logging a b                level 1, the program's default
 *   logging.c:28 main() 2 arguments
 *   $ APP_DEBUG=2 ./logging a b    level 2, from the environment
 *   logging.c:28 main() 2 arguments
 *   logging.c:29 main() argument 1: a
 *   logging.c:29 main() argument 2: b
 *
 * (The file is named as the compiler was given it.)  SHOW_DEBUG_LEVELS set to anything reports
 * every level change.
 *
 *   cc -std=c11 logging.c $(pkg-config --cflags --libs ku) -o logging
 */
#include <ku/ku.h>
#include <ku/ku_log.h>

static KU_LOG_DEFINE(app_log, "app", "APP_DEBUG");

int main(int argc, char **argv) {
  ku_init();
  ku_log_soft_set_level(&app_log, 1);

  KU_LOG(&app_log, 1, "%d arguments\n", argc - 1);
  for (int i = 1; i < argc; i++) KU_LOG(&app_log, 2, "argument %d: %s\n", i, argv[i]);
  KU_LOG(&app_log, 3, "not written below level 3\n");

  ku_deinit();
  return 0;
}
