// SPDX-License-Identifier: MIT
/*
 * <ku/ku.hpp>: a header-only C++17 layer over the memory homes of <ku/ku_alloc.h>.
 *
 * Optional for C++ programs and invisible to C ones: nothing here is compiled into the library.
 * It gives homes the usual C++ ownership shapes:
 *   ku::unique_home       one owned reference, dropped with ku_home_unref;
 *   ku::shared_home       copies take references with ku_home_ref;
 *   ku::home_mutex_guard  holds a home's user mutex (and a reference) for a scope;
 *   ku::auto_home<N>      an automatic home laid into an N-byte member buffer;
 *   ku::home_resource     a std::pmr::memory_resource that allocates in a home; for containers
 *                         with much churn, the upstream of a standard pool (see below);
 *   ku::make_array<T>     an array of n value-initialised T in a home;
 *   ku::strdup            a string copy in a home.
 * The classes own references, never memory of their own, so a home still ends exactly as the
 * C interface says: its last reference frees everything allocated in it.
 * Unlike the library itself this layer may throw: home_resource throws std::bad_alloc and
 * home_mutex_guard std::system_error (both abort instead when exceptions are disabled).
 */
#ifndef KU_KU_HPP
#define KU_KU_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "<ku/ku.hpp> needs C++17 or later; C programs include <ku/ku_alloc.h>"
#endif

#include <ku/ku_alloc.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

namespace ku {

namespace detail {

[[noreturn]] inline void throw_bad_alloc() {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
  throw std::bad_alloc();
#else
  std::abort();
#endif
}

[[noreturn]] inline void throw_system_error(int error, const char *what) {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
  throw std::system_error(error, std::generic_category(), what);
#else
  (void)error;
  (void)what;
  std::abort();
#endif
}

}  // namespace detail

/* Owns one reference to a home and drops it with ku_home_unref when destroyed or reset, which
 * ends the home if it was the last.  Works for every kind of home: a heap home is freed, a
 * sub-home is freed through its parent, a caller's home is deinitialised.  Move-only; a null
 * unique_home owns nothing. */
class unique_home {
 public:
  unique_home() noexcept = default;
  /* Adopts the reference the caller holds on home (may be null). */
  explicit unique_home(ku_home_t *home) noexcept : home_(home) {}
  unique_home(unique_home &&other) noexcept : home_(other.release()) {}
  unique_home &operator=(unique_home &&other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_home(const unique_home &) = delete;
  unique_home &operator=(const unique_home &) = delete;
  ~unique_home() { reset(); }

  /* A new heap home of size bytes (ku_home_new; size >= 24), or a null unique_home when memory
   * ran out.  The home record may be the first member of a larger record of that size. */
  static unique_home create(int size = static_cast<int>(sizeof(ku_home_t))) noexcept {
    return unique_home(static_cast<ku_home_t *>(ku_home_new(size)));
  }
  /* A new sub-home of parent (ku_home_clone), or a null unique_home when memory ran out.
   * It still dies with its parent: end this handle before the parent's last reference. */
  static unique_home clone(ku_home_t *parent,
                           int size = static_cast<int>(sizeof(ku_home_t))) noexcept {
    return unique_home(static_cast<ku_home_t *>(ku_home_clone(parent, size)));
  }
  /* The same, with the home named name (ku_home_set_name), as the reports show it.  A name that
   * cannot be copied for want of memory leaves the home unnamed. */
  static unique_home create(const char *name,
                            int size = static_cast<int>(sizeof(ku_home_t))) noexcept {
    return named(create(size), name);
  }
  static unique_home clone(ku_home_t *parent, const char *name,
                           int size = static_cast<int>(sizeof(ku_home_t))) noexcept {
    return named(clone(parent, size), name);
  }

  ku_home_t *get() const noexcept { return home_; }
  explicit operator bool() const noexcept { return home_ != nullptr; }
  /* Gives the reference back to the caller without dropping it. */
  ku_home_t *release() noexcept { return std::exchange(home_, nullptr); }
  /* Drops the owned reference (if any) and adopts home's. */
  void reset(ku_home_t *home = nullptr) noexcept {
    ku_home_t *old = std::exchange(home_, home);
    if (old != nullptr) ku_home_unref(old);
  }
  void swap(unique_home &other) noexcept { std::swap(home_, other.home_); }

 private:
  static unique_home named(unique_home home, const char *name) noexcept {
    if (home && name != nullptr) ku_home_set_name(home.get(), "%s", name);
    return home;
  }
  ku_home_t *home_ = nullptr;
};

/* Shares a home: each copy holds its own reference (ku_home_ref), each destruction drops one
 * (ku_home_unref), so the home ends with the last shared_home and any other references. */
class shared_home {
 public:
  shared_home() noexcept = default;
  /* Adopts the reference the caller holds on home (may be null). */
  explicit shared_home(ku_home_t *home) noexcept : home_(home) {}
  /* Takes over the reference a unique_home owns. */
  shared_home(unique_home &&owner) noexcept : home_(owner.release()) {}
  shared_home(const shared_home &other) noexcept : home_(share_ref(other.home_)) {}
  shared_home(shared_home &&other) noexcept : home_(std::exchange(other.home_, nullptr)) {}
  shared_home &operator=(const shared_home &other) noexcept {
    if (this != &other) reset(share_ref(other.home_));
    return *this;
  }
  shared_home &operator=(shared_home &&other) noexcept {
    if (this != &other) reset(std::exchange(other.home_, nullptr));
    return *this;
  }
  ~shared_home() { reset(); }

  /* A new reference to a live home that somebody else already holds (ku_home_ref).  A home
   * without table aborts in ku_home_ref, as it does in C. */
  static shared_home share(ku_home_t *home) noexcept { return shared_home(share_ref(home)); }

  ku_home_t *get() const noexcept { return home_; }
  explicit operator bool() const noexcept { return home_ != nullptr; }
  /* The home's reference count (ku_home_refcount): 0 for a null handle. */
  uint64_t use_count() const noexcept { return ku_home_refcount(home_); }
  void reset(ku_home_t *home = nullptr) noexcept {
    ku_home_t *old = std::exchange(home_, home);
    if (old != nullptr) ku_home_unref(old);
  }
  void swap(shared_home &other) noexcept { std::swap(home_, other.home_); }

 private:
  static ku_home_t *share_ref(ku_home_t *home) noexcept {
    return home != nullptr ? ku_home_ref(home) : nullptr;
  }
  ku_home_t *home_ = nullptr;
};

inline void swap(unique_home &a, unique_home &b) noexcept { a.swap(b); }
inline void swap(shared_home &a, shared_home &b) noexcept { a.swap(b); }

/* Holds a home's user mutex for a scope: ku_home_mutex_lock in the constructor,
 * ku_home_mutex_unlock in the destructor.  The lock also holds a reference, so the home outlives
 * the guard even if its owner lets go meanwhile.  A home that is not thread-safe is only
 * referenced.  Throws std::system_error with the errno of ku_home_mutex_lock (EFAULT for a null
 * home, EINVAL for a home without table).  Not copyable. */
class home_mutex_guard {
 public:
  explicit home_mutex_guard(ku_home_t *home) : home_(home) {
    if (ku_home_mutex_lock(home) != 0) detail::throw_system_error(errno, "ku_home_mutex_lock");
  }
  /* Adopts a lock (and reference) already taken with ku_home_mutex_lock. */
  home_mutex_guard(ku_home_t *home, std::adopt_lock_t) noexcept : home_(home) {}
  home_mutex_guard(const home_mutex_guard &) = delete;
  home_mutex_guard &operator=(const home_mutex_guard &) = delete;
  ~home_mutex_guard() { ku_home_mutex_unlock(home_); }

  ku_home_t *home() const noexcept { return home_; }

 private:
  ku_home_t *home_;
};

/* An automatic home in an N-byte member buffer (ku_home_auto): the home record and a 7-slot
 * table take its first 200 bytes, the rest (up to 65,535 bytes) is the preload area from which
 * small allocations are carved.  Heap allocations made once it is full are freed by the
 * destructor (ku_home_deinit).  Not copyable and not movable, since the home lies inside the
 * object.  Blocks carved from the buffer are only 8-byte aligned. */
template <std::size_t N> class auto_home {
  static_assert(N >= 200, "an automatic home needs at least 200 bytes");
  static_assert(N <= static_cast<std::size_t>(INT_MAX), "buffer size must fit in an int");

 public:
  auto_home() noexcept : home_(ku_home_auto(buffer_, static_cast<int>(N))) {}
  auto_home(const auto_home &) = delete;
  auto_home &operator=(const auto_home &) = delete;
  /* Ends the home unless it was ended already (for example by its last ku_home_unref).  Any
   * extra reference taken with ku_home_ref must have been dropped: ku_home_deinit asserts a
   * count of 1. */
  ~auto_home() { ku_home_deinit(home_); }

  ku_home_t *get() const noexcept { return home_; }

 private:
  alignas(std::max_align_t) unsigned char buffer_[N];
  ku_home_t *home_;
};

/* A std::pmr::memory_resource whose blocks are allocations of a home, so std::pmr containers
 * can live in it: e.g. std::pmr::vector<int> v{&resource}.  The resource holds no reference;
 * the home must outlive every container that uses it (declare the home first).  Blocks are
 * freed one by one through ku_free when a container releases them, and all at once when the
 * home ends.
 * Alignment: the home guarantees 8 bytes (blocks carved from a preload area are no better
 * aligned), so a request for more is served by over-allocating and keeping the block's own
 * address just below the aligned one.  The unused tail of such a block, when it is 64 bytes or
 * more, goes back to the C library at once with ku_realloc, as aligned_alloc gives its slack
 * back: a home's statistics therefore count that block as two allocations and one free.
 * allocate throws std::bad_alloc when the home has no memory, when the size with its
 * alignment slack exceeds INT_MAX, and for an alignment that is not a power of two.  Handing a
 * block to deallocate that the home does not hold aborts, as ku_free does.
 *
 * Containers with much churn (many small blocks allocated and freed, maps and unordered maps
 * above all) are cheapest with a standard pool between them and the home:
 *     ku::home_resource in_home(home);
 *     std::pmr::unsynchronized_pool_resource pool(&in_home);   // or monotonic_buffer_resource
 *     std::pmr::map<std::pmr::string, int> index(&pool);
 * The pool takes the churn: it hands out and takes back small blocks without a call to the
 * home, and asks the home only for its chunks, a few dozen large blocks.  The home takes the
 * lifetime: the chunks are allocations of the home, so ending the home (or a parent of it)
 * frees them even if the pool object is never destroyed, e.g. because it was itself allocated
 * in the home.  A pool that is destroyed must be destroyed before the home ends, as it gives
 * its chunks back through ku_free.  Individual blocks are then not allocations of the home:
 * ku_in_home answers for the pool's chunks, not for a container's blocks. */
class home_resource : public std::pmr::memory_resource {
 public:
  /* The largest alignment a home's blocks always have. */
  static constexpr std::size_t home_alignment = 8;

  explicit home_resource(ku_home_t *home) noexcept : home_(home) {}
  ku_home_t *home() const noexcept { return home_; }

 protected:
  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    // One test for the common case: alignment 1, 2, 4 or 8, and 1 to INT_MAX bytes.
    if (alignment - 1 < home_alignment && (alignment & (alignment - 1)) == 0 &&
        bytes - 1 < static_cast<std::size_t>(INT_MAX)) {
      void *p = ku_alloc(home_, static_cast<int>(bytes));
      if (p == nullptr) detail::throw_bad_alloc();
      return p;
    }
    return allocate_unusual(bytes, alignment);
  }

  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    (void)bytes;
    if (p == nullptr) return;
    ku_free(home_, alignment <= home_alignment ? p : static_cast<void **>(p)[-1]);
  }

  /* Two resources are equal when they allocate in the same home: either can free the other's
   * blocks. */
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
    if (this == &other) return true;
#if defined(__cpp_rtti) || defined(__GXX_RTTI)
    const auto *o = dynamic_cast<const home_resource *>(&other);
    return o != nullptr && o->home_ == home_;
#else
    return false;  // without RTTI only identity can be proven; containers then copy, not steal
#endif
  }

 private:
  /* The unused tail below which an over-aligned block is kept whole: giving back less saves
   * nothing worth a ku_realloc. */
  static constexpr std::size_t slack_returned = 64;

  // Kept out of line, so that the common request saves no registers for it.
  [[gnu::noinline]] void *allocate_unusual(std::size_t bytes, std::size_t alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) detail::throw_bad_alloc();
    if (bytes == 0) bytes = 1;  // a home answers 0 bytes with null, pmr wants a block
    if (alignment <= home_alignment) {
      if (bytes > static_cast<std::size_t>(INT_MAX)) detail::throw_bad_alloc();
      void *p = ku_alloc(home_, static_cast<int>(bytes));
      if (p == nullptr) detail::throw_bad_alloc();
      return p;
    }
    // The raw block is 8-aligned, so rounding raw + 1 up to the alignment leaves at least one
    // pointer's room in front of the aligned address and at most alignment bytes of slack.
    static_assert(sizeof(void *) <= home_alignment, "the back pointer fits in the slack");
    if (bytes > static_cast<std::size_t>(INT_MAX) - alignment) detail::throw_bad_alloc();
    const std::size_t whole = bytes + alignment;
    void *raw = ku_alloc(home_, static_cast<int>(whole));
    if (raw == nullptr) detail::throw_bad_alloc();
    std::size_t lead = align_up(raw, alignment);
    if (whole - (lead + bytes) >= slack_returned) {
      // Shrinking keeps the address with the C library's allocator and a home's carved
      // blocks; an allocator that moves the block anyway gets a block kept whole.  A failed
      // shrink leaves the block as it was.
      void *kept = ku_realloc(home_, raw, static_cast<int>(lead + bytes));
      if (kept != nullptr && kept != raw) {
        ku_free(home_, kept);
        raw = ku_alloc(home_, static_cast<int>(whole));
        if (raw == nullptr) detail::throw_bad_alloc();
        lead = align_up(raw, alignment);
      }
    }
    void *aligned = static_cast<char *>(raw) + lead;
    static_cast<void **>(aligned)[-1] = raw;
    return aligned;
  }

  /* The distance from raw to the first address above it that is a multiple of alignment. */
  static std::size_t align_up(const void *raw, std::size_t alignment) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    return static_cast<std::size_t>(((at + alignment) & ~(alignment - 1)) - at);
  }

  ku_home_t *home_;
};

/* An array of n value-initialised T (zeros for numbers and pointers) in one block of home
 * (ku_alloc_array; a null home: malloc), freed with the home or with ku_free.  Returns null with
 * errno ENOMEM when memory runs out or n * sizeof(T) overflows or reaches 2^31 bytes; n == 0
 * returns null without an error number, as a size of 0 does.  The home never runs destructors,
 * so T must not need one, and its blocks are 8-aligned, so T may not ask for more:
 *   auto *counts = ku::make_array<uint32_t>(home.get(), buckets);   // buckets zeros
 */
template <class T> T *make_array(ku_home_t *home, std::size_t n) noexcept {
  static_assert(std::is_trivially_destructible_v<T>, "a home frees without running destructors");
  static_assert(std::is_nothrow_default_constructible_v<T>, "T must construct without throwing");
  static_assert(alignof(T) <= home_resource::home_alignment, "a home's blocks are 8-aligned");
  T *items = static_cast<T *>(ku_alloc_array(home, n, sizeof(T)));
  if (items != nullptr) std::uninitialized_value_construct_n(items, n);
  return items;
}

}  // namespace ku

/* ---- Strings in a home ---- */

#include <cstring>
#include <string_view>

namespace ku {

/* A NUL-terminated copy of text in a block of home (ku_alloc; a null home: malloc), so a
 * std::string, a literal or any other view can be copied alike.  All of text's bytes are copied,
 * embedded NULs included.  Returns null with errno ENOMEM when memory runs out or the copy
 * would be INT_MAX bytes or more.  For example:
 *   ku::unique_home home = ku::unique_home::create();
 *   std::string name = "peer1";
 *   char *copy = ku::strdup(home.get(), name);            // freed with the home
 *   char *line = ku_asprintf(home.get(), "%s:%d", copy, 80);
 */
inline char *strdup(ku_home_t *home, std::string_view text) noexcept {
  if (text.size() >= static_cast<std::size_t>(INT_MAX)) {
    errno = ENOMEM;
    return nullptr;
  }
  auto *copy = static_cast<char *>(ku_alloc(home, static_cast<int>(text.size() + 1)));
  if (copy == nullptr) return nullptr;
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

}  // namespace ku

#endif /* KU_KU_HPP */
