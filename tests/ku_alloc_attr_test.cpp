// SPDX-License-Identifier: MIT
// The size attributes of <ku/ku_alloc.h> as _FORTIFY_SOURCE sees them.  This file is built with
// -O2 -D_FORTIFY_SOURCE=3 (tests/attr.cmake), so a copy past the end of a home block stops the
// program, for a size known only at run time too.  The compiler's warnings: tests/attr/.
#include <gtest/gtest.h>
#include <ku/ku_alloc.h>

#include "ku_test_util.h"

#include <cstring>

namespace {

TEST(Fortify, copies_past_the_end_of_a_home_block_abort) {
  if (ku_test::checker_allocator()) GTEST_SKIP() << "a sanitizer checks the copies itself";
#if !defined(__OPTIMIZE__) || !defined(__USE_FORTIFY_LEVEL) || __USE_FORTIFY_LEVEL < 3
  FAIL() << "built without -O2 -D_FORTIFY_SOURCE=3";
#endif
  ku_home_t *home = ku_home_create();
  const size_t n = ku_test::opaque(size_t{24});
  const char source[64] = "twenty-four bytes or more";
  auto *plain = static_cast<char *>(ku_alloc(home, static_cast<int>(n)));
  auto *items = static_cast<char *>(ku_zalloc_array(home, 3, n / 3));
  auto *resized = static_cast<char *>(ku_realloc(home, ku_alloc(home, 8), static_cast<int>(n)));
  std::memcpy(plain, source, n);  // what fits passes
  std::memcpy(items, source, n);
  std::memcpy(resized, source, n);
  EXPECT_DEATH(std::memcpy(plain, source, n + 1), "buffer overflow detected");
  EXPECT_DEATH(std::memcpy(items, source, n + 1), "buffer overflow detected");
  EXPECT_DEATH(std::memcpy(resized, source, n + 1), "buffer overflow detected");
  ku_home_unref(home);
}

}  // namespace
