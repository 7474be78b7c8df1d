/* SPDX-License-Identifier: MIT */
/* A small C11 program built against an installed ku through pkg-config and through
 * find_package(ku), as a position-independent and as a plain executable and against the static
 * library.  It exits with 0 and prints "consumer: ok" when every check holds.  Besides calling
 * the library, it writes and reads every exported object and checks that the library works on
 * the very objects the program sees.  KU_PACKAGE_VERSION is the version that pkg-config or the
 * CMake package reported: the installed header and the library must say the same. */
#define _POSIX_C_SOURCE 200809L

#include <ku/ku.h>
#include <ku/ku_alloc.h>
#include <ku/ku_log.h>
#include <ku/ku_socket.h>

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int failures;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "consumer: %s\n", what);
    ++failures;
  }
}

/* ---- Lock hooks: count each call, then pass it on to the hook the library installed ---- */

static void (*lib_locker)(void *);
static void (*lib_unlocker)(void *);
static int (*lib_mutex_locker)(void *);
static int (*lib_mutex_trylocker)(void *);
static int (*lib_mutex_unlocker)(void *);
static void (*lib_destroy)(void *);
static unsigned hook_calls[6];

static void counting_locker(void *m) {
  ++hook_calls[0];
  lib_locker(m);
}
static void counting_unlocker(void *m) {
  ++hook_calls[1];
  lib_unlocker(m);
}
static int counting_mutex_locker(void *m) {
  ++hook_calls[2];
  return lib_mutex_locker(m);
}
static int counting_mutex_trylocker(void *m) {
  ++hook_calls[3];
  return lib_mutex_trylocker(m);
}
static int counting_mutex_unlocker(void *m) {
  ++hook_calls[4];
  return lib_mutex_unlocker(m);
}
static void counting_destroy(void *m) {
  ++hook_calls[5];
  lib_destroy(m);
}

static void check_hooks(void) {
  ku_home_t *home = ku_home_create();
  int i;

  /* The library installs its hooks with the first thread-safe home. */
  check(home != NULL && ku_home_threadsafe(home) == 0, "no thread-safe home");
  lib_locker = _ku_home_locker;
  lib_unlocker = _ku_home_unlocker;
  lib_mutex_locker = _ku_home_mutex_locker;
  lib_mutex_trylocker = _ku_home_mutex_trylocker;
  lib_mutex_unlocker = _ku_home_mutex_unlocker;
  lib_destroy = _ku_home_destroy_mutexes;
  if (!lib_locker || !lib_unlocker || !lib_mutex_locker || !lib_mutex_trylocker ||
      !lib_mutex_unlocker || !lib_destroy) {
    check(0, "the hooks the library installed are not seen");
    return;
  }
  _ku_home_locker = counting_locker;
  _ku_home_unlocker = counting_unlocker;
  _ku_home_mutex_locker = counting_mutex_locker;
  _ku_home_mutex_trylocker = counting_mutex_trylocker;
  _ku_home_mutex_unlocker = counting_mutex_unlocker;
  _ku_home_destroy_mutexes = counting_destroy;

  check(ku_alloc(home, 8) != NULL, "allocation in a thread-safe home failed");
  check(ku_home_lock(home) == 0, "user mutex not taken");
  check(ku_home_trylock(home) != 0, "user mutex taken twice");
  check(ku_home_unlock(home) == 0, "user mutex not released");
  ku_home_unref(home);
  for (i = 0; i < 6; i++) check(hook_calls[i] != 0, "a hook set by the program was not called");

  _ku_home_locker = lib_locker;
  _ku_home_unlocker = lib_unlocker;
  _ku_home_mutex_locker = lib_mutex_locker;
  _ku_home_mutex_trylocker = lib_mutex_trylocker;
  _ku_home_mutex_unlocker = lib_mutex_unlocker;
  _ku_home_destroy_mutexes = lib_destroy;
}

/* ---- Lookup counters: the program's writes are the starting points of the library's ---- */

static void check_counters(void) {
  ku_home_t *home = ku_home_create();
  char foreign;
  void *p = ku_alloc(home, 16); /* a new home's table has 31 slots */

  check(p != NULL, "no allocation");
  count_ku_block_find = size_ku_block_find = used_ku_block_find = max_size_ku_block_find = 1000;
  max_used_ku_block_find = count_ku_block_find_loop = 0;
  ku_block_find_collision = ku_block_find_collision_used = ku_block_find_collision_size = 0;

  check(ku_in_home(home, p) == 1, "own block not found");
  check(count_ku_block_find == 1001 && size_ku_block_find == 1031 && used_ku_block_find == 1001,
        "a lookup did not add to the counts the program set");
  check(max_size_ku_block_find == 1000 && max_used_ku_block_find == 1,
        "a lookup did not compare with the maxima the program set");

  check(ku_in_home(home, &foreign) == 0, "foreign address found");
  check(count_ku_block_find_loop == 31 && ku_block_find_collision == 31 &&
            ku_block_find_collision_used == 1 && ku_block_find_collision_size == 31,
        "a miss did not record its walk");
  ku_block_find_collision = 1000;
  check(ku_in_home(home, &foreign) == 0 && count_ku_block_find_loop == 62 &&
            ku_block_find_collision == 1000 && ku_block_find_collision_size == 31,
        "a miss did not compare with the longest walk the program set");

  ku_free(home, p);
  check(count_ku_block_find > 1003, "a free made no lookup");
  ku_home_unref(home);
}

/* ---- Socket switches: read by the library each time it makes a socket ---- */

static void check_socket(int blocking, int close_on_exec) {
  int s;

  ku_socket_blocking = blocking;
  ku_socket_close_on_exec = close_on_exec;
  s = ku_socket(AF_INET, SOCK_DGRAM, 0);
  check(s >= 0, "no socket");
  if (s < 0) return;
  check(!(fcntl(s, F_GETFL) & O_NONBLOCK) == !!blocking, "ku_socket_blocking not followed");
  check(!(fcntl(s, F_GETFD) & FD_CLOEXEC) == !close_on_exec,
        "ku_socket_close_on_exec not followed");
  ku_close(s);
}

/* ---- Log objects ---- */

static int records;

static void counting_logger(void *stream, const char *format, va_list ap) {
  (void)format;
  (void)ap;
  if (stream == &records) ++records;
}

/* Before ku_init: the program's settings are what ku_init must find. */
static void prepare_logs(void) {
  check(ku_log_default.log_init == 0 && ku_log_global.log_init == 0, "a log starts initialised");
  setenv("KU_CONSUMER_LEVEL", "4", 1);
  ku_log_global.log_env = "KU_CONSUMER_LEVEL";
  ku_log_default.log_env = NULL;
  ku_log_default.log_default = 3;
}

static void check_logs(void) {
  check(ku_log_global.log_init == 2 && ku_log_global.log_level == 4,
        "ku_init did not read the global log's variable set by the program");
  check(ku_log_default.log_init == 1 && ku_log_default.log_level == 3,
        "ku_init did not give the default log the program's default level");

  ku_log_set_level(NULL, 6);
  check(ku_log_default.log_init == 2 && ku_log_default.log_level == 6,
        "ku_log_set_level(NULL) did not set the default log");

  ku_log_default.log_logger = counting_logger;
  ku_log_default.log_stream = &records;
  ku_log("to the program's logger\n");
  KU_LOG(&ku_log_global, 4, "borrowed logger\n");
  KU_LOG(&ku_log_global, 5, "above the level\n");
  check(records == 2, "records did not reach the logger the program set");
  ku_log_redirect(NULL, NULL, NULL);
  check(ku_log_default.log_logger == NULL, "ku_log_redirect(NULL) did not reach the default log");
}

int main(void) {
  struct addrinfo hints;
  struct addrinfo *list = NULL;
  char host[64];
  char port[16];
  char version[32];
  int rc;

  prepare_logs();
  check(ku_init() == 0, "ku_init did not return 0");
  check_logs();
  check_hooks();
  check_counters();
  check(ku_socket_blocking == 0 && ku_socket_close_on_exec == 0, "socket switches not 0 at start");
  check_socket(0, 0);
  check_socket(1, 1);

  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  rc = ku_getaddrinfo("127.0.0.1", "8080", &hints, &list);
  check(rc == 0, "lookup of 127.0.0.1 failed");
  if (rc == 0) {
    check(list != NULL && list->ai_protocol == IPPROTO_TCP, "stream entry has no TCP protocol");
    rc = ku_getnameinfo(list->ai_addr, list->ai_addrlen, host, sizeof host, port, sizeof port,
                        NI_NUMERICHOST | NI_NUMERICSERV);
    check(rc == 0 && strcmp(host, "127.0.0.1") == 0 && strcmp(port, "8080") == 0,
          "reverse lookup did not give 127.0.0.1 and 8080");
    ku_freeaddrinfo(list);
  }

  list = NULL;
  rc = ku_getaddrinfo("not-an-address", "8080", &hints, &list);
  check(rc != 0 && list == NULL, "lookup of a name with AI_NUMERICHOST succeeded");
  check(ku_gai_strerror(rc) != NULL && ku_gai_strerror(rc)[0] != '\0', "no resolver message");

  check(ku_seterrno(ENOENT) == -1 && ku_errno() == ENOENT, "error number not kept");
  check(strcmp(ku_strerror(ENOENT), strerror(ENOENT)) == 0, "error text differs from strerror");

  /* The exported log objects are plain data that a C program can read. */
  check(strcmp(ku_log_global.log_name, "ku") == 0, "global log is not named ku");
  check(strcmp(ku_log_default.log_name, "brome") == 0, "default log is not named brome");

  snprintf(version, sizeof version, "%d.%d.%d", KU_VERSION_MAJOR, KU_VERSION_MINOR,
           KU_VERSION_PATCH);
  check(strcmp(version, KU_VERSION_STRING) == 0, "the version's numbers and text disagree");
  check(strcmp(KU_VERSION_STRING, KU_PACKAGE_VERSION) == 0,
        "<ku/ku_version.h> and the package disagree on the version");
  check(strcmp(ku_version(), KU_VERSION_STRING) == 0,
        "ku_version() and <ku/ku_version.h> disagree on the version");

  ku_deinit();
  if (failures != 0) return 1;
  puts("consumer: ok");
  return 0;
}
