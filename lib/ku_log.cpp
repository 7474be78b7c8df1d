// SPDX-License-Identifier: MIT
// Log operations: the level state of a log, the reports of level changes, and the path of one
// record through the level filter to a logger.
//
// Reports are records of level 0 written through _ku_llog, and a record on a log that was never
// initialised initialises it, so the two halves of this file call each other.  Every level
// change stores the new state before it reports, which keeps that recursion one level deep.
#include <ku/ku.h>
#include <ku/ku_log.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// ---- Report switch ----

// Only its address is used: it marks "SHOW_DEBUG_LEVELS not looked up yet", which no value of
// getenv (null included) can be confused with.
const char not_initialized = 0;
const char *explicitly_initialized = &not_initialized;

bool reports_on() {
  if (explicitly_initialized == &not_initialized)
    explicitly_initialized = getenv("SHOW_DEBUG_LEVELS");
  return explicitly_initialized != nullptr;
}

// ---- Level text ----

// Reads a level as atoi would, except that a number beyond int is clamped rather than left
// undefined.  strtol saturates at the range of long, which holds every int, so clamping its
// result gives atoi's value for every number that fits.
uint32_t level_from_text(const char *text) {
  const int saved_errno = errno;
  long value = strtol(text, nullptr, 10);
  errno = saved_errno;
  if (value < INT_MIN)
    value = INT_MIN;
  else if (value > INT_MAX)
    value = INT_MAX;
  return static_cast<uint32_t>(static_cast<int>(value));
}

// ---- Level filter and logger choice ----

bool passes(ku_log_t *log, unsigned level) {
  if (log->log_init == 0) [[unlikely]]
    ku_log_init(log);
  const uint32_t effective = log->log_init == 2 ? log->log_level : ku_log_default.log_level;
  return level <= effective;
}

void write_record(const ku_log_t *log, const char *format, va_list ap) {
  // Logger and stream go together: a log with a logger of its own never borrows the default
  // log's stream, even when its own is null.
  ku_logger_fn *logger = log->log_logger;
  void *stream = log->log_stream;
  if (logger == nullptr) {
    logger = ku_log_default.log_logger;
    stream = ku_log_default.log_stream;
  }
  if (logger != nullptr) logger(stream, format, ap);
}

// ---- Call-site prefix ----

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips "n$" where n is a nonzero argument position; anything else is left to the caller.
const char *skip_position(const char *p) {
  const char *q = p;
  bool nonzero = false;
  while (is_digit(*q)) nonzero |= *q++ != '0';
  return nonzero && *q == '$' ? q + 1 : p;
}

// Skips a field width or precision: digits, or '*' with an optional argument position.
const char *skip_count(const char *p) {
  if (*p == '*') return skip_position(p + 1);
  while (is_digit(*p)) ++p;
  return p;
}

// Reads one conversion specification starting at its '%' with the grammar of glibc's printf and
// returns the character after it, or null when the text ends inside it.

const char *conversion_end(const char *p) {
  ++p;
  p = skip_position(p);
  while (*p != '\0' && strchr(" +-#0'I", *p) != nullptr) ++p;
  p = skip_count(p);
  if (*p == '.') p = skip_count(p + 1);
  switch (*p) {
    case 'h':
    case 'l':
      p += p[1] == p[0] ? 2 : 1;
      break;
    case 'L':
    case 'q':
    case 'j':
    case 'z':
    case 'Z':
    case 't':
      ++p;
      break;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 37)
    case 'w':
      p += p[1] == 'f' ? 2 : 1;
      while (is_digit(*p)) ++p;
      break;
#endif
    default:
      break;
  }
  return *p == '\0' ? nullptr : p + 1;
}

// The prefixed format of one record: "file:line function() format", cut to 511 characters.
// '%' in file and function is doubled so that the logger prints it as itself.  When the text
// is cut, a conversion split by the cut is dropped whole, so the logger never sees a lone '%'
// or a half specification at the end.
class PrefixedFormat {
 public:
  static constexpr size_t kMax = 511;

  void put(char c) {
    if (len_ < kMax)
      text_[len_++] = c;
    else
      cut_ = true;
  }

  void escaped(const char *s) {
    for (s = s != nullptr ? s : "(null)"; *s != '\0' && !cut_; ++s) {
      if (*s == '%') put('%');
      put(*s);
    }
  }

  void number(int n) {
    char digits[12];
    size_t count = 0;
    unsigned magnitude = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0) put('-');
    while (count > 0) put(digits[--count]);
  }

  void verbatim(const char *s) {
    s = s != nullptr ? s : "(null)";
    const size_t room = kMax - len_;
    size_t n = strnlen(s, room + 1);
    if (n > room) {
      n = room;
      cut_ = true;
    }
    memcpy(text_ + len_, s, n);
    len_ += n;
  }

  const char *finish() {
    text_[len_] = '\0';
    if (cut_) {
      const char *p = text_;
      while ((p = strchr(p, '%')) != nullptr) {
        const char *end = conversion_end(p);
        if (end == nullptr) {
          text_[p - text_] = '\0';
          break;
        }
        p = end;
      }
    }
    return text_;
  }

 private:
  char text_[kMax + 1];
  size_t len_ = 0;
  bool cut_ = false;
};

}  // namespace

extern "C" {

// ---- Level operations ----

KU_API void ku_log_init(ku_log_t *log) {
  assert(log != nullptr);
  if (log == nullptr || log->log_init != 0) return;
  const bool report = reports_on();
  if (log != &ku_log_default && ku_log_default.log_init == 0) ku_log_init(&ku_log_default);

  const char *value = log->log_env != nullptr ? getenv(log->log_env) : nullptr;
  if (value != nullptr) {
    log->log_level = level_from_text(value);
    log->log_init = 2;
    if (report)
      _ku_llog(log, 0, __FILE__, __func__, __LINE__, "%s: initialized log to level %u (%s=%s)\n",
               log->log_name, log->log_level, log->log_env, value);
    return;
  }

  log->log_level = log->log_default;
  log->log_init = 1;
  if (!report) return;
  if (log == &ku_log_default)
    _ku_llog(log, 0, __FILE__, __func__, __LINE__, "%s: initialized log to level %u (default)\n",
             log->log_name, log->log_level);
  else
    _ku_llog(log, 0, __FILE__, __func__, __LINE__, "%s: logging at default level %u\n",
             log->log_name, ku_log_default.log_level);
}

KU_API void ku_log_redirect(ku_log_t *log, ku_logger_fn *logger, void *stream) {
  if (log == nullptr) log = &ku_log_default;
  log->log_logger = logger;
  log->log_stream = stream;
}

KU_API void ku_log_set_level(ku_log_t *log, unsigned level) {
  if (log == nullptr) log = &ku_log_default;
  log->log_level = level;
  log->log_init = 2;
  if (reports_on())
    _ku_llog(log, 0, __FILE__, __func__, __LINE__, "%s: set log to level %u\n", log->log_name,
             log->log_level);
}

KU_API void ku_log_soft_set_level(ku_log_t *log, unsigned level) {
  if (log == nullptr) log = &ku_log_default;
  if (log->log_init == 1) return;
  // The environment outranks a soft setting: it initialises a fresh log and keeps the level of
  // one it initialised before.
  if (log->log_env != nullptr && getenv(log->log_env) != nullptr) {
    ku_log_init(log);
    return;
  }
  log->log_level = level;
  log->log_init = 2;
  if (reports_on())
    _ku_llog(log, 0, __FILE__, __func__, __LINE__, "%s: soft set log to level %u\n", log->log_name,
             log->log_level);
}

// ---- Records ----

// The level is tested before the prefix is composed, so that a dropped record costs one
// comparison rather than the composition of 512 bytes.
KU_API void _ku_llog(ku_log_t *log, unsigned level, const char *file, const char *function,
                     int line, const char *format, ...) {
  assert(log != nullptr);
  if (log == nullptr || !passes(log, level)) return;
  PrefixedFormat prefixed;
  prefixed.escaped(file);
  prefixed.put(':');
  prefixed.number(line);
  prefixed.put(' ');
  prefixed.escaped(function);
  prefixed.put('(');
  prefixed.put(')');
  prefixed.put(' ');
  prefixed.verbatim(format);
  va_list ap;
  va_start(ap, format);
  write_record(log, prefixed.finish(), ap);
  va_end(ap);
}

KU_API void _ku_vllog(ku_log_t *log, unsigned level, const char *file, const char *function,
                      int line, const char *format, va_list ap) {
  (void)file;
  (void)function;
  (void)line;
  assert(log != nullptr);
  if (log == nullptr || !passes(log, level)) return;
  va_list copy;
  va_copy(copy, ap);
  write_record(log, format, copy);
  va_end(copy);
}

KU_API void ku_log(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  _ku_vllog(&ku_log_default, 0, __FILE__, __func__, __LINE__, format, ap);
  va_end(ap);
}

KU_API void ku_perror2(const char *text, int error) {
  ku_log("%s: %s\n", text, ku_strerror(error));
}

KU_API void ku_perror(const char *text) { ku_perror2(text, ku_errno()); }

}  // extern "C"
