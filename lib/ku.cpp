// SPDX-License-Identifier: MIT
// Library start-up and shutdown; socket operations and socket-address comparison.
#include <ku/ku.h>
#include <ku/ku_log.h>
#include <ku/ku_sockaddr.h>
#include <ku/ku_socket.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {

KU_API int ku_init(void) {
  signal(SIGPIPE, SIG_IGN);
  ku_log_init(&ku_log_default);
  ku_log_init(&ku_log_global);
  return 0;
}

KU_API void ku_deinit(void) {}

}  // extern "C"

// ---- Socket operations ----

extern "C" {
KU_API int ku_socket_close_on_exec = 0;
KU_API int ku_socket_blocking = 0;
}

namespace {

constexpr int kSendAttempts = 100;

int get_int_option(int s, int name, int *value) {
  socklen_t len = sizeof *value;
  return getsockopt(s, SOL_SOCKET, name, value, &len);
}

}  // namespace

extern "C" {

KU_API int ku_socket(int family, int type, int protocol) {
  // The flags are given to socket() itself rather than set by fcntl() afterwards: a program
  // that another thread starts in between would otherwise inherit the descriptor.
  if (ku_socket_close_on_exec) type |= SOCK_CLOEXEC;
  if (!ku_socket_blocking) type |= SOCK_NONBLOCK;
  return socket(family, type, protocol);
}

KU_API int ku_close(int s) { return close(s); }

KU_API int ku_setblocking(int s, int blocking) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return -1;
  if (blocking)
    flags &= ~O_NONBLOCK;
  else
    flags |= O_NONBLOCK;
  return fcntl(s, F_SETFL, flags);
}

KU_API int ku_soerror(int s) {
  int value = 0;
  (void)get_int_option(s, SO_ERROR, &value);
  return value;
}

KU_API int ku_getsocktype(int s) {
  int value = 0;
  if (get_int_option(s, SO_TYPE, &value) < 0) return -1;
  return value;
}

KU_API int ku_setreuseaddr(int s, int value) {
  if (setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) < 0) return -1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) < 0) return -1;
  return 0;
}

KU_API int ku_getmsgsize(int s) {
  int size = -1;
  if (ioctl(s, FIONREAD, &size) == -1) return -1;
  return size;
}

KU_API int ku_vsend(int s, const struct iovec iov[], int iovlen, int flags, const void *to,
                    socklen_t tolen) {
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_name = const_cast<void *>(to);
  msg.msg_namelen = tolen;
  msg.msg_iov = const_cast<struct iovec *>(iov);
  msg.msg_iovlen = static_cast<size_t>(iovlen);

  ssize_t sent;
  int attempts = kSendAttempts;
  do {
    sent = sendmsg(s, &msg, flags);
    if (sent == -1 && errno == EAGAIN) {
      // The caller is told the error of the last send, not whatever the yield may leave.
      int error = errno;
      sched_yield();
      errno = error;
    }
    --attempts;
  } while (attempts > 0 && sent == -1 && (errno == EAGAIN || errno == EINTR));
  // Linux moves less than 2^31 bytes in one call, so the count always fits an int.
  return static_cast<int>(sent);
}

KU_API int ku_vrecv(int s, struct iovec iov[], int iovlen, int flags, void *from,
                    socklen_t *fromlen) {
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_name = from;
  if (from && fromlen) msg.msg_namelen = *fromlen;
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<size_t>(iovlen);

  ssize_t received = recvmsg(s, &msg, flags);
  if (from && fromlen) *fromlen = msg.msg_namelen;
  return static_cast<int>(received);
}

}  // extern "C"

// ---- Socket address comparison ----

// The comparisons run over raw bytes at the platform's field positions, so those positions
// are pinned here.  Other families are handled as 16 opaque bytes.
static_assert(offsetof(struct sockaddr, sa_family) == 0);
static_assert(offsetof(struct sockaddr_in, sin_family) == 0);
static_assert(offsetof(struct sockaddr_in, sin_port) == 2);
static_assert(offsetof(struct sockaddr_in, sin_addr) == 4);
static_assert(offsetof(struct sockaddr_in, sin_zero) == 8);
static_assert(sizeof(struct sockaddr_in) == 16);
static_assert(offsetof(struct sockaddr_in6, sin6_family) == 0);
static_assert(offsetof(struct sockaddr_in6, sin6_port) == 2);
static_assert(offsetof(struct sockaddr_in6, sin6_flowinfo) == 4);
static_assert(offsetof(struct sockaddr_in6, sin6_addr) == 8);
static_assert(offsetof(struct sockaddr_in6, sin6_scope_id) == 24);
static_assert(sizeof(struct sockaddr_in6) == 28);
static_assert(sizeof(struct sockaddr) == 16);

namespace {

constexpr size_t kFamilyAt = 0;
constexpr size_t kPortAt = 2;
constexpr size_t kIn4AddrAt = 4;
constexpr size_t kIn4ZeroAt = 8;
constexpr size_t kIn6AddrAt = 8;
constexpr size_t kIn6ScopeAt = 24;
constexpr size_t kOpaqueSize = 16;

// Callers may hand in records at any alignment (inside packets, packed structures), so every
// field is copied out byte-wise rather than read through a cast.
template <typename T> T field(const struct sockaddr *sa, size_t at) {
  T value;
  memcpy(&value, reinterpret_cast<const unsigned char *>(sa) + at, sizeof value);
  return value;
}

const unsigned char *bytes(const struct sockaddr *sa, size_t at) {
  return reinterpret_cast<const unsigned char *>(sa) + at;
}

uint16_t family(const struct sockaddr *sa) { return field<uint16_t>(sa, kFamilyAt); }
uint16_t raw_port(const struct sockaddr *sa) { return field<uint16_t>(sa, kPortAt); }

bool is_zero(const unsigned char *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

}  // namespace

extern "C" {

KU_API int ku_cmp_sockaddr(const struct sockaddr *a, const struct sockaddr *b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  int diff = int(family(a)) - int(family(b));
  if (diff) return diff;
  switch (family(a)) {
    case AF_INET:
      diff = memcmp(bytes(a, kIn4AddrAt), bytes(b, kIn4AddrAt), sizeof(struct in_addr));
      break;
    case AF_INET6:
      diff = memcmp(bytes(a, kIn6AddrAt), bytes(b, kIn6AddrAt), sizeof(struct in6_addr));
      break;
    default:
      diff = memcmp(a, b, kOpaqueSize);
      break;
  }
  if (diff) return diff;
  return int(raw_port(a)) - int(raw_port(b));
}

KU_API int ku_match_sockaddr(const struct sockaddr *pattern, const struct sockaddr *addr) {
  if (!pattern) return 1;
  if (!addr) return 0;
  uint16_t pf = family(pattern);
  if (pf != AF_UNSPEC) {
    if (pf != family(addr)) return 0;
    switch (pf) {
      case AF_INET:
        if (!is_zero(bytes(pattern, kIn4AddrAt), sizeof(struct in_addr)) &&
            memcmp(bytes(pattern, kIn4AddrAt), bytes(addr, kIn4AddrAt), sizeof(struct in_addr)))
          return 0;
        break;
      case AF_INET6:
        if (!is_zero(bytes(pattern, kIn6AddrAt), sizeof(struct in6_addr))) {
          uint32_t scope = field<uint32_t>(pattern, kIn6ScopeAt);
          if (scope && scope != field<uint32_t>(addr, kIn6ScopeAt)) return 0;
          if (memcmp(bytes(pattern, kIn6AddrAt), bytes(addr, kIn6AddrAt), sizeof(struct in6_addr)))
            return 0;
        }
        break;
      default:
        if (memcmp(pattern, addr, kOpaqueSize)) return 0;
        break;
    }
  }
  uint16_t port = raw_port(pattern);
  return port == 0 || port == raw_port(addr);
}

KU_API void ku_canonize_sockaddr(struct sockaddr *sa) {
  if (!sa || family(sa) != AF_INET6) return;
  uint32_t w[4];
  memcpy(w, bytes(sa, kIn6AddrAt), sizeof w);
  bool mapped = w[0] == 0 && w[1] == 0 && w[2] == htonl(0xFFFF);
  bool compatible = w[0] == 0 && w[1] == 0 && w[2] == 0 && ntohl(w[3]) > 1;
  if (!mapped && !compatible) return;
  auto *p = reinterpret_cast<unsigned char *>(sa);
  const uint16_t inet = AF_INET;
  memcpy(p + kFamilyAt, &inet, sizeof inet);
  memcpy(p + kIn4AddrAt, &w[3], sizeof w[3]);
  memset(p + kIn4ZeroAt, 0, kOpaqueSize - kIn4ZeroAt);
}

}  // extern "C"
