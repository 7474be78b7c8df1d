// SPDX-License-Identifier: MIT
// Mutexes of thread-safe homes.
//
// A thread-safe home owns one heap block of two POSIX mutexes: element 0 is the internal mutex
// that every allocator operation takes around its work on the home, element 1 the user mutex
// of ku_home_lock and ku_home_mutex_lock.  The allocator reaches them only through the six
// process-wide hooks, which the first ku_home_threadsafe installs.
#include "ku_alloc_impl.h"

#include <ku/ku.h>

#include <pthread.h>

#include <cerrno>
#include <cstdlib>

namespace {

pthread_mutex_t *mutexes_of(void *block) { return static_cast<pthread_mutex_t *>(block); }

// Each hook gets a function of its own exact type: calling pthread_mutex_lock through a
// pointer of another type would be undefined.
void internal_locker(void *block) { pthread_mutex_lock(&mutexes_of(block)[0]); }
void internal_unlocker(void *block) { pthread_mutex_unlock(&mutexes_of(block)[0]); }
int mutex_locker(void *block) { return pthread_mutex_lock(&mutexes_of(block)[1]); }
int mutex_trylocker(void *block) { return pthread_mutex_trylock(&mutexes_of(block)[1]); }
int mutex_unlocker(void *block) { return pthread_mutex_unlock(&mutexes_of(block)[1]); }

void mutex_destroy(void *block) {
  pthread_mutex_destroy(&mutexes_of(block)[0]);
  pthread_mutex_destroy(&mutexes_of(block)[1]);
  free(block);
}

}  // namespace

extern "C" KU_API int ku_home_threadsafe(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  if (home->kuh_lock) return 0;
  // A program that installed its own hooks before keeps all six of them.
  if (!_ku_home_unlocker) {
    _ku_home_locker = internal_locker;
    _ku_home_unlocker = internal_unlocker;
    _ku_home_mutex_locker = mutex_locker;
    _ku_home_mutex_trylocker = mutex_trylocker;
    _ku_home_mutex_unlocker = mutex_unlocker;
    _ku_home_destroy_mutexes = mutex_destroy;
  }
  auto *block = static_cast<pthread_mutex_t *>(calloc(2, sizeof(pthread_mutex_t)));
  if (!block) return -1;
  pthread_mutex_init(&block[0], nullptr);
  pthread_mutex_init(&block[1], nullptr);
  home->kuh_lock = block;
  return 0;
}
