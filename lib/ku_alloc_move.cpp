// SPDX-License-Identifier: MIT
// Homes that change hands or avoid the heap: moving a home's blocks into another home (or
// detaching them), preload areas, and automatic homes laid into a caller's buffer.
#include "ku_alloc_slots.h"
#include "ku_alloc_track.h"

#include <ku/ku.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// ---- Move, preload, automatic homes ----
//
// Lock order.  A thread waits for a home's lock only while every home whose lock it holds is an
// ancestor of that home: parent before child, in every operation.  A move holds two homes and
// takes the moved sub-homes' locks as well.  It locks the destination first when that is an
// ancestor of the source (a move into a parent), which keeps the rule; otherwise the two are
// unrelated (a destination below the source is refused) and are locked in address order.  Moves
// that involve a thread-safe home run one at a time under the move mutex, taken before any
// home's lock: so the relation of the two homes cannot change between the test and the locking,
// and one thread at most holds two unrelated homes, which cannot close a cycle with threads that
// only wait downwards.  The relation is found by walking up to the top.  A home without a lock
// on the way may be another thread's, growing its table right now: the walk reads its table
// pointer and parent atomically, and a table it drops meanwhile is kept until the walk ends
// (unowned_walk_begin in ku_alloc_table.cpp).

namespace {

// ---- Move ----

// Holds the move mutex for a move that involves a thread-safe home.  Never held while user code
// runs: a destructor may move too.
class MoveLock {
 public:
  explicit MoveLock(bool take) : held_(take) {
    if (held_) kui::move_mutex_lock();
  }
  ~MoveLock() {
    if (held_) kui::move_mutex_unlock();
  }
  MoveLock(const MoveLock &) = delete;
  MoveLock &operator=(const MoveLock &) = delete;

 private:
  bool held_;
};

// Holds two homes' internal mutexes, taken in the order given (an ancestor before its
// descendant; unrelated homes in address order) and released in the reverse order.  The
// second home may be null or the first one again; it is then not locked a second time.
class HomeLockPair {
 public:
  HomeLockPair(const ku_home_t *first, const ku_home_t *second) noexcept
      : first_(first), second_(second == first ? nullptr : second) {}

 private:
  kui::HomeLock first_;  // declared first: constructed first, destroyed last
  kui::HomeLock second_;
};

// Whether target is one of home's ancestors.  A thread-safe home's parent is read under its
// own lock, one lock at a time, so the walk cannot deadlock; any other home's is read as
// unowned_parent_of does.  In a move that involves a thread-safe home (shared), such a home may
// be another thread's, so the walk is announced: a table it drops meanwhile stays until the end.
// Otherwise the calling thread is the one that uses every home without a lock on the way.
bool lies_below(const ku_home_t *home, const ku_home_t *target, bool shared) {
  if (shared) kui::unowned_walk_begin();
  bool found = false;
  for (const ku_home_t *h = home; h && !found;) {
    h = h->kuh_lock ? kui::parent_of(h) : kui::unowned_parent_of(h);
    found = h == target;
  }
  if (shared) kui::unowned_walk_end();
  return found;
}

// Whether x is to be locked before y: an ancestor before its descendant, unrelated homes in
// address order.  x_below_y: whether y was found among x's ancestors.
bool locks_first(const ku_home_t *x, const ku_home_t *y, bool x_below_y, bool shared) {
  if (x_below_y) return false;
  if (lies_below(y, x, shared)) return true;
  return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
}

// Hands the sub-home at data over to a new parent (null: none).
void reparent(void *data, ku_home_t *parent) {
  auto *sub = static_cast<ku_home_t *>(data);
  kui::HomeLock sg(sub);
  // Atomic: a move in another thread may be walking up through a sub-home without a lock.
  if (ku_block_t *st = sg.table())
    std::atomic_ref(st->kub_parent).store(parent, std::memory_order_relaxed);
}

// Takes every block out of the source, leaving them to no home (ku_home_move to null).
int detach_all(ku_home_t *src) {
  kui::HomeLock g(src);
  ku_block_t *s = g.table();
  if (!s || !s->kub_used) return 0;
  for (uint64_t i = 0; i < s->kub_n; ++i)
    if (s->kub_nodes[i].kua_data && s->kub_nodes[i].kua_home)
      reparent(s->kub_nodes[i].kua_data, nullptr);
  s->kub_used = 0;
  memset(s->kub_nodes, 0, s->kub_n * sizeof(ku_alloc_t));
  return 0;
}

// Blocks carved from the source's preload area stay entered in the source: they lie inside
// its area, which the source keeps and frees, so the destination must never see them.
uint64_t movable_entries(const ku_block_t *s) {
  if (!s->kub_preload) return s->kub_used;
  uint64_t movable = 0;
  for (uint64_t i = 0; i < s->kub_n; ++i) {
    const void *p = s->kub_nodes[i].kua_data;
    if (p && !ku_is_preloaded(s, p)) ++movable;
  }
  return movable;
}

// Gives the destination room for used entries: one replacement, straight to the final size,
// rather than growth step by step while entering.  Without a table it takes one of the
// source's size.  Returns the destination's table, or null when memory ran out.
ku_block_t *make_room(ku_home_t *dst, const ku_block_t *s, uint64_t used) {
  ku_block_t *d = dst->kuh_blocks;
  if (!used || (d && !kui::over_two_thirds(used, d->kub_n))) return d;
  uint64_t n = d ? d->kub_n : s->kub_n;
  if (d) {
    do n = kui::grown_slots(n);
    while (kui::over_two_thirds(used, n) && n <= kui::kMaxSlots);
  }
  return kui::replace_table(dst, n);
}

// Enters the source's movable entries into the destination's table d, hands moved sub-homes
// over to the destination, and clears them in the source.
void move_entries(ku_home_t *dst, ku_block_t *d, ku_block_t *s, uint64_t movable) {
  for (uint64_t i = 0; i < s->kub_n; ++i) {
    ku_alloc_t &e = s->kub_nodes[i];
    if (!e.kua_data || ku_is_preloaded(s, e.kua_data)) continue;
    *ku_block_add(d, e.kua_data) = e;
    if (e.kua_home) reparent(e.kua_data, dst);
    kui::clear_entry(&e);
  }
  s->kub_used -= movable;
}

void *refused() {
  ku_seterrno(EINVAL);
  return nullptr;
}

// Takes the one entry of p out of from's table s and enters it in to's table (growing it as an
// allocation would), or detaches it with to null.  Null with errno when p cannot move: not a
// block of from, carved from from's area, or to's table could not grow.
void *steal_entry(ku_home_t *to, ku_block_t *s, void *p) {
  ku_alloc_t *e = s && s->kub_n ? ku_block_find(s, p) : nullptr;
  if (!e || ku_is_preloaded(s, p)) return refused();
  if (!to) {
    if (e->kua_home) reparent(p, nullptr);
    kui::take_entry(s, e);
    return p;
  }
  ku_block_t *d = to->kuh_blocks;
  d = kui::room_for_one(to, d);
  if (!d) return nullptr;
  const ku_alloc_t moved = *e;
  kui::take_entry(s, e);
  *ku_block_add(d, p) = moved;
  if (moved.kua_home) reparent(p, to);
  return p;
}

}  // namespace

// ---- Public calls ----

extern "C" {

KU_API int ku_home_move(ku_home_t *dst, ku_home_t *src) {
  if (!src || dst == src) return 0;
  const bool shared = src->kuh_lock || (dst && dst->kuh_lock);
  if (!dst) {
    MoveLock m(shared);
    return detach_all(src);
  }
  // A home entered into its own table would die twice and be locked twice.
  {
    MoveLock m(shared);
    if (lies_below(dst, src, shared)) return ku_seterrno(EINVAL);
  }
  // The source's destructor runs before any lock is taken, so that it may use any home, the
  // two of the move included.
  kui::run_destructor_once(src);

  MoveLock m(shared);
  // The destructor may have moved the destination below the source.
  if (lies_below(dst, src, shared)) return ku_seterrno(EINVAL);
  const bool dst_first = locks_first(dst, src, false, shared);
  HomeLockPair g(dst_first ? dst : src, dst_first ? src : dst);
  ku_block_t *s = src->kuh_blocks;
  if (!s || !s->kub_n) return 0;
  const uint64_t movable = movable_entries(s);
  const uint64_t used = movable + (dst->kuh_blocks ? dst->kuh_blocks->kub_used : 0);
  ku_block_t *d = make_room(dst, s, used);
  if (used && !d) return -1;
  if (movable) move_entries(dst, d, s, movable);
  return 0;
}

KU_API void *ku_steal(ku_home_t *to, ku_home_t *from, void *p) {
  if (!from || !p) return refused();
  if (to == from) {
    kui::HomeLock g(from);
    ku_block_t *t = g.table();
    if (t && t->kub_n && ku_block_find(t, p)) return p;
    return refused();
  }
  const bool shared = from->kuh_lock || (to && to->kuh_lock);
  MoveLock m(shared);
  // Only homes stand in to's line of ancestors, so the test needs no knowledge of what p is.
  if (to && (to == p || lies_below(to, static_cast<ku_home_t *>(p), shared))) return refused();
  if (!to) {
    kui::HomeLock g(from);
    return steal_entry(nullptr, g.table(), p);
  }
  const bool to_first = locks_first(to, from, lies_below(to, from, shared), shared);
  HomeLockPair g(to_first ? to : from, to_first ? from : to);
  return steal_entry(to, from->kuh_blocks, p);
}

KU_API void ku_home_preload(ku_home_t *home, int n, int size) {
  if (!home) return;
  kui::HomeLock g(home);
  ku_block_t *t = g.table();
  // The table is looked for under the lock, as another thread may be replacing it.  A home
  // without one gets its first table as from ku_home_init; a lock it has is kept.
  if (!t && !(t = home->kuh_blocks = ku_hash_alloc(kui::kFirstSlots))) return;
  if (t->kub_preload) return;
  // Rounded modulo 2^32 without signed overflow, then multiplied in 64 bits; a negative result
  // is a huge unsigned one, capped like any other oversized request.
  const auto item = static_cast<int32_t>(kui::round8(static_cast<uint32_t>(size)));
  uint64_t area = static_cast<uint64_t>(static_cast<int64_t>(n) * item);
  if (area > kui::kMaxPrsize) area = kui::kMaxPrsize;
  t->kub_preload = kui::take_area(area);
  t->kub_prsize = static_cast<uint16_t>(area);
  if (t->kub_preload) kui::mark_unused(t->kub_preload, area);
}

KU_API ku_home_t *ku_home_auto(void *area, int size) {
  if (!area || size < 0) return nullptr;
  const auto addr = reinterpret_cast<uintptr_t>(area);
  const uint64_t gap = (8 - (addr & 7)) & 7;
  const uint64_t table = kui::table_bytes(kui::kAutoSlots);
  const uint64_t prefix = gap + sizeof(ku_home_t) + table;
  uint64_t usable = static_cast<uint64_t>(size);
  if (usable < prefix) return nullptr;
  if (usable > prefix + kui::kMaxPrsize) usable = prefix + kui::kMaxPrsize;

  // The gap goes in front: the record and table then lie aligned, and the preload area begins
  // at area + prefix all the same.
  // The buffer is the caller's again, whatever an earlier home laid into it marked.
  kui::mark_returned(area, usable);
  auto *bytes = static_cast<unsigned char *>(area) + gap;
  auto *home = reinterpret_cast<ku_home_t *>(bytes);
  auto *t = reinterpret_cast<ku_block_t *>(bytes + sizeof(ku_home_t));
  memset(bytes, 0, sizeof(ku_home_t) + table);
  home->kuh_size = size;
  home->kuh_blocks = t;
  t->kub_n = kui::kAutoSlots;
  t->kub_ref = 1;
  t->kub_preload = static_cast<unsigned char *>(area) + prefix;
  t->kub_prsize = static_cast<uint16_t>(usable - prefix);
  t->kub_hauto = 1;
  t->kub_auto = 1;
  t->kub_preauto = 1;
  t->kub_auto_all = 1;
  kui::mark_unused(t->kub_preload, t->kub_prsize);
  return home;
}

}  // extern "C"
