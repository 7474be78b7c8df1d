#include <gtest/gtest.h>
#include <ku/ku.h>
#include <cerrno>

TEST(Errno, seterrno_returns_minus_one_and_sets_errno) {
  EXPECT_EQ(ku_seterrno(0), -1);
  EXPECT_EQ(ku_errno(), 0);
  EXPECT_EQ(ku_seterrno(EFAULT), -1);
  EXPECT_EQ(errno, EFAULT);
}
