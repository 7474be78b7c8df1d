// SPDX-License-Identifier: MIT
// Lets a test read or write preload bytes that the allocator marked as not handed out: under
// AddressSanitizer or Valgrind such bytes are poisoned, as a use after free would be.
#ifndef KU_TESTS_EXPOSE_H
#define KU_TESTS_EXPOSE_H

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define KU_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KU_TEST_ASAN 1
#endif
#endif
#ifdef KU_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KU_TEST_VALGRIND 1
#endif

inline void expose(const void *p, size_t n) {
#ifdef KU_TEST_ASAN
  ASAN_UNPOISON_MEMORY_REGION(p, n);
#endif
#ifdef KU_TEST_VALGRIND
  VALGRIND_MAKE_MEM_DEFINED(p, n);
#endif
  (void)p;
  (void)n;
}

#endif  // KU_TESTS_EXPOSE_H
