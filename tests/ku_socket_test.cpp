// SPDX-License-Identifier: MIT
// Socket operations on real sockets: UDP on the loopback addresses and AF_UNIX socket pairs.
#include <gtest/gtest.h>
#include <ku/ku_socket.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Restores the two process-wide switches whatever a case set them to.
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ku_socket_close_on_exec, 0);
    ASSERT_EQ(ku_socket_blocking, 0);
  }
  void TearDown() override {
    ku_socket_close_on_exec = 0;
    ku_socket_blocking = 0;
    for (int fd : fds_) close(fd);
  }
  int keep(int fd) {
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }
  // A descriptor number that is certainly not open.
  int closed_fd() {
    int fd = dup(0);
    close(fd);
    return fd;
  }
  void pair(int type, int sv[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
    keep(sv[0]);
    keep(sv[1]);
  }
  // A UDP socket bound to the loopback address of the family on a port the kernel picks.
  int bound_udp(int family, sockaddr_storage *addr, socklen_t *len) {
    int fd = keep(ku_socket(family, SOCK_DGRAM, 0));
    EXPECT_GE(fd, 0);
    sockaddr_storage ss{};
    if (family == AF_INET) {
      auto *in = reinterpret_cast<sockaddr_in *>(&ss);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      *len = sizeof *in;
    } else {
      auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      *len = sizeof *in6;
    }
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&ss), *len), 0) << strerror(errno);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(addr), len), 0);
    return fd;
  }

  std::vector<int> fds_;
};

int fd_flags(int fd) { return fcntl(fd, F_GETFD); }
int status_flags(int fd) { return fcntl(fd, F_GETFL); }

// Waits, with a generous bound, until a datagram or an error is there to be read.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 5000) == 1;
}

int int_option(int fd, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, name, &v, &len), 0);
  return v;
}

// ---- Creation ----

TEST_F(SocketTest, flags_after_creation_follow_every_combination_of_the_switches) {
  for (int cloexec : {0, 1})
    for (int blocking : {0, 1})
      for (int family : {AF_INET, AF_INET6, AF_UNIX}) {
        ku_socket_close_on_exec = cloexec;
        ku_socket_blocking = blocking;
        int fd = keep(ku_socket(family, SOCK_DGRAM, 0));
        ASSERT_GE(fd, 0) << strerror(errno);
        SCOPED_TRACE("close_on_exec " + std::to_string(cloexec) + " blocking " +
                     std::to_string(blocking) + " family " + std::to_string(family));
        EXPECT_EQ(fd_flags(fd), cloexec ? FD_CLOEXEC : 0);
        EXPECT_EQ(status_flags(fd), O_RDWR | (blocking ? 0 : O_NONBLOCK));
      }
}

TEST_F(SocketTest, blocking_switch_keeps_the_mode_the_type_asks_for) {
  ku_socket_blocking = 1;
  int fd = keep(ku_socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(status_flags(fd) & O_NONBLOCK);
  ku_socket_close_on_exec = 0;
  int fd2 = keep(ku_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(fd_flags(fd2), FD_CLOEXEC);
}

TEST_F(SocketTest, new_socket_in_default_mode_does_not_block) {
  int fd = keep(ku_socket(AF_INET, SOCK_DGRAM, 0));
  char byte;
  EXPECT_EQ(recv(fd, &byte, 1, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(SocketTest, failed_creation_returns_minus_one_with_the_socket_error) {
  for (int cloexec : {0, 1})
    for (int blocking : {0, 1}) {
      ku_socket_close_on_exec = cloexec;
      ku_socket_blocking = blocking;
      errno = 0;
      EXPECT_EQ(ku_socket(-1, SOCK_DGRAM, 0), -1);
      EXPECT_EQ(errno, EAFNOSUPPORT);
      EXPECT_EQ(ku_socket(AF_INET, 12345, 0), -1);
      EXPECT_EQ(errno, EINVAL);
    }
}

TEST_F(SocketTest, close_releases_the_descriptor) {
  int fd = ku_socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ku_close(fd), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(ku_close(fd), -1);
  EXPECT_EQ(errno, EBADF);
}

// ---- Blocking mode ----

TEST_F(SocketTest, setblocking_changes_only_o_nonblock) {
  int fd = keep(ku_socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_EQ(fcntl(fd, F_SETFL, status_flags(fd) | O_APPEND), 0);
  int before = status_flags(fd);
  ASSERT_TRUE(before & O_NONBLOCK);
  EXPECT_EQ(ku_setblocking(fd, 1), 0);
  EXPECT_EQ(status_flags(fd), before & ~O_NONBLOCK);
  EXPECT_EQ(ku_setblocking(fd, 1), 0);  // already blocking: still fine
  EXPECT_EQ(status_flags(fd), before & ~O_NONBLOCK);
  EXPECT_EQ(ku_setblocking(fd, 0), 0);
  EXPECT_EQ(status_flags(fd), before);
  EXPECT_EQ(ku_setblocking(fd, 42), 0);  // any nonzero value means blocking
  EXPECT_EQ(status_flags(fd), before & ~O_NONBLOCK);
}

TEST_F(SocketTest, setblocking_on_a_closed_descriptor_fails_with_ebadf) {
  EXPECT_EQ(ku_setblocking(closed_fd(), 1), -1);
  EXPECT_EQ(errno, EBADF);
}

// ---- Pending error, type, reuse, queued bytes ----

TEST_F(SocketTest, soerror_reports_a_pending_error_once) {
  // A datagram to a loopback port where nobody listens comes back as ECONNREFUSED on a
  // connected UDP socket.
  sockaddr_storage gone;
  socklen_t len;
  close(bound_udp(AF_INET, &gone, &len));
  fds_.pop_back();
  int fd = keep(ku_socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&gone), len), 0);
  EXPECT_EQ(ku_soerror(fd), 0);
  ASSERT_EQ(send(fd, "x", 1, 0), 1);
  pollfd p{fd, 0, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  ASSERT_TRUE(p.revents & POLLERR);
  EXPECT_EQ(ku_soerror(fd), ECONNREFUSED);
  EXPECT_EQ(ku_soerror(fd), 0);
}

TEST_F(SocketTest, soerror_of_a_closed_descriptor_is_zero) {
  EXPECT_EQ(ku_soerror(closed_fd()), 0);
}

TEST_F(SocketTest, getsocktype_names_the_type) {
  int sv[2];
  pair(SOCK_STREAM, sv);
  EXPECT_EQ(ku_getsocktype(sv[0]), SOCK_STREAM);
  pair(SOCK_SEQPACKET, sv);
  EXPECT_EQ(ku_getsocktype(sv[0]), SOCK_SEQPACKET);
  EXPECT_EQ(ku_getsocktype(keep(ku_socket(AF_INET6, SOCK_DGRAM, 0))), SOCK_DGRAM);
  EXPECT_EQ(ku_getsocktype(closed_fd()), -1);
  EXPECT_EQ(errno, EBADF);
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  keep(pipefd[0]);
  keep(pipefd[1]);
  EXPECT_EQ(ku_getsocktype(pipefd[0]), -1);
  EXPECT_EQ(errno, ENOTSOCK);
}

TEST_F(SocketTest, setreuseaddr_sets_both_options_to_the_value) {
  int fd = keep(ku_socket(AF_INET, SOCK_DGRAM, 0));
  EXPECT_EQ(ku_setreuseaddr(fd, 1), 0);
  EXPECT_EQ(int_option(fd, SO_REUSEPORT), 1);
  EXPECT_EQ(int_option(fd, SO_REUSEADDR), 1);
  EXPECT_EQ(ku_setreuseaddr(fd, 0), 0);
  EXPECT_EQ(int_option(fd, SO_REUSEPORT), 0);
  EXPECT_EQ(int_option(fd, SO_REUSEADDR), 0);
  EXPECT_EQ(ku_setreuseaddr(closed_fd(), 1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(SocketTest, sockets_with_reuse_share_an_address_and_port) {
  sockaddr_storage addr;
  socklen_t len;
  int first = keep(ku_socket(AF_INET6, SOCK_DGRAM, 0));
  ASSERT_EQ(ku_setreuseaddr(first, 1), 0);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(first, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
  len = sizeof addr;
  ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  int second = keep(ku_socket(AF_INET6, SOCK_DGRAM, 0));
  ASSERT_EQ(ku_setreuseaddr(second, 1), 0);
  EXPECT_EQ(bind(second, reinterpret_cast<sockaddr *>(&addr), len), 0) << strerror(errno);
  int third = keep(ku_socket(AF_INET6, SOCK_DGRAM, 0));
  EXPECT_EQ(bind(third, reinterpret_cast<sockaddr *>(&addr), len), -1);
  EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(SocketTest, setreuseaddr_stops_when_port_reuse_is_refused) {
  int sv[2];
  pair(SOCK_DGRAM, sv);
  int one = 1;
  if (setsockopt(sv[1], SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0)
    GTEST_SKIP() << "this kernel accepts SO_REUSEPORT on AF_UNIX sockets";
  int refusal = errno;
  EXPECT_EQ(ku_setreuseaddr(sv[0], 1), -1);
  EXPECT_EQ(errno, refusal);
  EXPECT_EQ(int_option(sv[0], SO_REUSEADDR), 0);
}

TEST_F(SocketTest, getmsgsize_counts_the_next_datagram) {
  int sv[2];
  pair(SOCK_DGRAM, sv);
  EXPECT_EQ(ku_getmsgsize(sv[1]), 0);
  ASSERT_EQ(send(sv[0], "0123456789abcdefghijklmnopqrstuvwxyz", 37, 0), 37);
  ASSERT_EQ(send(sv[0], "ab", 2, 0), 2);
  EXPECT_EQ(ku_getmsgsize(sv[1]), 37);
  char buf[64];
  ASSERT_EQ(recv(sv[1], buf, sizeof buf, 0), 37);
  EXPECT_EQ(ku_getmsgsize(sv[1]), 2);
  ASSERT_EQ(recv(sv[1], buf, sizeof buf, 0), 2);
  EXPECT_EQ(ku_getmsgsize(sv[1]), 0);
  EXPECT_EQ(ku_getmsgsize(closed_fd()), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(SocketTest, getmsgsize_of_udp_socket_before_and_after_a_datagram) {
  sockaddr_storage addr;
  socklen_t len;
  int rx = bound_udp(AF_INET6, &addr, &len);
  int tx = keep(ku_socket(AF_INET6, SOCK_DGRAM, 0));
  EXPECT_EQ(ku_getmsgsize(rx), 0);
  ASSERT_EQ(sendto(tx, "hello", 5, 0, reinterpret_cast<sockaddr *>(&addr), len), 5);
  ASSERT_TRUE(readable(rx));
  EXPECT_EQ(ku_getmsgsize(rx), 5);
}

// ---- Scatter/gather send and receive ----

class VectorIoTest : public SocketTest, public ::testing::WithParamInterface<int> {};

TEST_P(VectorIoTest, gathered_send_arrives_scattered_with_the_sender_address) {
  const int family = GetParam();
  sockaddr_storage rx_addr, tx_addr;
  socklen_t rx_len, tx_len;
  int rx = bound_udp(family, &rx_addr, &rx_len);
  int tx = bound_udp(family, &tx_addr, &tx_len);

  char a[] = "scatter", b[] = "/", c[] = "gather";
  iovec out[] = {{a, 7}, {b, 1}, {c, 6}};
  EXPECT_EQ(ku_vsend(tx, out, 3, 0, &rx_addr, rx_len), 14);
  ASSERT_TRUE(readable(rx));

  char p[5] = {}, q[16] = {};
  iovec in[] = {{p, sizeof p}, {q, sizeof q}};
  sockaddr_storage from;
  memset(&from, 0xEE, sizeof from);
  socklen_t from_len = sizeof from;
  EXPECT_EQ(ku_vrecv(rx, in, 2, 0, &from, &from_len), 14);
  EXPECT_EQ(std::string(p, 5), "scatt");
  EXPECT_EQ(std::string(q), "er/gather");
  ASSERT_EQ(from_len, tx_len);
  EXPECT_EQ(memcmp(&from, &tx_addr, tx_len), 0);
}

TEST_P(VectorIoTest, short_address_buffer_is_filled_and_the_full_length_reported) {
  const int family = GetParam();
  sockaddr_storage rx_addr, tx_addr;
  socklen_t rx_len, tx_len;
  int rx = bound_udp(family, &rx_addr, &rx_len);
  int tx = bound_udp(family, &tx_addr, &tx_len);
  char byte = 'x';
  iovec io = {&byte, 1};
  ASSERT_EQ(ku_vsend(tx, &io, 1, 0, &rx_addr, rx_len), 1);
  ASSERT_TRUE(readable(rx));

  // Only the first 4 bytes are offered.  The array is larger because sanitizers take the
  // returned length as the number of bytes written.
  unsigned char from[sizeof(sockaddr_storage)];
  memset(from, 0xEE, sizeof from);
  socklen_t from_len = 4;
  EXPECT_EQ(ku_vrecv(rx, &io, 1, 0, from, &from_len), 1);
  EXPECT_EQ(from_len, tx_len);
  EXPECT_EQ(memcmp(from, &tx_addr, 4), 0);
  for (size_t i = 4; i < sizeof from; ++i) ASSERT_EQ(from[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(Loopback, VectorIoTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto &info) { return info.param == AF_INET ? "ipv4" : "ipv6"; });

TEST_F(SocketTest, vrecv_without_address_buffer_touches_no_length) {
  int sv[2];
  pair(SOCK_DGRAM, sv);
  char buf[8];
  iovec io = {buf, sizeof buf};
  ASSERT_EQ(send(sv[0], "one", 3, 0), 3);
  ASSERT_EQ(send(sv[0], "two", 3, 0), 3);
  socklen_t len = 12345;
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, 0, nullptr, &len), 3);
  EXPECT_EQ(len, 12345u);
  unsigned char from[16];
  memset(from, 0xEE, sizeof from);
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, 0, from, nullptr), 3);
  for (unsigned char byte : from) EXPECT_EQ(byte, 0xEE);
}

TEST_F(SocketTest, vrecv_from_an_unnamed_peer_reports_length_zero) {
  int sv[2];
  pair(SOCK_DGRAM, sv);
  char buf[8];
  iovec io = {buf, sizeof buf};
  ASSERT_EQ(ku_vsend(sv[0], &io, 1, 0, nullptr, 0), 8);
  sockaddr_un from;
  socklen_t len = sizeof from;
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, 0, &from, &len), 8);
  EXPECT_EQ(len, 0u);
}

TEST_F(SocketTest, vrecv_passes_the_flags_and_cuts_long_datagrams) {
  int sv[2];
  pair(SOCK_DGRAM, sv);
  ASSERT_EQ(send(sv[0], "0123456789", 10, 0), 10);
  char buf[4];
  iovec io = {buf, sizeof buf};
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, MSG_PEEK | MSG_TRUNC, nullptr, nullptr), 10);
  EXPECT_EQ(ku_getmsgsize(sv[1]), 10);
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, 0, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(ku_getmsgsize(sv[1]), 0);  // the rest of the datagram is gone
}

TEST_F(SocketTest, vrecv_on_an_empty_non_blocking_socket_fails_with_eagain) {
  int sv[2];
  pair(SOCK_DGRAM | SOCK_NONBLOCK, sv);
  char buf[4];
  iovec io = {buf, sizeof buf};
  socklen_t len = 7;
  sockaddr_un from;
  EXPECT_EQ(ku_vrecv(sv[1], &io, 1, 0, &from, &len), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(SocketTest, vsend_on_a_connected_stream_takes_no_address) {
  int sv[2];
  pair(SOCK_STREAM, sv);
  char a[] = "ab", b[] = "cde";
  iovec out[] = {{a, 2}, {b, 3}};
  EXPECT_EQ(ku_vsend(sv[0], out, 2, MSG_NOSIGNAL, nullptr, 0), 5);
  char buf[8] = {};
  iovec in = {buf, sizeof buf};
  EXPECT_EQ(ku_vrecv(sv[1], &in, 1, 0, nullptr, nullptr), 5);
  EXPECT_EQ(std::string(buf), "abcde");
}

TEST_F(SocketTest, vsend_to_a_full_socket_fails_with_eagain) {
  int sv[2];
  pair(SOCK_DGRAM | SOCK_NONBLOCK, sv);
  char buf[256] = {};
  while (send(sv[0], buf, sizeof buf, 0) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  iovec io = {buf, sizeof buf};
  EXPECT_EQ(ku_vsend(sv[0], &io, 1, 0, nullptr, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(SocketTest, vsend_to_a_closed_peer_fails_at_once) {
  int sv[2];
  pair(SOCK_STREAM, sv);
  close(sv[1]);
  fds_.pop_back();
  char byte = 0;
  iovec io = {&byte, 1};
  EXPECT_EQ(ku_vsend(sv[0], &io, 1, MSG_NOSIGNAL, nullptr, 0), -1);
  EXPECT_EQ(errno, EPIPE);
}

}  // namespace
