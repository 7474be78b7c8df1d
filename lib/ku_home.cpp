// SPDX-License-Identifier: MIT
// The life of a home: creation, references, and the ends of top-level homes.  The teardown of a
// tree is in ku_home_tree.cpp; sub-homes are made and ended in ku_alloc.cpp, as blocks of their
// parents.
#include "ku_alloc_impl.h"

#include <ku/ku.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>

namespace {

// ku_home_deinit and ku_home_destroy: both end a top-level home that holds one reference, under
// the home's lock, which the teardown releases; ku_home_deinit only one whose record is the
// caller's (kub_hauto).
void end_top_home(ku_home_t *home, bool callers_record, const char *call) {
  if (!home) return;
  kui::LiveLock live;
  kui::HomeLock g(home, call);
  ku_block_t *t = g.table();
  if (!t) return;
  assert(t->kub_ref == 1 && "ku_home_deinit/destroy: the home's count is not 1");
  assert((!callers_record || t->kub_hauto) &&
         "ku_home_deinit: the home's record is the allocator's");
  assert(!t->kub_parent && "ku_home_deinit/destroy: the home is a sub-home");
  if (t->kub_ref != 1 || (callers_record && !t->kub_hauto) || t->kub_parent) return;
  live.forget(home, t);
  live.unlock();
  _ku_home_deinit(home);
  g.hand_over();
}

}  // namespace

// ---- Cross-file calls ----

// Takes a reference under the home's lock.  Returns 1; 0 for a home without table; -1 for a
// count of zero (a dying home).
int kui::take_ref(ku_home_t *home, const char *call) noexcept {
  kui::HomeLock g(home, call);
  ku_block_t *t = g.table();
  if (!t) return 0;
  assert(t->kub_ref != 0 && "ku_home_ref: the home's count is zero");
  if (t->kub_ref == 0) return -1;
  if (t->kub_ref != REF_MAX) ++t->kub_ref;
  return 1;
}

// Drops a reference; the last one ends the home.  Returns 1 when the home was ended, 0 when it
// was not, -1 for a home without table.
int kui::drop_ref(ku_home_t *home, const char *call) noexcept {
  kui::LiveLock live;  // before the home's lock: the walk over live homes holds it while it locks
  kui::HomeLock g(home, call);
  ku_block_t *t = g.table();
  if (!t) return -1;
  // A dying home's count is 0: lowering it would store REF_MAX.
  if (t->kub_ref == REF_MAX || t->kub_ref == 0) return 0;
  if (--t->kub_ref != 0) return 0;
  if (ku_home_t *parent = t->kub_parent) {
    // Parent before child: the sub-home's lock goes before its parent's is taken.
    live.unlock();
    g.unlock();
    kui::end_unreferenced_subhome(home, parent);
    return 1;
  }
  const bool heap_record = !t->kub_hauto;
  live.forget(home, t);
  live.unlock();
  _ku_home_deinit(home);
  g.hand_over();
  if (heap_record) kui::free_home_record(home);
  return 1;
}

// ---- Public calls ----

extern "C" {

KU_API void *ku_home_new(int size) {
  assert(static_cast<uint32_t>(size) >= sizeof(ku_home_t) && "ku_home_new: size below 24");
  if (static_cast<uint32_t>(size) < sizeof(ku_home_t)) {
    ku_seterrno(EINVAL);
    return nullptr;
  }
  // calloc would refuse the sign-extended size as well, with the same ENOMEM.
  if (size < 0) {
    ku_seterrno(ENOMEM);
    return nullptr;
  }
  ku_home_t *home = kui::new_home_record(static_cast<uint64_t>(size), nullptr);
  if (home) kui::track_home(home);
  return home;
}

KU_API ku_home_t *ku_home_create(void) {
  return static_cast<ku_home_t *>(ku_home_new(sizeof(ku_home_t)));
}

KU_API int ku_home_init(ku_home_t *home) {
  if (!home) return -1;
  home->kuh_blocks = ku_hash_alloc(kui::kFirstSlots);
  home->kuh_lock = nullptr;
  return home->kuh_blocks ? 0 : -1;
}

KU_API void *ku_home_clone(ku_home_t *parent, int size) {
  assert(static_cast<uint32_t>(size) >= sizeof(ku_home_t) && "ku_home_clone: size below 24");
  if (static_cast<uint32_t>(size) < sizeof(ku_home_t)) {
    ku_seterrno(EINVAL);
    return nullptr;
  }
  if (!parent) return ku_home_new(size);
  // A negative size reaches the allocation as a huge one and is refused there with ENOMEM.
  return kui::alloc_subhome(parent, static_cast<uint64_t>(static_cast<int64_t>(size)));
}

KU_API ku_home_t *ku_home_ref(ku_home_t *home) {
  if (!home) {
    ku_seterrno(EFAULT);
    return nullptr;
  }
  const int taken = kui::take_ref(home, "ku_home_ref");
  assert(taken != 0 && "ku_home_ref: the home has no block table");
  return taken > 0 ? home : nullptr;
}

KU_API int ku_home_unref(ku_home_t *home) {
  return home && kui::drop_ref(home, "ku_home_unref") > 0 ? 1 : 0;
}

KU_API uint64_t ku_home_refcount(ku_home_t *home) {
  if (!home) return 0;
  kui::HomeLock g(home, "ku_home_refcount");
  ku_block_t *t = g.table();
  return t ? t->kub_ref : 0;
}

KU_API ku_home_t *ku_home_parent(ku_home_t const *home) {
  return home ? kui::parent_of(home) : nullptr;
}

KU_API int ku_home_has_parent(ku_home_t const *home) { return ku_home_parent(home) ? 1 : 0; }

KU_API int ku_home_destructor(ku_home_t *home, void (*destructor)(void *)) {
  if (!home) return ku_seterrno(EFAULT);
  kui::HomeLock g(home, "ku_home_destructor");
  ku_block_t *t = g.table();
  if (!t || t->kub_destructor) return -1;
  t->kub_destructor = destructor;
  return 0;
}

// The misspelt name is the one existing programs call; it stays beside the right one.
KU_API int ku_home_desctructor(ku_home_t *home, void (*destructor)(void *)) {
  return ku_home_destructor(home, destructor);
}

KU_API void ku_home_deinit(ku_home_t *home) { end_top_home(home, true, "ku_home_deinit"); }

KU_API void ku_home_destroy(ku_home_t *home) { end_top_home(home, false, "ku_home_destroy"); }

}  // extern "C"
