// SPDX-License-Identifier: MIT
// Helpers the allocator's tests share, each with one argument order: (block, size, value).
#ifndef KU_TESTS_KU_TEST_UTIL_H
#define KU_TESTS_KU_TEST_UTIL_H

#include <gtest/gtest.h>
#include <ku/ku_alloc.h>

#include "ku_alloc_impl.h"
#include "ku_alloc_track.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

// The tests read the allocator's own records and constants as its files do.
using namespace kui;

namespace ku_test {

// The home's current table.
inline ku_block_t *table(const ku_home_t *h) { return h->kuh_blocks; }

// The entry of p in the home's table, found by scanning every slot (not by the lookup under
// test), or null.
inline const ku_alloc_t *entry(const ku_home_t *h, const void *p) {
  const ku_block_t *t = table(h);
  for (uint64_t i = 0; t && i < t->kub_n; i++)
    if (t->kub_nodes[i].kua_data == p) return &t->kub_nodes[i];
  return nullptr;
}

// v, hidden from the compiler: a negative size passed this way reaches the call under test
// instead of the warning that the allocation calls' size attributes give at compile time.
template <class T> T opaque(T v) {
  asm("" : "+r"(v));
  return v;
}

// Whether the n bytes at p all hold v.
inline bool all_bytes(const void *p, size_t n, unsigned char v) {
  auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != v) return false;
  return true;
}

// Whether the program's blocks come from an allocator of a checker (a sanitizer's, Valgrind's)
// instead of the C library's, which keep their blocks and so get the fill.
inline bool checker_allocator() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
#ifdef KU_TRACK_VALGRIND
  if (kui::under_valgrind) return true;
#endif
  return false;
}

// Whether the program's malloc is glibc's own, not a sanitizer's, Valgrind's or one preloaded:
// the two are defined in the same shared object, and a block of one byte has glibc's 24
// usable bytes (Valgrind redirects malloc without changing its address).
inline bool glibc_malloc() {
  Dl_info m{}, libc{};
  if (dladdr(reinterpret_cast<void *>(&malloc), &m) == 0 ||
      dladdr(reinterpret_cast<void *>(&gnu_get_libc_version), &libc) == 0 ||
      m.dli_fbase != libc.dli_fbase)
    return false;
  void *probe = malloc(1);
  const size_t usable = malloc_usable_size(probe);
  free(probe);
  return usable == 24;
}

// Lets a test read or write bytes the allocator marked as not handed out (poisoned under
// AddressSanitizer or Valgrind, as a use after free would be).
inline void expose(const void *p, size_t n) { kui::mark_returned(p, n); }

// ku_home_report of the home, as text.
inline std::string home_report(const ku_home_t *home) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&buf, &len);
  if (!f) return "(no report: open_memstream failed)";
  ku_home_report(const_cast<ku_home_t *>(home), f);
  fclose(f);
  std::string text(buf, len);
  free(buf);
  return text;
}

// Runs ku_home_check of the home in a child process, where a failed check may abort; on
// failure the message holds the home's report.  Call it only while no other thread of the test
// holds a lock of the home.
inline ::testing::AssertionResult home_ok(const char *expr, const ku_home_t *home) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return ::testing::AssertionFailure() << "fork failed for " << expr;
  if (pid == 0) {
    ku_home_check(home);
    _exit(0);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "ku_home_check(" << expr << ") failed; the home:\n"
                                       << home_report(home);
}

// ---- Table inspection ----

inline uint64_t slot_of(const ku_block_t *t, const void *p) {
  for (uint64_t i = 0; i < t->kub_n; ++i)
    if (t->kub_nodes[i].kua_data == p) return i;
  return UINT64_MAX;
}

// With insertions only, every entry lies at the first slot of its probe sequence that was free
// when it came: all slots before it on the sequence from p mod n are occupied.
inline void expect_tight_chains(const ku_block_t *t) {
  const uint64_t n = t->kub_n, step = n <= 29 ? 1 : 29;
  for (uint64_t i = 0; i < n; ++i) {
    const void *p = t->kub_nodes[i].kua_data;
    if (!p) continue;
    uint64_t s = reinterpret_cast<uintptr_t>(p) % n;
    while (s != i) {
      ASSERT_NE(t->kub_nodes[s].kua_data, nullptr) << "entry " << i << " skipped a free slot";
      s = (s + step) % n;
    }
  }
}

// The fields of a table's header that describe the home rather than the table's own memory:
// a replacement table must carry every one of them over.
struct Header {
  ku_home_t *parent;
  void *preload;
  ku_home_stats_t *stats;
  void (*destructor)(void *);
  uint64_t ref;
  uint16_t prsize, prused;
  unsigned hauto, preauto, named, tracked;
  bool operator==(const Header &) const = default;
  friend std::ostream &operator<<(std::ostream &o, const Header &h) {
    return o << "{parent " << h.parent << ", preload " << h.preload << ", stats " << h.stats
             << ", destructor " << reinterpret_cast<void *>(h.destructor) << ", ref " << h.ref
             << ", prsize " << h.prsize << ", prused " << h.prused << ", hauto " << h.hauto
             << ", preauto " << h.preauto << ", named " << h.named << ", tracked " << h.tracked
             << "}";
  }
};

inline Header header(const ku_block_t *t) {
  return {t->kub_parent,  t->kub_preload, t->kub_stats,  t->kub_destructor,
          t->kub_ref,     t->kub_prsize,  t->kub_prused, t->kub_hauto,
          t->kub_preauto, t->kub_named,   t->kub_tracked};
}

inline uint32_t entry_size(const ku_block_t *t, const void *p) {
  return t->kub_nodes[slot_of(t, p)].kua_size;
}

inline bool entry_is_home(const ku_block_t *t, const void *p) {
  return t->kub_nodes[slot_of(t, p)].kua_home;
}

// Puts an arbitrary address into a table as if it had been entered, so that the start slot of
// any 64-bit value can be observed; the caller removes it before the home ends.
struct PlantedEntry {
  ku_block_t *t;
  uint64_t slot;
  PlantedEntry(ku_block_t *table, uintptr_t p) : t(table), slot(p % table->kub_n) {
    t->kub_nodes[slot].kua_data = reinterpret_cast<void *>(p);
    ++t->kub_used;
  }
  ~PlantedEntry() {
    t->kub_nodes[slot] = ku_alloc_t{};
    --t->kub_used;
  }
};

inline int destructor_calls;
inline void count_destructor(void *) { ++destructor_calls; }

class DeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// ---- Destructors that watch ----

// What a destructor saw: how often it ran, with which home, and whether the home's
// allocations were still intact at that moment.
struct Seen {
  int calls = 0;
  void *home = nullptr;
  bool intact = false;
};
inline Seen seen;
struct Watched {
  ku_home_t *home;
  void *p;
};
inline std::vector<Watched> watched;  // allocations filled with 0x5C that the destructor inspects

inline void watching_destructor(void *home) {
  seen.calls++;
  seen.home = home;
  seen.intact = true;
  for (const Watched &w : watched)
    if (!ku_in_home(w.home, w.p) || !all_bytes(w.p, 32, 0x5C)) seen.intact = false;
  // What the destructor allocates dies with the home (LeakSanitizer checks).
  void *extra = ku_alloc(static_cast<ku_home_t *>(home), 100);
  if (extra == nullptr) seen.intact = false;
}

inline void counting_destructor(void *home) {
  seen.calls++;
  seen.home = home;
}

inline void *watched_alloc(ku_home_t *h) {
  void *p = ku_alloc(h, 32);
  memset(p, 0x5C, 32);
  watched.push_back({h, p});
  return p;
}

inline void reset_seen() {
  seen = Seen{};
  watched.clear();
}

}  // namespace ku_test

// Checks the home's tables (ku_home_check); a failure prints the home's report.
#define EXPECT_HOME_OK(home) EXPECT_PRED_FORMAT1(::ku_test::home_ok, home)

#endif  // KU_TESTS_KU_TEST_UTIL_H
