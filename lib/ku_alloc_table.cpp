// SPDX-License-Identifier: MIT
// A home's block table as a whole: the replacement of a table by a larger one (growth and move)
// with what a walk up through other threads' homes needs of it, and the consistency check.
#include "ku_alloc_slots.h"
#include "ku_alloc_walk.h"

#include <ku/ku.h>

#include <pthread.h>

#include <atomic>
#include <cassert>
#include <cstring>
#include <utility>

namespace {

// ---- Tables dropped during a walk up ----
//
// A move that involves a thread-safe home walks up through homes without a lock, which may be
// other threads' homes that are replacing their tables at that moment.  Such a walk runs under
// the move mutex, so at most one runs at a time; walk_seq is odd while it does.  A home without
// a lock publishes a new table and then reads walk_seq (both sequentially consistent): either
// the walk reads the new table, or the home sees the walk and leaves its old table on the
// retired list, which the walk empties when it ends.  retired_mutex makes the test and the
// entry one step with respect to the end of the walk; nothing is taken while it is held.

std::atomic<uint64_t> walk_seq{0};
pthread_mutex_t retired_mutex = PTHREAD_MUTEX_INITIALIZER;
ku_block_t *retired = nullptr;  // linked through kub_preload, which the walk does not read

// ---- Replacement ----

// Enters every occupied slot of from into to, in index order, copying whole entries.
void copy_entries(ku_block_t *to, const ku_block_t *from) {
  for (uint64_t i = 0; i < from->kub_n; ++i) {
    const ku_alloc_t &e = from->kub_nodes[i];
    if (e.kua_data) *ku_block_add(to, e.kua_data) = e;
  }
}

// Makes t the home's table and gives back old (may be null): at once, or, when a walk may be
// reading the old one, at the walk's end.
void install_table(ku_home_t *home, ku_block_t *t, ku_block_t *old) {
  if (home->kuh_lock) {  // a walk reads this home's table under its lock, which is held here
    home->kuh_blocks = t;
    if (old) kui::release_table(old);
    return;
  }
  std::atomic_ref(home->kuh_blocks).store(t, std::memory_order_seq_cst);
  if (!old) return;
  const uint64_t seq = walk_seq.load(std::memory_order_seq_cst);
  if (seq & 1) {
    pthread_mutex_lock(&retired_mutex);
    const bool walking = walk_seq.load(std::memory_order_relaxed) == seq;
    if (walking) {
      old->kub_preload = retired;
      retired = old;
    }
    pthread_mutex_unlock(&retired_mutex);
    if (walking) return;
  }
  kui::release_table(old);
}

// A replacement table takes over everything of the header except kub_auto and kub_auto_all,
// which describe the old table's own memory.
void copy_header(ku_block_t *to, const ku_block_t *from) {
  to->kub_parent = from->kub_parent;
  to->kub_ref = from->kub_ref;
  to->kub_preload = from->kub_preload;
  to->kub_prsize = from->kub_prsize;
  to->kub_prused = from->kub_prused;
  to->kub_hauto = from->kub_hauto;
  to->kub_preauto = from->kub_preauto;
  to->kub_destructor = from->kub_destructor;
  to->kub_stats = from->kub_stats;
  to->kub_named = from->kub_named;
  to->kub_tracked = from->kub_tracked;
}

// ---- Consistency check ----

// The consistency check of a table and, below it, of its sub-homes' tables (walk_homes): every
// occupied entry passes ku_alloc_check, and kub_used counts them.
struct CheckBlocks {
  struct Level {
    uint64_t count;
  };
  void enter(const ku_home_t *, const ku_block_t *t, size_t, Level &) {
    assert((!t || t->kub_used <= t->kub_n) && "block table: more entries than slots");
    (void)t;
  }
  void entry(const ku_block_t *t, const ku_alloc_t &e, size_t, Level &level) {
    ku_alloc_check(t, &e);
    ++level.count;
  }
  void leave(const ku_home_t *, const ku_block_t *t, size_t, const Level &level, Level *) {
    assert((!t || level.count == t->kub_used) &&
           "block table: kub_used disagrees with the occupied slots");
    (void)t;
    (void)level;
  }
};

}  // namespace

// ---- Tables and records ----

void kui::unowned_walk_begin() noexcept { walk_seq.fetch_add(1, std::memory_order_seq_cst); }

void kui::unowned_walk_end() noexcept {
  pthread_mutex_lock(&retired_mutex);
  walk_seq.fetch_add(1, std::memory_order_seq_cst);
  ku_block_t *list = std::exchange(retired, nullptr);
  pthread_mutex_unlock(&retired_mutex);
  while (list) {
    ku_block_t *next = static_cast<ku_block_t *>(list->kub_preload);
    kui::release_table(list);
    list = next;
  }
}

ku_home_t *kui::unowned_parent_of(const ku_home_t *home) noexcept {
  auto &slot = const_cast<ku_block_t *&>(home->kuh_blocks);
  ku_block_t *t = std::atomic_ref(slot).load(std::memory_order_seq_cst);
  return t ? std::atomic_ref(t->kub_parent).load(std::memory_order_relaxed) : nullptr;
}

void kui::retired_fork_lock() noexcept { pthread_mutex_lock(&retired_mutex); }
void kui::retired_fork_unlock() noexcept { pthread_mutex_unlock(&retired_mutex); }

// Gives the home a table of n slots holding the old table's entries and header, and drops the
// old one.  Returns the new table, or null with the home unchanged.
ku_block_t *kui::replace_table(ku_home_t *home, uint64_t n) noexcept {
  ku_block_t *old = home->kuh_blocks;
  ku_block_t *t = ku_hash_alloc(n);
  if (!t) return nullptr;
  if (old) {
    copy_entries(t, old);
    copy_header(t, old);
  }
  install_table(home, t, old);
  return t;
}

// ---- Public calls ----

extern "C" KU_API void ku_home_check(ku_home_t const *home) {
  if (!home) return;
  CheckBlocks check;
  // Without memory for the levels of a very deep tree, the levels below are left unchecked:
  // running short of memory is no inconsistency.
  kui::walk_homes(home, check);
}
