/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku_log.h>: logging with per-module levels taken from the environment.
 *
 * A log (ku_log_t) is a static object of one module: a name, the environment variable that sets
 * its level, a default level and a logger function.  A record of level L is written when L is
 * not greater than the log's effective level (unsigned comparison): level 0 always passes,
 * larger levels mean more detail.
 *
 * A log is in one of three states (log_init):
 *   0  not initialised yet; its first level operation or record initialises it.
 *   1  its variable was absent (or it has none): it follows ku_log_default, whose log_level is
 *      read afresh for every record.
 *   2  it has its own level, from its variable, ku_log_set_level or ku_log_soft_set_level.
 * A log's variable is read only when it leaves state 0; later changes of the environment do not
 * reach it.
 *
 * With SHOW_DEBUG_LEVELS set (to anything, the empty text included) when the first level
 * operation of the process runs, every level change is reported as a level-0 record on the log
 * concerned, for example "lib/ku_log.cpp:40 ku_log_init() ku: logging at default level 0\n".
 * SHOW_DEBUG_LEVELS is looked up once per process.
 *
 * There are no locks: set levels and loggers up before records are written from several threads.
 * Nothing in this header allocates memory or reports errors.
 */
#ifndef KU_KU_LOG_H
#define KU_KU_LOG_H

#include <stdarg.h>
#include <stdint.h>

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

#ifdef __cplusplus
extern "C" {
#endif

/* A logger writes one record: stream is the log's log_stream, format and ap as for vfprintf.
 * It is called at most once per record, on the thread that wrote the record; it may consume ap.
 * Nothing is added to the record: a logger that wants a newline finds it in the format. */
typedef void ku_logger_fn(void *stream, const char *format, va_list ap);

typedef struct ku_log_s ku_log_t;
struct ku_log_s {
  int log_size;             /* sizeof(ku_log_t); not read by the library */
  const char *log_name;     /* first word of every level report */
  const char *log_env;      /* variable that sets the level, or NULL */
  uint32_t log_default;     /* level when the variable is absent */
  uint32_t log_level;       /* the level set for this log */
  int32_t log_init;         /* 0 not initialised, 1 follows ku_log_default, 2 own level */
  ku_logger_fn *log_logger; /* NULL: use ku_log_default's logger and stream */
  void *log_stream;         /* first argument of the logger */
};

/* ku_log_default ("brome", BROME_DEBUG, default level 0) stands in for a NULL log given to
 * ku_log_redirect, ku_log_set_level or ku_log_soft_set_level (elsewhere a NULL log is a
 * precondition failure); its level is the level of every log in state 1, and its logger and stream
 * serve every log without a logger of its own.  It writes to a FILE * in log_stream, or to stderr
 * when log_stream is NULL.  ku_log_global ("ku", KU_DEBUG, default level 0) is the library's own
 * log; it has no logger and writes through ku_log_default's.  Both are initialised by ku_init. */
KU_API extern ku_log_t ku_log_default;
KU_API extern ku_log_t ku_log_global;

/* Initialises log if it is still in state 0, and does nothing otherwise.  ku_log_default is
 * initialised first if log is another log still in state 0.  When log_env names a variable that
 * is set, the level is its value read as atoi reads it (blanks, sign, digits; no digits give 0;
 * "-1" gives 4294967295) and the state becomes 2; a value beyond the range of int is clamped to
 * INT_MIN or INT_MAX first.  Otherwise the level becomes log_default and the state 1.
 * A NULL log aborts through assert() (builds with -DNDEBUG return instead). */
KU_API void ku_log_init(ku_log_t *log);

/* Makes log (NULL: ku_log_default) write through logger with stream as its first argument.
 * A NULL logger makes the log borrow ku_log_default's logger and stream again; a log with a
 * logger of its own keeps its own stream, even a NULL one.  Levels and state are not touched
 * and nothing is reported.  Redirecting ku_log_default to a NULL logger silences every log
 * that borrows it. */
KU_API void ku_log_redirect(ku_log_t *log, ku_logger_fn *logger, void *stream);

/* Gives log (NULL: ku_log_default) the level, whatever its state or environment, and puts it in
 * state 2 for good.  Does not initialise ku_log_default.  Logs still following ku_log_default
 * (state 1) pass records up to the new level when log is ku_log_default. */
KU_API void ku_log_set_level(ku_log_t *log, unsigned level);

/* Gives log (NULL: ku_log_default) the level unless the environment decides: a log in state 1
 * is left alone; a log whose variable is set is initialised from it if still in state 0 and
 * otherwise left alone (level is then not used).  In every other case the log gets level and
 * state 2. */
KU_API void ku_log_soft_set_level(ku_log_t *log, unsigned level);

/* Writes one record of level on log, with the call-site prefix "file:line function() " in front
 * of format; the arguments are applied by the logger.  A log in state 0 is initialised first.
 * The prefixed format is cut to 511 characters; a conversion that the cut would split is dropped
 * whole, and a '%' in file or function is written as itself.  A record the level filter drops
 * costs a comparison.  A NULL log aborts through assert() (-DNDEBUG builds drop the record). */
KU_API void _ku_llog(ku_log_t *log, unsigned level, const char *file, const char *function,
                     int line, const char *format, ...) KU_PRINTF(6, 7);

/* Writes one record of level on log: format with ap, passed to the logger unchanged (file,
 * function and line are accepted and not used).  A log in state 0 is initialised first.  A log
 * without a logger uses ku_log_default's logger and stream; with no logger at all the record is
 * dropped silently.  A NULL log aborts through assert() (-DNDEBUG builds drop the record). */
KU_API void _ku_vllog(ku_log_t *log, unsigned level, const char *file, const char *function,
                      int line, const char *format, va_list ap) KU_PRINTF(6, 0);

/* Writes format with its arguments on ku_log_default at level 0, without a prefix: only a
 * missing logger keeps it from being written. */
KU_API void ku_log(const char *format, ...) KU_PRINTF(1, 2);

/* Writes "text: <message of errno>\n" on ku_log_default, as ku_perror2(text, ku_errno()). */
KU_API void ku_perror(const char *text);

/* Writes "text: <message of error>\n" on ku_log_default through ku_log, the message being
 * ku_strerror(error). */
KU_API void ku_perror2(const char *text, int error);

/* KU_LOG(log, level, format, ...): a record on log with the caller's file, function and line in
 * front of it, for example KU_LOG(&ku_log_global, 2, "opened %s\n", path) writes
 * "src/open.c:31 open_file() opened /etc/hosts\n" when the global log's level is 2 or more.
 * The file is __FILE__ as the caller's compiler spells it (see -fmacro-prefix-map). */
#define KU_LOG(log, level, ...) _ku_llog((log), (level), __FILE__, __func__, __LINE__, __VA_ARGS__)

/* KU_LOG_DEFINE(var, name, env): defines var, a module's log named name (the first word of its
 * level reports) whose level comes from the environment variable env (NULL: none), set up as
 * ku_log_global is: not initialised, no logger of its own.  Its first record or level operation
 * initialises it as ku_log_init says: the level read from env when env is set, else it follows
 * ku_log_default.  At file scope, with static in front for a log of one file:
 *   static KU_LOG_DEFINE(app_log, "app", "APP_DEBUG");
 *   KU_LOG(&app_log, 2, "accepted %d\n", fd);      written at app_log's level 2 or more
 * Another file reaches a log defined without static through "extern ku_log_t app_log;". */
#ifdef __cplusplus
#define KU_LOG_DEFINE(var, name, env) \
  ku_log_t var = {static_cast<int>(sizeof(ku_log_t)), (name), (env), 0, 9, 0, nullptr, nullptr}
#else
#define KU_LOG_DEFINE(var, name, env) \
  ku_log_t var = {                    \
      .log_size = (int)sizeof(ku_log_t), .log_name = (name), .log_env = (env), .log_level = 9}
#endif

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_LOG_H */
