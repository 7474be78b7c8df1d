// SPDX-License-Identifier: MIT
// Strings and copies in a home.  Built only on the public allocation calls, so every result is
// an ordinary block of its home and a NULL home falls through to malloc, as ku_alloc does.
#include <ku/ku_alloc.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Copies len bytes of s and a terminating NUL into a new block of the home.  ku_alloc takes an
// int, so a copy of INT_MAX bytes or more is refused here before the size could wrap.
char *copy_string(ku_home_t *home, const char *s, size_t len) noexcept {
  if (len >= static_cast<size_t>(INT_MAX)) {
    errno = ENOMEM;
    return nullptr;
  }
  auto *copy = static_cast<char *>(ku_alloc(home, static_cast<int>(len + 1)));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
}

}  // namespace

extern "C" {

KU_API char *ku_strdup(ku_home_t *home, const char *s) {
  if (s == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return copy_string(home, s, std::strlen(s));
}

KU_API char *ku_strndup(ku_home_t *home, const char *s, size_t n) {
  if (s == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return copy_string(home, s, strnlen(s, n));
}

KU_API void *ku_memdup(ku_home_t *home, const void *p, int size) {
  if (p == nullptr && size > 0) {
    errno = EINVAL;
    return nullptr;
  }
  void *copy = ku_alloc(home, size);
  if (copy != nullptr && size > 0) std::memcpy(copy, p, static_cast<size_t>(size));
  return copy;
}

KU_API char *ku_vasprintf(ku_home_t *home, const char *format, va_list ap) {
  if (format == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // Most texts fit the stack buffer and are formatted once; a longer one is measured by the
  // first pass and formatted again straight into its block, so the home holds exactly the text.
  char small[256];
  va_list again;
  va_copy(again, ap);
  int len = std::vsnprintf(small, sizeof small, format, ap);
  char *text = nullptr;
  if (len < 0) {
    // A text longer than INT_MAX is the one size failure vsnprintf knows.
    if (errno == EOVERFLOW) errno = ENOMEM;
  } else if (len == INT_MAX) {
    errno = ENOMEM;
  } else {
    text = static_cast<char *>(ku_alloc(home, len + 1));
    if (text != nullptr) {
      if (static_cast<size_t>(len) < sizeof small)
        std::memcpy(text, small, static_cast<size_t>(len) + 1);
      else
        std::vsnprintf(text, static_cast<size_t>(len) + 1, format, again);
    }
  }
  va_end(again);
  return text;
}

KU_API char *ku_asprintf(ku_home_t *home, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = ku_vasprintf(home, format, ap);
  va_end(ap);
  return text;
}

}  // extern "C"
