// SPDX-License-Identifier: MIT
// Helpers the allocator's tests share, each with one argument order: (block, size, value).
#ifndef KU_TESTS_KU_TEST_UTIL_H
#define KU_TESTS_KU_TEST_UTIL_H

#include <gtest/gtest.h>
#include <ku/ku_alloc.h>

#include "ku_alloc_impl.h"
#include "ku_alloc_track.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// Whether the n bytes at p all hold v.
inline bool all_bytes(const void *p, size_t n, unsigned char v) {
  auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i] != v) return false;
  return true;
}

// Lets a test read or write bytes the allocator marked as not handed out (poisoned under
// AddressSanitizer or Valgrind, as a use after free would be).
inline void expose(const void *p, size_t n) { ku_track::mark_returned(p, n); }

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

}  // namespace ku_test

// Checks the home's tables (ku_home_check); a failure prints the home's report.
#define EXPECT_HOME_OK(home) EXPECT_PRED_FORMAT1(::ku_test::home_ok, home)

#endif  // KU_TESTS_KU_TEST_UTIL_H
