// SPDX-License-Identifier: MIT
// The tree of homes: a home's parent, its destructor, and the teardown that ends a home and its
// whole tree.
#include "ku_alloc_release.h"
#include "ku_alloc_slots.h"
#include "ku_alloc_track.h"
#include "ku_alloc_walk.h"

#include <ku/ku.h>

#include <cassert>
#include <cstdlib>

// ---- Teardown ----
//
// Ending a home frees its whole tree without recursion, so that a chain of any depth ends on any
// stack.  Each dying home is one level: its lock is detached (its destructor and nested operations
// on it lock nothing), its destructor runs, then its slots are released in index order.  A
// sub-home met on the way is locked while its parent's lock is still held, taken out of the table
// and becomes the next level; the parent's walk resumes when it is gone.  Destructors therefore
// run in the order of a depth-first recursion, each before anything of its home is freed.

namespace {

// One dying home and how far the walk of its table has got.
struct Dying {
  ku_home_t *home;
  ku_home_t *parent;  // the dying home it was entered in; null for the first level
  void *lock;         // its detached internal mutex, released and destroyed when it is gone
  ku_block_t *t;      // the table walked, as last read from the home
  uint64_t i;         // the next slot to look at
  bool released;      // this pass over the table has released an entry
};
using DyingStack = kui::FrameStack<Dying>;

// Tables of this many slots or more are walked with prefetching.  Only they can hold the blocks
// whose frees are ordered (at least LateFrees::kFewest of them, one a slot).
constexpr uint64_t kLargeSlots = 8191;
static_assert(kLargeSlots <= kui::LateFrees::kFewest);

void release_lock(void *lock) {
  if (!lock) return;
  _ku_home_unlocker(lock);
  _ku_home_destroy_mutexes(lock);
}

// Four slots a step, as the walk skips empty runs: this check covers the rest of every table.
bool no_entry_from(const ku_block_t *t, uint64_t i) {
  const uint64_t n = t->kub_n;
  const ku_alloc_t *nodes = t->kub_nodes;
  uintptr_t any = 0;
  for (; i + 4 <= n; i += 4)
    any |= reinterpret_cast<uintptr_t>(nodes[i].kua_data) |
           reinterpret_cast<uintptr_t>(nodes[i + 1].kua_data) |
           reinterpret_cast<uintptr_t>(nodes[i + 2].kua_data) |
           reinterpret_cast<uintptr_t>(nodes[i + 3].kua_data);
  for (; i < n; ++i) any |= reinterpret_cast<uintptr_t>(nodes[i].kua_data);
  return !any;
}

// Whether k slots from e on lie before end, in integer arithmetic: no pointer is formed past the
// table's end.
bool within(const ku_alloc_t *e, uint64_t k, const ku_alloc_t *end) {
  return reinterpret_cast<uintptr_t>(e) + k * sizeof(ku_alloc_t) <=
         reinterpret_cast<uintptr_t>(end);
}

// Releases the entries of f's table from slot f.i on, until it meets a sub-home, which it takes
// out of the table and returns; null once the table is empty.  kub_used falls with each entry,
// which doubles as the consistency check: the pass ends when it reaches zero, and the slots
// behind must be empty.  A destructor may use the dying home: a block it frees is gone before
// the walk reaches it; a block it enters may lie behind the walk, so the walk goes round again
// until the table is empty.  Empty runs are skipped four slots at a time.  Only the walk of a
// large table (kLarge) prefetches and gathers late frees: in it consecutive slots hold blocks in
// no useful order for the cache, so the block kAhead slots further on is prefetched; with late
// non-null, plain heap blocks above the fast sizes go to it instead of to free() (and are not
// prefetched).  The walk of a small table keeps its few live values (the slot, the end of its
// group of four, the table's end and the table) in registers across free(): with an index, the
// group's end and late besides, three of them were saved and reloaded around every call
// (measured: a home of 20 blocks took 323 instructions more to end).
template <bool kLarge> ku_home_t *next_subhome(Dying &f, kui::LateFrees *late) {
  constexpr uint64_t kAhead = 16;
  ku_block_t *t = f.t;
  ku_alloc_t *const nodes = t->kub_nodes;
  assert((kLarge || !late) && "teardown: late frees from a small table");
  for (;;) {
    ku_alloc_t *e = nodes + f.i;
    ku_alloc_t *const last = nodes + t->kub_n;
    while (e < last && t->kub_used) {
      if (within(e, 4, last) && !(reinterpret_cast<uintptr_t>(e[0].kua_data) |
                                  reinterpret_cast<uintptr_t>(e[1].kua_data) |
                                  reinterpret_cast<uintptr_t>(e[2].kua_data) |
                                  reinterpret_cast<uintptr_t>(e[3].kua_data))) {
        e += 4;
        continue;
      }
      for (ku_alloc_t *const stop = within(e, 4, last) ? e + 4 : last; e < stop; ++e) {
        if (kLarge && within(e, kAhead + 1, last)) {
          const ku_alloc_t &a = e[kAhead];
          if (a.kua_data && (!late || !late->takes(a.kua_size)))
            __builtin_prefetch(static_cast<const char *>(a.kua_data) - 8, 1);
        }
        if (!e->kua_data) continue;
        if (!t->kub_used) break;  // more entries than counted: caught below
        ku_alloc_check(t, e);
        f.released = true;
        void *p = e->kua_data;
        if (e->kua_home) {
          kui::take_entry(t, e);
          f.i = static_cast<uint64_t>(e - nodes) + 1;
          return static_cast<ku_home_t *>(p);
        }
        const bool heap = !ku_is_preloaded(t, p);
        const bool later = kLarge && late && late->takes(e->kua_size);
        kui::take_entry(t, e);
        if (!heap) continue;
        if (later)
          late->add(p);
        else
          free(p);
      }
    }
    const auto i = static_cast<uint64_t>(e - nodes);
    f.i = i;
    if (!t->kub_used) {
      if (no_entry_from(t, i)) return nullptr;
    } else if (f.released) {
      f.i = 0;  // a destructor entered blocks behind the walk
      f.released = false;
      continue;
    }
    assert(!"block table: kub_used disagrees with the occupied slots");
    // Without assertions, go on by the slots themselves.
    const uint64_t n = t->kub_n;
    t->kub_used = 0;
    for (uint64_t j = 0; j < n; ++j) t->kub_used += nodes[j].kua_data != nullptr;
    if (!t->kub_used) return nullptr;
    f.i = 0;
    f.released = false;
  }
}

// Makes home the next dying level: detaches its lock, runs its destructor.  When memory for one
// more frame ran out, the level takes the place of its parent's, whose lock is then released at
// once; resume() starts the parent's walk again when it is back.  Returns the level's frame, the
// top.  Inline, as it runs for every dying home: for small sub-homes its call was a good part of
// the level's cost.
[[gnu::always_inline]] inline Dying *begin_dying(DyingStack &stack, ku_home_t *home,
                                                 ku_home_t *parent) {
  void *lock = home->kuh_lock;
  home->kuh_lock = nullptr;
  // With the lock detached the table can be read as it is; most homes have no destructor.
  ku_block_t *t = home->kuh_blocks;
  if (t && t->kub_destructor) {
    kui::run_destructor_once(home);
    // The destructor may have allocated in the home and so replaced its table.
    t = home->kuh_blocks;
  }
  assert((!t || t->kub_used <= t->kub_n) && "block table: more entries than slots");
  Dying *f = stack.push();
  if (!f) {
    f = &stack.top();
    release_lock(f->lock);
  }
  f->home = home;
  f->parent = parent;
  f->lock = lock;
  f->t = t;
  f->i = 0;
  f->released = false;
  return f;
}

// A sub-home met in a dying parent: locked while the parent's lock is held, then ended
// whatever its count (REF_MAX included).  Returns the top frame.
Dying *begin_dying_subhome(DyingStack &stack, ku_home_t *sub, ku_home_t *parent) {
  kui::HomeLock sg(sub);
  ku_block_t *st = sg.table();
  assert(st && "teardown: a sub-home has no block table");
  assert((!st || st->kub_ref >= 1) && "teardown: a sub-home has a zero reference count");
  if (!st) {
    sg.unlock();
    kui::free_home_record(sub);
    return &stack.top();
  }
  st->kub_ref = 0;
  sg.hand_over();
  return begin_dying(stack, sub, parent);
}

// Frees what is left of a dying home once its table is empty: preload area, statistics, table,
// and its lock.  The record is its owner's business.
void end_dying(const Dying &f) {
  if (ku_block_t *t = f.t) {
    if (t->kub_preload) {
      kui::mark_returned(t->kub_preload, t->kub_prsize);
      if (!t->kub_preauto) kui::give_area(t->kub_preload, t->kub_prsize);
    }
    if (t->kub_stats) free(t->kub_stats);
    if (t->kub_named) kui::forget_name(f.home);
    if (!t->kub_inrec) kui::release_table(t);  // a first table goes with its record: no call
    f.home->kuh_blocks = nullptr;
  }
  release_lock(f.lock);
}

// Goes back to the walk of parent once one of its sub-homes is gone.  A destructor below may
// have replaced the parent's table: the walk then starts again on the new one.  Returns the
// parent's frame, the top.
Dying *resume(DyingStack &stack, ku_home_t *parent) {
  Dying *f = stack.empty() ? nullptr : &stack.top();
  if (f && f->home == parent) {
    if (parent->kuh_blocks == f->t) return f;
  } else {
    // The parent's frame gave way to its sub-home's; its table names its own parent.  There
    // is room again for the frame, as the sub-home's is gone.
    f = stack.push();
    f->home = parent;
    f->parent = parent->kuh_blocks ? parent->kuh_blocks->kub_parent : nullptr;
    f->lock = nullptr;
  }
  f->t = parent->kuh_blocks;
  f->i = 0;
  f->released = false;
  return f;
}

}  // namespace

// ---- Cross-file calls ----

// Frees everything of the home; the caller holds the home's internal lock, and this releases
// and destroys it.  The record itself is left to the caller.
void _ku_home_deinit(ku_home_t *home) noexcept {
  if (!home->kuh_blocks) return;
  kui::LateFrees late;  // declared first: its blocks are freed last, after every lock is gone
  DyingStack stack;
  // The top frame is kept at hand: every push, pop and resume says where it is now.
  Dying *f = begin_dying(stack, home, nullptr);
  for (;;) {
    ku_home_t *sub = nullptr;
    if (ku_block_t *t = f->t) {
      kui::LateFrees *l = late.prepare(t) ? &late : nullptr;
      sub = t->kub_n >= kLargeSlots ? next_subhome<true>(*f, l) : next_subhome<false>(*f, l);
    }
    if (sub) {
      f = begin_dying_subhome(stack, sub, f->home);
      continue;
    }
    ku_home_t *const gone = f->home, *const parent = f->parent;
    end_dying(*f);
    stack.pop();
    if (parent) {
      kui::free_home_record(gone);
      f = resume(stack, parent);
    } else if (!stack.empty()) {
      f = &stack.top();
    } else {
      return;
    }
  }
}

// The parent of a home, read under the home's lock: another thread's allocation may be
// replacing the table that holds it.
ku_home_t *kui::parent_of(const ku_home_t *home) noexcept {
  kui::HomeLock g(home);
  ku_block_t *t = g.table();
  return t ? t->kub_parent : nullptr;
}

// Calls the home's destructor, if it has one, taken from the table under the home's lock and
// cleared before the call: it runs at most once, and may use any home, this one included.
void kui::run_destructor_once(ku_home_t *home) noexcept {
  void (*fn)(void *);
  {
    kui::HomeLock g(home);
    ku_block_t *t = g.table();
    if (!t) return;
    fn = t->kub_destructor;
    t->kub_destructor = nullptr;
  }
  if (fn) fn(home);
}
