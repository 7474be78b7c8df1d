/* SPDX-License-Identifier: MIT */
/* The public headers as a strict C11 program sees them: every header twice (the guards must
 * hold), no feature-test macros, no warnings at -Wall -Wextra -pedantic.  The declarations are
 * checked against their documented types without being linked; the calls below use start-up,
 * error numbers, lookup and the log objects. */
#include <ku/ku_version.h> /* first: it stands alone */
#include <ku/ku.h>
#include <ku/ku_socket.h>
#include <ku/ku_sockaddr.h>
#include <ku/ku_log.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include <ku/ku.h>
#include <ku/ku_socket.h>
#include <ku/ku_sockaddr.h>
#include <ku/ku_log.h>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>
#include <ku/ku_version.h>

#include <stdio.h>
#include <string.h>

/* _Generic does not evaluate its operand, so these checks need no definition to link against. */
#define HAS_TYPE(expr, type) _Static_assert(_Generic((expr), type : 1, default : 0), #expr)

/* <ku/ku.h> */
HAS_TYPE(&ku_init, int (*)(void));
HAS_TYPE(&ku_deinit, void (*)(void));
HAS_TYPE(&ku_version, const char *(*)(void));
HAS_TYPE(&ku_errno, int (*)(void));
HAS_TYPE(&ku_seterrno, int (*)(int));
HAS_TYPE(&ku_strerror, const char *(*)(int));
HAS_TYPE(&ku_getaddrinfo,
         int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **));
HAS_TYPE(&ku_freeaddrinfo, void (*)(struct addrinfo *));
HAS_TYPE(&ku_gai_strerror, const char *(*)(int));
HAS_TYPE(&ku_getnameinfo,
         int (*)(const struct sockaddr *, size_t, char *, size_t, char *, size_t, int));

/* <ku/ku_socket.h> */
HAS_TYPE(&ku_socket_close_on_exec, int *);
HAS_TYPE(&ku_socket_blocking, int *);
HAS_TYPE(&ku_socket, int (*)(int, int, int));
HAS_TYPE(&ku_close, int (*)(int));
HAS_TYPE(&ku_setblocking, int (*)(int, int));
HAS_TYPE(&ku_soerror, int (*)(int));
HAS_TYPE(&ku_getsocktype, int (*)(int));
HAS_TYPE(&ku_setreuseaddr, int (*)(int, int));
HAS_TYPE(&ku_getmsgsize, int (*)(int));
HAS_TYPE(&ku_vsend, int (*)(int, const struct iovec *, int, int, const void *, socklen_t));
HAS_TYPE(&ku_vrecv, int (*)(int, struct iovec *, int, int, void *, socklen_t *));

/* <ku/ku_sockaddr.h> */
HAS_TYPE(&ku_cmp_sockaddr, int (*)(const struct sockaddr *, const struct sockaddr *));
HAS_TYPE(&ku_match_sockaddr, int (*)(const struct sockaddr *, const struct sockaddr *));
HAS_TYPE(&ku_canonize_sockaddr, void (*)(struct sockaddr *));

/* <ku/ku_log.h> */
HAS_TYPE(&ku_log_default, ku_log_t *);
HAS_TYPE(&ku_log_global, ku_log_t *);
HAS_TYPE(ku_log_global.log_default, uint32_t);
HAS_TYPE(ku_log_global.log_level, uint32_t);
HAS_TYPE(ku_log_global.log_init, int32_t);
HAS_TYPE(ku_log_global.log_logger, ku_logger_fn *);
HAS_TYPE(&ku_log_init, void (*)(ku_log_t *));
HAS_TYPE(&ku_log_redirect, void (*)(ku_log_t *, ku_logger_fn *, void *));
HAS_TYPE(&ku_log_set_level, void (*)(ku_log_t *, unsigned));
HAS_TYPE(&ku_log_soft_set_level, void (*)(ku_log_t *, unsigned));
HAS_TYPE(&_ku_llog,
         void (*)(ku_log_t *, unsigned, const char *, const char *, int, const char *, ...));
HAS_TYPE(&_ku_vllog,
         void (*)(ku_log_t *, unsigned, const char *, const char *, int, const char *, va_list));
HAS_TYPE(&ku_log, void (*)(const char *, ...));
HAS_TYPE(&ku_perror, void (*)(const char *));
HAS_TYPE(&ku_perror2, void (*)(const char *, int));

/* <ku/ku_alloc.h> */
_Static_assert(sizeof(ku_home_t) == 24, "a home record is 24 bytes");
HAS_TYPE(&ku_home_new, void *(*)(int));
HAS_TYPE(&ku_home_create, ku_home_t *(*)(void));
HAS_TYPE(&ku_home_init, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_clone, void *(*)(ku_home_t *, int));
HAS_TYPE(&ku_home_ref, ku_home_t *(*)(ku_home_t *));
HAS_TYPE(&ku_home_unref, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_refcount, uint64_t (*)(ku_home_t *));
HAS_TYPE(&ku_home_parent, ku_home_t *(*)(const ku_home_t *));
HAS_TYPE(&ku_home_has_parent, int (*)(const ku_home_t *));
HAS_TYPE(&ku_home_destructor, int (*)(ku_home_t *, void (*)(void *)));
HAS_TYPE(&ku_home_desctructor, int (*)(ku_home_t *, void (*)(void *)));
HAS_TYPE(&ku_home_deinit, void (*)(ku_home_t *));
HAS_TYPE(&ku_home_destroy, void (*)(ku_home_t *));
HAS_TYPE(&ku_home_check, void (*)(const ku_home_t *));
HAS_TYPE(&ku_alloc, void *(*)(ku_home_t *, int));
HAS_TYPE(&ku_zalloc, void *(*)(ku_home_t *, int));
HAS_TYPE(&ku_salloc, void *(*)(ku_home_t *, int));
HAS_TYPE(&ku_realloc, void *(*)(ku_home_t *, void *, int));
HAS_TYPE(&ku_free, void (*)(ku_home_t *, void *));
HAS_TYPE(&ku_in_home, int (*)(ku_home_t *, const void *));
HAS_TYPE(&ku_home_check_alloc, int (*)(const ku_home_t *, const void *));
HAS_TYPE(&ku_home_move, int (*)(ku_home_t *, ku_home_t *));
HAS_TYPE(&ku_home_preload, void (*)(ku_home_t *, int, int));
HAS_TYPE(&ku_home_auto, ku_home_t *(*)(void *, int));
HAS_TYPE(&ku_home_threadsafe, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_is_threadsafe, int (*)(const ku_home_t *));
HAS_TYPE(&ku_home_mutex_lock, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_mutex_unlock, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_lock, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_trylock, int (*)(ku_home_t *));
HAS_TYPE(&ku_home_unlock, int (*)(ku_home_t *));
HAS_TYPE(&_ku_home_locker, void (**)(void *));
HAS_TYPE(&_ku_home_unlocker, void (**)(void *));
HAS_TYPE(&_ku_home_mutex_locker, int (**)(void *));
HAS_TYPE(&_ku_home_mutex_trylocker, int (**)(void *));
HAS_TYPE(&_ku_home_mutex_unlocker, int (**)(void *));
HAS_TYPE(&_ku_home_destroy_mutexes, void (**)(void *));
HAS_TYPE(&count_ku_block_find, uint64_t *);
HAS_TYPE(&size_ku_block_find, uint64_t *);
HAS_TYPE(&used_ku_block_find, uint64_t *);
HAS_TYPE(&max_size_ku_block_find, uint64_t *);
HAS_TYPE(&max_used_ku_block_find, uint64_t *);
HAS_TYPE(&count_ku_block_find_loop, uint64_t *);
HAS_TYPE(&ku_block_find_collision, uint64_t *);
HAS_TYPE(&ku_block_find_collision_used, uint64_t *);
HAS_TYPE(&ku_block_find_collision_size, uint64_t *);

/* <ku/ku_alloc_stat.h> */
_Static_assert(sizeof(ku_home_stats_t) == 120, "a statistics record is 120 bytes");
HAS_TYPE(&ku_home_init_stats, void (*)(ku_home_t *));
HAS_TYPE(&ku_home_get_stats, void (*)(ku_home_t *, int, ku_home_stats_t *, int));
HAS_TYPE(&ku_home_stat_add, void (*)(ku_home_stats_t *, const ku_home_stats_t *));

static KU_LOG_DEFINE(c_log, "c", NULL);

static int failures;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "headers_c: %s\n", what);
    ++failures;
  }
}

int main(void) {
  struct addrinfo *list = NULL;

  /* The log macro must expand to a well-formed call whose format the compiler checks. */
  (void)sizeof((KU_LOG(&ku_log_global, 1, "%s=%d\n", "n", 5), 0));

  check(ku_init() == 0, "ku_init did not return 0");
  check(ku_seterrno(2) == -1 && ku_errno() == 2, "error number not kept");
  check(ku_strerror(2) != NULL && ku_strerror(2)[0] != '\0', "no error text");

  /* struct addrinfo stays incomplete here: a strict C11 program can still pass results on. */
  check(ku_getaddrinfo("127.0.0.1", "80", NULL, &list) == 0 && list != NULL,
        "lookup of 127.0.0.1 failed");
  ku_freeaddrinfo(list);
  list = NULL;
  check(ku_getaddrinfo("127.0.0.1", "", NULL, &list) == 0 && list != NULL,
        "lookup with an empty service failed");
  ku_freeaddrinfo(list);
  check(ku_gai_strerror(0) != NULL, "no resolver message");

  ku_log_init(&ku_log_global);
  check(ku_log_global.log_size == (int)sizeof(ku_log_t), "ku_log_global has the wrong size");
  check(strcmp(ku_log_global.log_name, "ku") == 0, "global log is not named ku");
  check(strcmp(ku_log_default.log_name, "brome") == 0, "default log is not named brome");
  check(c_log.log_size == (int)sizeof(ku_log_t) && strcmp(c_log.log_name, "c") == 0 &&
            c_log.log_env == NULL && c_log.log_init == 0 && c_log.log_logger == NULL,
        "KU_LOG_DEFINE did not set a log up as the library's own");

  ku_deinit();
  return failures == 0 ? 0 : 1;
}
