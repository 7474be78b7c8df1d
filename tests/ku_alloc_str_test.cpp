// SPDX-License-Identifier: MIT
// Strings and copies in a home: each result is an ordinary block of its home (found, resized,
// freed one by one or with the home), a NULL home gives malloc memory, and a refused request
// says why in errno.  Under the asan preset, LeakSanitizer checks that the copies ended with
// their homes.
#include <gtest/gtest.h>
#include <ku/ku.hpp>
#include <ku/ku_alloc.h>
#include <ku/ku_alloc_stat.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ku_test_util.h"

namespace {

uint64_t live_bytes(ku_home_t *home) {
  ku_home_stats_t stats;
  ku_home_get_stats(home, 0, &stats, sizeof stats);
  return stats.kst_live_bytes;
}

// Through a variable the compiler cannot see, so a NULL format is not a compile-time warning.
const char *volatile null_text = nullptr;
// A field width beyond INT_MAX: vsnprintf refuses it at once, without writing 2 GiB of blanks.
const char *volatile huge_width = "%2147483648d";

char *vasprintf_of(ku_home_t *home, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = ku_vasprintf(home, format, ap);
  va_end(ap);
  return text;
}

TEST(Strings, copies_are_blocks_of_the_home_exactly_as_long_as_the_text) {
  ku::unique_home home = ku::unique_home::create();
  ku_home_init_stats(home.get());
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  const int numbers[3] = {7, -1, 42};
  std::string long_text(1000, 'x');

  char *dup = ku_strdup(home.get(), "peer1");
  char *ndup = ku_strndup(home.get(), unterminated, 3);
  char *short_ndup = ku_strndup(home.get(), "ab", 100);
  auto *mem = static_cast<int *>(ku_memdup(home.get(), numbers, sizeof numbers));
  char *printed = ku_asprintf(home.get(), "%s:%d", "host", 80);
  char *printed_long = vasprintf_of(home.get(), "<%s>", long_text.c_str());

  EXPECT_STREQ(dup, "peer1");
  EXPECT_STREQ(ndup, "abc");
  EXPECT_STREQ(short_ndup, "ab");
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(std::memcmp(mem, numbers, sizeof numbers), 0);
  EXPECT_STREQ(printed, "host:80");
  EXPECT_EQ(printed_long, "<" + long_text + ">");
  for (void *p :
       {static_cast<void *>(dup), static_cast<void *>(ndup), static_cast<void *>(short_ndup),
        static_cast<void *>(mem), static_cast<void *>(printed), static_cast<void *>(printed_long)})
    EXPECT_EQ(ku_in_home(home.get(), p), 1);
  // Each block holds the text and its NUL, nothing more: the long text was not over-allocated.
  EXPECT_EQ(live_bytes(home.get()), 6u + 4 + 3 + sizeof numbers + 8 + 1003);

  // They resize and free as any block does.
  dup = static_cast<char *>(ku_realloc(home.get(), dup, 64));
  ASSERT_NE(dup, nullptr);
  EXPECT_STREQ(dup, "peer1");
  ku_free(home.get(), ku_test::opaque(printed));
  EXPECT_EQ(ku_in_home(home.get(), printed), 0);
  EXPECT_HOME_OK(home.get());
}

TEST(Strings, null_home_gives_memory_for_free) {
  char *dup = ku_strdup(nullptr, "plain");
  char *printed = ku_asprintf(nullptr, "%05d", 42);
  void *mem = ku_memdup(nullptr, "xyz", 3);
  ASSERT_NE(dup, nullptr);
  ASSERT_NE(printed, nullptr);
  ASSERT_NE(mem, nullptr);
  EXPECT_STREQ(dup, "plain");
  EXPECT_STREQ(printed, "00042");
  EXPECT_EQ(std::memcmp(mem, "xyz", 3), 0);
  // Hidden from the compiler, which takes ku_free for the calls' deallocator.
  std::free(ku_test::opaque(dup));
  std::free(ku_test::opaque(printed));
  std::free(ku_test::opaque(mem));
}

TEST(Strings, refusals_set_errno_and_make_no_block) {
  ku::unique_home home = ku::unique_home::create();
  ku_home_init_stats(home.get());
  auto run = [](const char *what, int error, auto call) {
    errno = 0;
    EXPECT_EQ(call(), nullptr) << what;
    EXPECT_EQ(errno, error) << what;
  };
  // The size is refused before a byte of the view is read, so a short buffer stands in.
  const std::string_view too_long("x", static_cast<size_t>(INT_MAX));
  for (ku_home_t *h : {home.get(), static_cast<ku_home_t *>(nullptr)}) {
    run("strdup of NULL", EINVAL, [&] { return ku_strdup(h, null_text); });
    run("strndup of NULL", EINVAL, [&] { return ku_strndup(h, null_text, 4); });
    run("memdup of NULL", EINVAL, [&] { return ku_memdup(h, null_text, 4); });
    run("memdup of a negative size", ENOMEM,
        [&] { return ku_memdup(h, "abc", ku_test::opaque(-1)); });
    run("asprintf of NULL", EINVAL, [&] { return ku_asprintf(h, null_text, 0); });
    run("vasprintf of NULL", EINVAL, [&] { return vasprintf_of(h, null_text); });
    // A text of 2^31 bytes or more does not fit an int size.
    run("asprintf beyond INT_MAX", ENOMEM, [&] { return ku_asprintf(h, huge_width, 1); });
    run("ku::strdup of INT_MAX bytes", ENOMEM, [&] { return ku::strdup(h, too_long); });
  }
  // Size 0 is ku_alloc's answer: NULL and no entry, errno untouched, p not read.
  errno = 0;
  EXPECT_EQ(ku_memdup(home.get(), null_text, 0), nullptr);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(live_bytes(home.get()), 0u);
  EXPECT_HOME_OK(home.get());
}

TEST(Strings, copies_in_an_automatic_home_are_carved_from_its_buffer) {
  alignas(8) unsigned char area[1024];
  ku_home_t *home = ku_home_auto(area, sizeof area);
  ASSERT_NE(home, nullptr);
  char *dup = ku_strdup(home, "carved");
  char *printed = ku_asprintf(home, "%d-%d", 1, 2);
  ASSERT_NE(dup, nullptr);
  ASSERT_NE(printed, nullptr);
  for (char *p : {dup, printed}) {
    EXPECT_GE(reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(area));
    EXPECT_LT(reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(area + sizeof area));
  }
  EXPECT_STREQ(printed, "1-2");
  ku_home_deinit(home);
}

TEST(Strings, cxx_copy_of_a_view_keeps_every_byte) {
  // The example of <ku/ku.hpp>, as it stands there.
  ku::unique_home home = ku::unique_home::create();
  std::string name = "peer1";
  char *copy = ku::strdup(home.get(), name);  // freed with the home
  char *line = ku_asprintf(home.get(), "%s:%d", copy, 80);
  EXPECT_STREQ(line, "peer1:80");

  using namespace std::string_view_literals;
  char *nul_inside = ku::strdup(home.get(), "a\0b"sv);
  ASSERT_NE(nul_inside, nullptr);
  EXPECT_EQ(std::memcmp(nul_inside, "a\0b\0", 4), 0);
  char *empty = ku::strdup(home.get(), std::string_view());
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(ku_in_home(home.get(), empty), 1);
  char *plain = ku::strdup(nullptr, "heap");
  EXPECT_STREQ(plain, "heap");
  std::free(ku_test::opaque(plain));
}

}  // namespace
