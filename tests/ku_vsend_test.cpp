// SPDX-License-Identifier: MIT
// The bounded retry of ku_vsend, observed call by call.  This executable defines sendmsg and
// sched_yield itself; as the library is linked in statically, its calls land here.  Each
// stand-in counts the call, may answer with a scripted error, and otherwise makes the real
// system call.
#include <gtest/gtest.h>
#include <ku/ku_socket.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <vector>

namespace {

struct Observed {
  const msghdr *header;
  msghdr copy;
  int flags;
};

struct Interposer {
  bool active = false;
  std::deque<int> script;  // errors to answer with, in order; 0 makes the real call
  int repeat_error = 0;    // answered once the script is used up, if nonzero
  std::vector<Observed> sends;
  int yields = 0;
} calls;

}  // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr *msg, int flags) {
  if (calls.active) {
    calls.sends.push_back({msg, *msg, flags});
    int error = calls.repeat_error;
    if (!calls.script.empty()) {
      error = calls.script.front();
      calls.script.pop_front();
    }
    if (error) {
      errno = error;
      return -1;
    }
  }
  return syscall(SYS_sendmsg, fd, msg, flags);
}

extern "C" int sched_yield(void) {
  if (calls.active) {
    ++calls.yields;
    // A yield that disturbs errno must not change what the caller is told.
    errno = 0;
  }
  return static_cast<int>(syscall(SYS_sched_yield));
}

namespace {

class VsendRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv_), 0);
    calls = Interposer{};
  }
  void TearDown() override {
    calls.active = false;
    close(sv_[0]);
    close(sv_[1]);
  }
  int send_one(int flags = 0) {
    calls.active = true;
    int r = ku_vsend(sv_[0], &io_, 1, flags, nullptr, 0);
    saved_errno_ = errno;
    calls.active = false;
    return r;
  }
  void fill() {
    while (send(sv_[0], buf_, sizeof buf_, 0) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
  }

  int sv_[2];
  char buf_[64] = "payload";
  iovec io_ = {buf_, sizeof buf_};
  int saved_errno_ = 0;
};

TEST_F(VsendRetryTest, full_socket_gets_exactly_100_sends_and_100_yields) {
  fill();
  EXPECT_EQ(send_one(), -1);
  EXPECT_EQ(saved_errno_, EAGAIN);
  EXPECT_EQ(calls.sends.size(), 100u);
  EXPECT_EQ(calls.yields, 100);
}

TEST_F(VsendRetryTest, interrupted_sends_are_retried_without_yield_and_count_toward_100) {
  calls.repeat_error = EINTR;
  EXPECT_EQ(send_one(), -1);
  EXPECT_EQ(saved_errno_, EINTR);
  EXPECT_EQ(calls.sends.size(), 100u);
  EXPECT_EQ(calls.yields, 0);
}

TEST_F(VsendRetryTest, each_full_attempt_yields_and_interrupted_ones_do_not) {
  for (int i = 0; i < 50; ++i) {
    calls.script.push_back(EAGAIN);
    calls.script.push_back(EINTR);
  }
  EXPECT_EQ(send_one(), -1);
  EXPECT_EQ(saved_errno_, EINTR);
  EXPECT_EQ(calls.sends.size(), 100u);
  EXPECT_EQ(calls.yields, 50);
}

TEST_F(VsendRetryTest, send_that_succeeds_after_retries_returns_its_count) {
  calls.script = {EAGAIN, EINTR, EAGAIN, 0};
  EXPECT_EQ(send_one(), static_cast<int>(sizeof buf_));
  EXPECT_EQ(calls.sends.size(), 4u);
  EXPECT_EQ(calls.yields, 2);
}

TEST_F(VsendRetryTest, success_on_the_last_attempt_counts) {
  calls.script.assign(99, EAGAIN);
  calls.script.push_back(0);
  EXPECT_EQ(send_one(), static_cast<int>(sizeof buf_));
  EXPECT_EQ(calls.sends.size(), 100u);
  EXPECT_EQ(calls.yields, 99);
}

TEST_F(VsendRetryTest, other_errors_end_the_loop_at_once) {
  for (int error : {ENOBUFS, EMSGSIZE, ECONNREFUSED, EPIPE}) {
    calls = Interposer{};
    calls.script = {EAGAIN, error};
    calls.repeat_error = EAGAIN;
    EXPECT_EQ(send_one(), -1);
    EXPECT_EQ(saved_errno_, error);
    EXPECT_EQ(calls.sends.size(), 2u);
    EXPECT_EQ(calls.yields, 1);
  }
}

TEST_F(VsendRetryTest, real_error_is_not_retried) {
  close(sv_[1]);
  sv_[1] = -1;
  EXPECT_EQ(send_one(), -1);
  EXPECT_EQ(saved_errno_, ECONNREFUSED);
  EXPECT_EQ(calls.sends.size(), 1u);
  EXPECT_EQ(calls.yields, 0);
}

TEST_F(VsendRetryTest, partial_stream_send_is_returned_without_retry) {
  int st[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, st), 0);
  int small = 4096;
  ASSERT_EQ(setsockopt(st[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  std::vector<char> big(1 << 20, 'z');
  iovec io = {big.data(), big.size()};
  calls.active = true;
  int r = ku_vsend(st[0], &io, 1, 0, nullptr, 0);
  calls.active = false;
  EXPECT_GT(r, 0);
  EXPECT_LT(r, static_cast<int>(big.size()));
  EXPECT_EQ(calls.sends.size(), 1u);
  close(st[0]);
  close(st[1]);
}

TEST_F(VsendRetryTest, every_attempt_gets_the_same_header_and_flags) {
  calls.script = {EAGAIN, EINTR, EAGAIN};
  calls.repeat_error = EBADMSG;
  char a[] = "a", b[] = "bc";
  iovec vec[] = {{a, 1}, {b, 2}};
  unsigned char to[7] = {1, 2, 3, 4, 5, 6, 7};
  calls.active = true;
  EXPECT_EQ(ku_vsend(sv_[0], vec, 2, MSG_DONTWAIT | MSG_NOSIGNAL, to, sizeof to), -1);
  calls.active = false;
  ASSERT_EQ(calls.sends.size(), 4u);
  for (const Observed &o : calls.sends) {
    EXPECT_EQ(o.header, calls.sends[0].header);
    EXPECT_EQ(o.flags, MSG_DONTWAIT | MSG_NOSIGNAL);
    EXPECT_EQ(o.copy.msg_name, to);
    EXPECT_EQ(o.copy.msg_namelen, sizeof to);
    EXPECT_EQ(o.copy.msg_iov, vec);
    EXPECT_EQ(o.copy.msg_iovlen, 2u);
    EXPECT_EQ(o.copy.msg_control, nullptr);
    EXPECT_EQ(o.copy.msg_controllen, 0u);
    EXPECT_EQ(o.copy.msg_flags, 0);
  }
}

TEST_F(VsendRetryTest, null_destination_keeps_the_given_length) {
  calls.repeat_error = EBADMSG;
  calls.active = true;
  EXPECT_EQ(ku_vsend(sv_[0], &io_, 1, 0, nullptr, 9), -1);
  calls.active = false;
  ASSERT_EQ(calls.sends.size(), 1u);
  EXPECT_EQ(calls.sends[0].copy.msg_name, nullptr);
  EXPECT_EQ(calls.sends[0].copy.msg_namelen, 9u);
}

}  // namespace
