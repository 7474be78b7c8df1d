// SPDX-License-Identifier: MIT
// Names of homes.  A name lives beside its home, in one process-wide map keyed by the home
// record, so that records and tables keep their layout and a home without a name costs nothing:
// the map is consulted only when a name is set or read, and when a home with kub_named ends.
//
// The names lock is the last lock of the library's order: it is taken under any home's lock
// (the teardown forgets names with the dying homes' locks held) and nothing is taken under it.
#include "ku_alloc_impl.h"
#include "ku_alloc_ptrmap.h"

#include <ku/ku.h>
#include <ku/ku_alloc.h>

#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

pthread_mutex_t names_mutex = PTHREAD_MUTEX_INITIALIZER;
kui::PtrMap names;  // home record -> its name, a malloc'd string

class NamesLock {
 public:
  NamesLock() noexcept { pthread_mutex_lock(&names_mutex); }
  ~NamesLock() { pthread_mutex_unlock(&names_mutex); }
  NamesLock(const NamesLock &) = delete;
  NamesLock &operator=(const NamesLock &) = delete;
};

char *as_name(uintptr_t value) { return reinterpret_cast<char *>(value); }

}  // namespace

void kui::names_fork_lock() noexcept { pthread_mutex_lock(&names_mutex); }
void kui::names_fork_unlock() noexcept { pthread_mutex_unlock(&names_mutex); }

// The name of home, whose lock the caller holds (t is its table), or null.  The name stays
// while the lock is held: renaming takes it too.
const char *kui::name_of(const ku_home_t *home, const ku_block_t *t) noexcept {
  if (!t || !t->kub_named) return nullptr;
  NamesLock lock;
  const uintptr_t *v = names.find(home);
  return v ? as_name(*v) : nullptr;
}

// Frees the name of a home that is ending.
void kui::forget_name(const ku_home_t *home) noexcept {
  char *name;
  {
    NamesLock lock;
    name = as_name(names.take(home));
  }
  free(name);
}

extern "C" {

KU_API int ku_home_set_name(ku_home_t *home, const char *format, ...) {
  if (!home) return ku_seterrno(EFAULT);
  char *name = nullptr;
  if (format) {
    va_list ap;
    va_start(ap, format);
    const int length = vasprintf(&name, format, ap);  // the C library's, with errno
    va_end(ap);
    if (length < 0) return -1;
  }
  char *old = nullptr;
  int rc = 0;
  {
    kui::HomeLock g(home, "ku_home_set_name");
    ku_block_t *t = g.table();
    if (!t) {
      rc = ku_seterrno(EINVAL);
      old = name;
    } else if (!name) {
      if (t->kub_named) {
        NamesLock lock;
        old = as_name(names.take(home));
      }
      t->kub_named = 0;
    } else {
      NamesLock lock;
      uintptr_t was;
      if (names.put(home, reinterpret_cast<uintptr_t>(name), &was)) {
        old = as_name(was);
        t->kub_named = 1;
      } else {
        rc = ku_seterrno(ENOMEM);
        old = name;
      }
    }
  }
  free(old);
  return rc;
}

KU_API const char *ku_home_name(ku_home_t const *home) {
  if (!home) return nullptr;
  kui::HomeLock g(home, "ku_home_name");
  return kui::name_of(home, g.table());
}

}  // extern "C"
