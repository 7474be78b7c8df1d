// SPDX-License-Identifier: MIT
// The only place that speaks to memory checkers (AddressSanitizer, Valgrind's memcheck), shared
// by the allocator, its tests and its fuzzer.
//
// Blocks carved from a preload area are invisible to the checkers, which see only the area.  The
// area's bytes that are not handed out are marked inaccessible, so that an overrun into them or a
// use of a freed carved block is reported.  Without either tool these cost nothing:
// AddressSanitizer's calls exist only in its builds, and Valgrind's requests (a dozen
// instructions each, even outside Valgrind) are made only when the process was found running
// under it when the library was loaded.
#ifndef KU_ALLOC_TRACK_H
#define KU_ALLOC_TRACK_H

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KU_TRACK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KU_TRACK_ASAN 1
#endif
#endif
#ifdef KU_TRACK_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if !defined(KU_NO_VALGRIND) && __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KU_TRACK_VALGRIND 1
#endif

namespace kui {

#ifdef KU_TRACK_VALGRIND
inline bool running_on_valgrind() noexcept { return RUNNING_ON_VALGRIND != 0; }
// One copy per file, set when the library is loaded: a shared inline variable would need the
// C++ runtime's initialisation guards, which C programs linking the static library lack.
static const bool under_valgrind = running_on_valgrind();
#endif

// What the checkers are told of a range of bytes.
enum class Mark {
  unused,    // not, or no longer, handed out: any access is reported
  carved,    // handed out as (part of) a carved block, not yet written
  returned,  // a whole area given back (to its caller's buffer, or to free()), or bytes a test
             // wants to read or write whatever the allocator marked them
};

inline void mark(const void *p, uint64_t n, Mark m) noexcept {
#ifdef KU_TRACK_ASAN
  if (m == Mark::unused)
    ASAN_POISON_MEMORY_REGION(p, n);
  else
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef KU_TRACK_VALGRIND
  if (under_valgrind) {
    if (m == Mark::unused)
      VALGRIND_MAKE_MEM_NOACCESS(p, n);
    else if (m == Mark::carved)
      VALGRIND_MAKE_MEM_UNDEFINED(p, n);
    else
      VALGRIND_MAKE_MEM_DEFINED(p, n);
  }
#endif
  (void)p;
  (void)n;
  (void)m;
}

inline void mark_unused(const void *p, uint64_t n) noexcept { mark(p, n, Mark::unused); }
inline void mark_carved(const void *p, uint64_t n) noexcept { mark(p, n, Mark::carved); }
inline void mark_returned(const void *p, uint64_t n) noexcept { mark(p, n, Mark::returned); }

}  // namespace kui

#endif  // KU_ALLOC_TRACK_H
