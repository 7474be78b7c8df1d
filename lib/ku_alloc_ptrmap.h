// SPDX-License-Identifier: MIT
// A small map from addresses to pointer-sized values, for what the allocator keeps beside home
// records without changing them: the names of homes, and the live top-level homes of a program
// that asked for a leak report.  Open addressing with linear probing; removal shifts the entries
// behind back into the hole, so there are no markers and a lookup stops at the first empty slot.
// Its memory comes from malloc and is given back when the map empties.  Keys are kept inverted,
// so that leak checkers (LeakSanitizer, memcheck) do not take the map for a reference to the
// records: a home that a program leaks stays "definitely lost" while it is listed.  Not locked:
// each user holds its own mutex around it.
#ifndef KU_ALLOC_PTRMAP_H
#define KU_ALLOC_PTRMAP_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace kui {

class PtrMap {
 public:
  struct Slot {
    uintptr_t key;  // the key inverted; 0 marks a free slot
    uintptr_t value;
  };

  // The value slot of key, or null.
  uintptr_t *find(const void *key) noexcept {
    if (!slots_) return nullptr;
    for (size_t i = home_of(key);; i = (i + 1) & (cap_ - 1)) {
      if (slots_[i].key == hide(key)) return &slots_[i].value;
      if (!slots_[i].key) return nullptr;
    }
  }

  // Enters key with value, or gives an entered key the new value; *old receives the value it
  // replaced (0 for a new key).  False, with nothing changed, when memory ran out.
  bool put(const void *key, uintptr_t value, uintptr_t *old) noexcept {
    *old = 0;
    if (uintptr_t *v = find(key)) {
      *old = *v;
      *v = value;
      return true;
    }
    if (2 * (used_ + 1) > cap_ && !grow()) return false;
    insert(key, value);
    return true;
  }

  // Removes key and returns its value (0 when it was not entered).
  uintptr_t take(const void *key) noexcept {
    if (!slots_) return 0;
    const size_t mask = cap_ - 1;
    size_t i = home_of(key);
    while (slots_[i].key != hide(key)) {
      if (!slots_[i].key) return 0;
      i = (i + 1) & mask;
    }
    const uintptr_t value = slots_[i].value;
    // Each entry behind the hole that may live there (its home slot lies cyclically at or
    // before the hole) moves into it, and leaves a hole of its own.
    for (size_t j = (i + 1) & mask; slots_[j].key; j = (j + 1) & mask) {
      const size_t h = home_of(shown(slots_[j].key));
      if (((j - h) & mask) >= ((j - i) & mask)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    if (--used_ == 0) {
      free(slots_);
      slots_ = nullptr;
      cap_ = 0;
    }
    return value;
  }

  size_t size() const noexcept { return used_; }

  // Calls f(key, value) for every entry, in no particular order.  f must not change the map.
  template <class F> void each(F &&f) const noexcept {
    for (size_t i = 0; i < cap_; ++i)
      if (slots_[i].key) f(shown(slots_[i].key), slots_[i].value);
  }

 private:
  static uintptr_t hide(const void *key) noexcept { return ~reinterpret_cast<uintptr_t>(key); }
  static const void *shown(uintptr_t key) noexcept { return reinterpret_cast<const void *>(~key); }

  size_t home_of(const void *key) const noexcept {
    // Records are at least 16-aligned: the low bits carry nothing.
    const uint64_t k = reinterpret_cast<uintptr_t>(key) >> 4;
    return static_cast<size_t>((k * 0x9E3779B97F4A7C15u) >> 32) & (cap_ - 1);
  }

  void insert(const void *key, uintptr_t value) noexcept {
    size_t i = home_of(key);
    while (slots_[i].key) i = (i + 1) & (cap_ - 1);
    slots_[i] = Slot{hide(key), value};
    ++used_;
  }

  bool grow() noexcept {
    const size_t cap = cap_ ? 2 * cap_ : 16;
    auto *slots = static_cast<Slot *>(calloc(cap, sizeof(Slot)));
    if (!slots) return false;
    Slot *old = slots_;
    const size_t old_cap = cap_;
    slots_ = slots;
    cap_ = cap;
    used_ = 0;
    for (size_t i = 0; i < old_cap; ++i)
      if (old[i].key) insert(shown(old[i].key), old[i].value);
    free(old);
    return true;
  }

  Slot *slots_ = nullptr;
  size_t cap_ = 0;  // a power of two, or 0
  size_t used_ = 0;
};

}  // namespace kui

#endif  // KU_ALLOC_PTRMAP_H
