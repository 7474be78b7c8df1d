// SPDX-License-Identifier: MIT
// Statistics: a home's optional record of its allocations, and the process-wide lookup counters
// with the rare paths by which threads' lookups reach them.
#include "ku_alloc_slots.h"

#include <ku/ku.h>

#include <cstdlib>
#include <cstring>

#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

// ---- Lookup counters ----
//
// Programs read and write these objects themselves.  An executable that names one of them
// (position-independent or not) usually gets its own copy of it, and the dynamic linker then
// points the library's GOT entry at that copy.  The library therefore reaches each of them
// only by its exported name, never through a hidden alias: such an alias would keep updating
// the library's original, which no program sees.  The hooks, the log objects and the socket
// switches follow the same rule.

extern "C" {

KU_API uint64_t count_ku_block_find = 0;
KU_API uint64_t size_ku_block_find = 0;
KU_API uint64_t used_ku_block_find = 0;
KU_API uint64_t max_size_ku_block_find = 0;
KU_API uint64_t max_used_ku_block_find = 0;
KU_API uint64_t count_ku_block_find_loop = 0;
KU_API uint64_t ku_block_find_collision = 0;
KU_API uint64_t ku_block_find_collision_used = 0;
KU_API uint64_t ku_block_find_collision_size = 0;

}  // extern "C"

// How lookups reach them: one writer or per-thread tallies (ku_alloc_slots.h).  Everything
// below runs rarely: a thread's first lookup, a full batch, a change of mode, a thread's end.
__thread kui::LookupTally kui::thread_tally __attribute__((tls_model("initial-exec")));
kui::TallyMode kui::tally_mode{kui::kTallyVacant};

namespace {

// The tally lock guards the mode's changes, the registered threads and every addition of a
// batch; with no owner, every write to the counters is made under it.  It is taken while a
// home's lock or the move mutex is held, and nothing is locked under it.
pthread_mutex_t tally_lock = PTHREAD_MUTEX_INITIALIZER;
uint64_t tally_live = 0;     // registered threads that have not ended
bool tally_fenced = false;   // no membarrier(): owners fence themselves
bool tally_started = false;  // the exit key is made and membarrier() asked for
pthread_key_t tally_key;
bool tally_has_key = false;

long barrier_call(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

// Adds a thread's tally into the counters and clears it.  Called with the tally lock held and
// no owner, or by the owner itself.
void add_tally(kui::LookupTally &t) {
  kui::GlobalCounters g;
  g.add(g.count, t.count);
  g.add(g.size, t.size);
  g.add(g.used, t.used);
  if (t.max_size > g.get(g.max_size)) g.put(g.max_size, t.max_size);
  if (t.max_used > g.get(g.max_used)) g.put(g.max_used, t.max_used);
  g.add(g.loop, t.loop);
  if (t.collision > g.get(g.collision)) {
    g.put(g.collision, t.collision);
    g.put(g.collision_used, t.collision_used);
    g.put(g.collision_size, t.collision_size);
  }
  t.since = 0;
  t.count = t.size = t.used = t.max_size = t.max_used = t.loop = 0;
  t.collision = t.collision_used = t.collision_size = 0;
}

// Makes t the owner (with the tally lock held, or in a forked child): the mode names it, and
// its owns flag opens the direct path unless it has to fence.
void make_owner(kui::LookupTally &t) {
  kui::tally_mode.word.store(reinterpret_cast<uintptr_t>(&t) | (tally_fenced ? 1 : 0),
                             std::memory_order_relaxed);
  std::atomic_ref<uint8_t>(t.owns).store(tally_fenced ? 0 : 1, std::memory_order_relaxed);
}

// Ends the owner's direct writes: from the store of the shared mode on, the owner takes the
// shared path at its next lookup, and a lookup it began before has made its last store when its
// busy flag is seen down (see ku_alloc_slots.h).  The owner cannot end meanwhile: its exit
// handler waits for the tally lock, which the caller holds.
void stop_owner(uintptr_t mode) {
  auto *owner = reinterpret_cast<kui::LookupTally *>(mode & ~uintptr_t{1});
  std::atomic_ref<uint8_t>(owner->owns).store(0, std::memory_order_relaxed);
  kui::tally_mode.word.store(kui::kTallyShared, std::memory_order_relaxed);
  if (mode & 1)
    std::atomic_thread_fence(std::memory_order_seq_cst);
  else
    barrier_call(MEMBARRIER_CMD_PRIVATE_EXPEDITED);
  std::atomic_ref<uint8_t> busy(owner->busy);
  while (busy.load(std::memory_order_acquire)) sched_yield();
}

// A thread's end: its tally goes into the counters (an owner's is empty), and the last one
// left may take them back.
void tally_exit(void *arg) {
  auto &t = *static_cast<kui::LookupTally *>(arg);
  pthread_mutex_lock(&tally_lock);
  add_tally(t);
  t.joined = 0;
  // An owner's next lookup, from another key's destructor, must register it anew.
  std::atomic_ref<uint8_t>(t.owns).store(0, std::memory_order_relaxed);
  --tally_live;
  if (tally_live <= 1) kui::tally_mode.word.store(kui::kTallyVacant, std::memory_order_relaxed);
  pthread_mutex_unlock(&tally_lock);
}

// The first lookup of the process: the exit key, and the barrier the mode switch relies on.
void tally_start() {
  tally_started = true;
  tally_has_key = pthread_key_create(&tally_key, tally_exit) == 0;
  tally_fenced = barrier_call(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0;
}

// Registers the calling thread: counted among the live threads, with an exit handler that
// adds its tally.  Without one (no key to be had), the thread counts every lookup under the
// lock and stays registered for good, so no thread owns the counters again.  A thread whose
// handler has run already and which looks up again (another key's destructor) registers anew,
// and the C library runs the handler once more.
void join(kui::LookupTally &t) {
  if (!tally_started) tally_start();
  ++tally_live;
  t.joined = tally_has_key && pthread_setspecific(tally_key, &t) == 0 ? 1 : 2;
}

// The process's end: the exiting thread's tally reaches the counters for handlers that read
// them after main.  Other threads still running keep what they have not added.
[[gnu::destructor]] void tally_at_exit() {
  kui::LookupTally &t = kui::thread_tally;
  if (t.joined != 1) return;
  pthread_mutex_lock(&tally_lock);
  add_tally(t);
  pthread_mutex_unlock(&tally_lock);
}

}  // namespace

void kui::tally_flush() noexcept {
  pthread_mutex_lock(&tally_lock);
  add_tally(kui::thread_tally);
  pthread_mutex_unlock(&tally_lock);
}

void kui::tally_slow(uint64_t n, uint64_t used, uint64_t steps) noexcept {
  kui::LookupTally &me = kui::thread_tally;
  // An owner without membarrier(): its own fence, then the mode once more.
  const uintptr_t fenced_owner = reinterpret_cast<uintptr_t>(&me) | 1;
  if (kui::tally_mode.word.load(std::memory_order_relaxed) == fenced_owner) {
    std::atomic_ref<uint8_t> busy(me.busy);
    busy.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (kui::tally_mode.word.load(std::memory_order_relaxed) == fenced_owner) {
      kui::tally_add(kui::GlobalCounters{}, n, used, steps);
      busy.store(0, std::memory_order_release);
      return;
    }
    busy.store(0, std::memory_order_relaxed);
  }

  pthread_mutex_lock(&tally_lock);
  if (me.joined == 0) join(me);
  const uintptr_t mode = kui::tally_mode.word.load(std::memory_order_relaxed);
  if (mode == kui::kTallyVacant) {
    if (tally_live == 1 && me.joined == 1) {
      add_tally(me);
      make_owner(me);
    } else {
      kui::tally_mode.word.store(kui::kTallyShared, std::memory_order_relaxed);
    }
  } else if (mode != kui::kTallyShared &&
             (mode & ~uintptr_t{1}) != reinterpret_cast<uintptr_t>(&me)) {
    stop_owner(mode);
  }
  // Under the lock, with no other thread writing the counters directly, this lookup goes
  // straight in.
  kui::tally_add(kui::GlobalCounters{}, n, used, steps);
  pthread_mutex_unlock(&tally_lock);
}

// ---- fork() ----

// The library's fork handler holds the tally lock across fork() (ku_alloc_lock.cpp).  In the
// child only the forking thread is left: it owns the counters again, with its tally added (the
// other threads' tallies stay with the parent), and asks for membarrier() anew, which a new
// process does not inherit.
void kui::tally_fork_lock() noexcept { pthread_mutex_lock(&tally_lock); }
void kui::tally_fork_unlock_parent() noexcept { pthread_mutex_unlock(&tally_lock); }
void kui::tally_fork_unlock_child() noexcept {
  kui::LookupTally &me = kui::thread_tally;
  if (tally_started && !tally_fenced)
    tally_fenced = barrier_call(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0;
  me.busy = 0;
  me.owns = 0;
  if (me.joined) {
    add_tally(me);
    tally_live = 1;
    if (me.joined == 1)
      make_owner(me);
    else
      kui::tally_mode.word.store(kui::kTallyShared, std::memory_order_relaxed);
  } else {
    tally_live = 0;
    kui::tally_mode.word.store(kui::kTallyVacant, std::memory_order_relaxed);
  }
  pthread_mutex_unlock(&tally_lock);
}

// ---- Statistics records ----

// Counts an allocation of size bytes in the table's statistics record; preload is the block
// when it was carved, else null.
void ku_home_stats_alloc(ku_block_t *t, const void *preload, uint64_t size,
                         alloc_kind kind) noexcept {
  ku_home_stats_t *stats = t->kub_stats;
  if (t->kub_n != stats->kst_slots) ++stats->kst_resizes;
  stats->kst_slots = static_cast<uint32_t>(t->kub_n);
  if (kind > alloc_zeroed) ++stats->kst_subhomes;
  if (preload) {
    ++stats->kst_alloc_preload;
    return;
  }
  const uint64_t r = kui::round8(size);
  ++stats->kst_alloc_count;
  stats->kst_alloc_bytes += size;
  stats->kst_alloc_rounded += r;
  if (stats->kst_alloc_rounded > stats->kst_alloc_rounded_max)
    stats->kst_alloc_rounded_max = stats->kst_alloc_rounded;
  ++stats->kst_live_count;
  stats->kst_live_bytes += size;
  stats->kst_live_rounded += r;
}

// Counts the freeing of a block of size bytes, as ku_home_stats_alloc counted it.
void ku_home_stats_free(ku_block_t *t, const void *preload, uint32_t size) noexcept {
  ku_home_stats_t *stats = t->kub_stats;
  if (preload) {
    ++stats->kst_free_preload;
    return;
  }
  const auto r = static_cast<uint32_t>(kui::round8(size));
  ++stats->kst_free_count;
  stats->kst_free_bytes += size;
  stats->kst_free_rounded += r;
  --stats->kst_live_count;
  stats->kst_live_bytes -= size;
  stats->kst_live_rounded -= r;
}

// ---- Public calls ----

extern "C" {

KU_API void ku_home_init_stats(ku_home_t *home) {
  if (!home) return;
  if (!home->kuh_blocks) home->kuh_blocks = ku_hash_alloc(kui::kFirstSlots);
  ku_block_t *t = home->kuh_blocks;
  if (!t) return;
  if (!t->kub_stats) {
    t->kub_stats = static_cast<ku_home_stats_t *>(malloc(sizeof(ku_home_stats_t)));
    if (!t->kub_stats) return;
  }
  // A home's own record always holds all of its fields.
  memset(t->kub_stats, 0, sizeof(ku_home_stats_t));
  t->kub_stats->kst_size = sizeof(ku_home_stats_t);
  t->kub_stats->kst_slots = static_cast<uint32_t>(t->kub_n);
}

KU_API void ku_home_get_stats(ku_home_t *home, int, ku_home_stats_t *stats, int size) {
  // Negative sizes are refused rather than read as huge ones.
  if (!stats || size < 4) return;
  memset(stats, 0, static_cast<size_t>(size));
  kui::HomeLock g(home);
  ku_block_t *t = g.table();
  if (!t || !t->kub_stats) return;
  ku_home_stats_t *own = t->kub_stats;
  const int32_t n = own->kst_size < size ? own->kst_size : size;
  own->kst_prsize = t->kub_prsize;
  own->kst_prused = t->kub_prused;
  memcpy(stats, own, static_cast<size_t>(n));
  stats->kst_size = n;
}

KU_API void ku_home_stat_add(ku_home_stats_t *total, ku_home_stats_t const *add) {
  total->kst_subhomes += add->kst_subhomes;
  total->kst_resizes += add->kst_resizes;
  if (add->kst_slots > total->kst_slots) total->kst_slots = add->kst_slots;
  total->kst_alloc_count += add->kst_alloc_count;
  total->kst_alloc_bytes += add->kst_alloc_bytes;
  total->kst_alloc_rounded += add->kst_alloc_rounded;
  total->kst_alloc_rounded_max += add->kst_alloc_rounded_max;
  total->kst_free_count += add->kst_free_count;
  total->kst_free_bytes += add->kst_free_bytes;
  total->kst_free_rounded += add->kst_free_rounded;
  total->kst_live_count += add->kst_live_count;
  total->kst_live_bytes += add->kst_live_bytes;
  total->kst_live_rounded += add->kst_live_rounded;
}

}  // extern "C"
