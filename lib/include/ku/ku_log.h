/*
 * <ku/ku_log.h>: logging with per-module levels taken from the environment.
 *
 * A log (ku_log_t) is a static object of one module: a name, the environment variable that sets
 * its level, a default level and a logger function.  A record of level L is written when L is
 * not greater than the log's effective level: level 0 always passes, larger levels mean more
 * detail.
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

#if defined(__GNUC__) || defined(__clang__)
#define KU_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KU_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A logger writes one record: stream is the log's log_stream, format and ap as for vfprintf. */
typedef void ku_logger_fn(void *stream, const char *format, va_list ap);

typedef struct ku_log_s ku_log_t;
struct ku_log_s {
  int log_size;               /* sizeof(ku_log_t); not read by the library */
  const char *log_name;       /* first word of every level report */
  const char *log_env;        /* variable that sets the level, or NULL */
  uint32_t log_default;       /* level when the variable is absent */
  uint32_t log_level;         /* the level set for this log */
  int32_t log_init;           /* 0 not initialised, 1 follows ku_log_default, 2 own level */
  ku_logger_fn *log_logger;   /* NULL: use ku_log_default's logger and stream */
  void *log_stream;           /* first argument of the logger */
};

/* The default log ("brome", BROME_DEBUG), writing to stderr, and the library's own log ("ku",
 * KU_DEBUG), which writes through the default log's logger. */
KU_API extern ku_log_t ku_log_default;
KU_API extern ku_log_t ku_log_global;

KU_API void ku_log_init(ku_log_t *log);
KU_API void ku_log_redirect(ku_log_t *log, ku_logger_fn *logger, void *stream);
KU_API void ku_log_set_level(ku_log_t *log, unsigned level);
KU_API void ku_log_soft_set_level(ku_log_t *log, unsigned level);
KU_API void _ku_llog(ku_log_t *log, unsigned level, const char *file, const char *function,
                     int line, const char *format, ...) KU_PRINTF(6, 7);
KU_API void _ku_vllog(ku_log_t *log, unsigned level, const char *file, const char *function,
                      int line, const char *format, va_list ap) KU_PRINTF(6, 0);
KU_API void ku_log(const char *format, ...) KU_PRINTF(1, 2);
KU_API void ku_perror(const char *text);
KU_API void ku_perror2(const char *text, int error);

/* KU_LOG(log, level, format, ...): a record on log with the caller's file, function and line
 * in front of it, for example KU_LOG(&ku_log_global, 2, "opened %s\n", path). */
#define KU_LOG(log, level, ...) _ku_llog((log), (level), __FILE__, __func__, __LINE__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_LOG_H */
