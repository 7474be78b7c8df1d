// SPDX-License-Identifier: MIT
// All mutex code of the homes: the process-wide hooks, thread-safe homes, the user mutex, the
// move mutex, and the one fork handler.
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

// ---- Hooks ----
//
// Programs read and write these objects themselves; the library reaches each of them only by
// its exported name (see the lookup counters in ku_alloc_stat.cpp).

extern "C" {

KU_API void (*_ku_home_locker)(void *mutexes) = nullptr;
KU_API void (*_ku_home_unlocker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_locker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_trylocker)(void *mutexes) = nullptr;
KU_API int (*_ku_home_mutex_unlocker)(void *mutexes) = nullptr;
KU_API void (*_ku_home_destroy_mutexes)(void *mutexes) = nullptr;

}  // extern "C"

namespace {

// ---- Mutexes of a thread-safe home ----

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

// ---- Move mutex ----

pthread_mutex_t move_mutex = PTHREAD_MUTEX_INITIALIZER;

// ---- fork() ----

// A child of fork() must not inherit a library lock that another thread of the parent held.
// So the forking thread takes all of them first, in the one order in which any thread may hold
// them together (doc/homes.md): the live-homes lock, the move mutex, the lookup counters' tally
// lock (a move looks blocks up under the move mutex), the names lock, the spare pool's lock,
// then the retired-tables lock.  The tally lock is held across a system call and a wait for
// another thread, so no thread takes it while it holds one of the last three, which are held
// while nothing else is awaited.  One handler takes them all, so that the order does not follow
// the order in which a static link happens to pull in the library's files.  Homes' own mutexes
// are the program's to guard.
void before_fork() {
  kui::live_fork_lock();
  kui::move_mutex_lock();
  kui::tally_fork_lock();
  kui::names_fork_lock();
  kui::pool_fork_lock();
  kui::retired_fork_lock();
}
void after_fork_parent() {
  kui::retired_fork_unlock();
  kui::pool_fork_unlock();
  kui::names_fork_unlock();
  kui::tally_fork_unlock_parent();
  kui::move_mutex_unlock();
  kui::live_fork_unlock();
}
void after_fork_child() {
  kui::retired_fork_unlock();
  kui::pool_fork_child();
  kui::names_fork_unlock();
  kui::tally_fork_unlock_child();
  kui::move_mutex_unlock();
  kui::live_fork_unlock();
}

[[gnu::constructor]] void guard_fork() {
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

// Serialises the moves that involve a thread-safe home (ku_alloc_move.cpp).
void kui::move_mutex_lock() noexcept { pthread_mutex_lock(&move_mutex); }
void kui::move_mutex_unlock() noexcept { pthread_mutex_unlock(&move_mutex); }

// ---- Public calls ----

extern "C" {

KU_API int ku_home_threadsafe(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  if (kui::is_ended_lock(home->kuh_lock)) kui::home_ended(home, "ku_home_threadsafe");
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

KU_API int ku_home_is_threadsafe(ku_home_t const *home) { return home && home->kuh_lock ? 1 : 0; }

KU_API int ku_home_mutex_lock(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  if (kui::take_ref(home, "ku_home_mutex_lock") <= 0) return ku_seterrno(EINVAL);
  if (!home->kuh_lock) return 0;
  // The reference stays taken when the lock fails, as the caller's unlock will not follow.
  const int r = _ku_home_mutex_locker(home->kuh_lock);
  return r ? ku_seterrno(r) : 0;
}

KU_API int ku_home_mutex_unlock(ku_home_t *home) {
  if (!home) return ku_seterrno(EFAULT);
  // The user mutex goes first: dropping the last reference destroys it.
  if (kui::is_ended_lock(home->kuh_lock)) kui::home_ended(home, "ku_home_mutex_unlock");
  if (home->kuh_lock) {
    const int r = _ku_home_mutex_unlocker(home->kuh_lock);
    if (r) return ku_seterrno(r);
  }
  return kui::drop_ref(home, "ku_home_mutex_unlock") < 0 ? ku_seterrno(EINVAL) : 0;
}

KU_API int ku_home_lock(ku_home_t *home) {
  if (!home) return EFAULT;
  if (kui::is_ended_lock(home->kuh_lock)) kui::home_ended(home, "ku_home_lock");
  return home->kuh_lock ? _ku_home_mutex_locker(home->kuh_lock) : -1;
}

KU_API int ku_home_trylock(ku_home_t *home) {
  if (!home) return EFAULT;
  if (kui::is_ended_lock(home->kuh_lock)) kui::home_ended(home, "ku_home_trylock");
  return home->kuh_lock ? _ku_home_mutex_trylocker(home->kuh_lock) : -1;
}

KU_API int ku_home_unlock(ku_home_t *home) {
  if (!home) return EFAULT;
  if (kui::is_ended_lock(home->kuh_lock)) kui::home_ended(home, "ku_home_unlock");
  return home->kuh_lock ? _ku_home_mutex_unlocker(home->kuh_lock) : -1;
}

}  // extern "C"
