// SPDX-License-Identifier: MIT
// The walk over a tree of homes without recursion, and the stack of frames it and the teardown
// keep: a tree of any depth is walked on any stack.  Used by the teardown, the consistency check
// and the report.
#ifndef KU_ALLOC_WALK_H
#define KU_ALLOC_WALK_H

#include "ku_alloc_impl.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace kui {

// The frames of a walk over a tree of homes that does not recurse, one per level from the home
// it began with down to the current one, so that a tree of any depth is walked on any stack.
// The first kInline frames live in the object; a deeper walk moves them to the heap.
template <class Frame, size_t kInline = 16> class FrameStack {
  static_assert(std::is_trivially_copyable_v<Frame>, "frames are moved with memcpy");

 public:
  FrameStack() noexcept = default;
  ~FrameStack() {
    if (frames_ != local()) free(frames_);
  }
  FrameStack(const FrameStack &) = delete;
  FrameStack &operator=(const FrameStack &) = delete;

  // Adds a frame on top and returns it, for the caller to fill in (built elsewhere and copied,
  // a frame costs store-forwarding stalls); null, with nothing changed, when memory ran out.
  Frame *push() noexcept {
    if (size_ == cap_ && !grow()) return nullptr;
    return &frames_[size_++];
  }
  Frame &top() noexcept { return frames_[size_ - 1]; }
  Frame *under_top() noexcept { return size_ > 1 ? &frames_[size_ - 2] : nullptr; }
  void pop() noexcept { --size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_t size() const noexcept { return size_; }

 private:
  Frame *local() noexcept { return reinterpret_cast<Frame *>(local_); }
  bool grow() noexcept {
    const size_t cap = 2 * cap_;
    void *p =
        frames_ == local() ? malloc(cap * sizeof(Frame)) : realloc(frames_, cap * sizeof(Frame));
    if (!p) return false;
    if (frames_ == local()) memcpy(p, local_, size_ * sizeof(Frame));
    frames_ = static_cast<Frame *>(p);
    cap_ = cap;
    return true;
  }

  alignas(Frame) unsigned char local_[kInline * sizeof(Frame)];
  Frame *frames_ = local();
  size_t size_ = 0;
  size_t cap_ = kInline;
};

// Visits a tree of homes depth first, as a recursion would but on a stack of frames: a home,
// then each occupied slot of its table in index order, a sub-home's own tree right behind its
// entry.  A home's internal lock is held from before its visit until its sub-homes are done
// (parent before child).  The visitor's Level is its state for one home; it is told
//   enter(home, table, depth, level)                 once the home is locked (table may be null),
//   entry(table, entry, depth, level)                for each occupied slot,
//   leave(home, table, depth, level, parent_level)   after the last slot, before the unlock
//                                                    (parent_level null for the first home).
// Returns false, with every lock released, when memory for the frames of a deep tree ran out.
template <class Visitor> bool walk_homes(const ku_home_t *top, Visitor &v) noexcept {
  using Level = typename Visitor::Level;
  struct Frame {
    const ku_home_t *home;
    const ku_block_t *t;
    uint64_t i;
    Level level;
  };
  FrameStack<Frame> stack;
  auto enter = [&](const ku_home_t *home) {
    lock_home(home);
    Frame *f = stack.push();
    if (!f) {
      unlock_home(home);
      return false;
    }
    f->home = home;
    f->t = home->kuh_blocks;
    f->i = 0;
    f->level = Level{};
    v.enter(home, f->t, stack.size() - 1, f->level);
    return true;
  };

  if (!enter(top)) return false;
  while (!stack.empty()) {
    Frame &f = stack.top();
    const ku_home_t *sub = nullptr;
    while (!sub && f.t && f.i < f.t->kub_n) {
      const ku_alloc_t &e = f.t->kub_nodes[f.i++];
      if (!e.kua_data) continue;
      v.entry(f.t, e, stack.size() - 1, f.level);
      if (e.kua_home) sub = static_cast<const ku_home_t *>(e.kua_data);
    }
    if (sub) {
      if (enter(sub)) continue;
      for (; !stack.empty(); stack.pop()) unlock_home(stack.top().home);
      return false;
    }
    Frame *parent = stack.under_top();
    v.leave(f.home, f.t, stack.size() - 1, f.level, parent ? &parent->level : nullptr);
    unlock_home(f.home);
    stack.pop();
  }
  return true;
}

}  // namespace kui

#endif  // KU_ALLOC_WALK_H
