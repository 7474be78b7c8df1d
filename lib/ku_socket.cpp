// SPDX-License-Identifier: MIT
// Socket operations: creation under the two process-wide switches, options, scatter/gather I/O.
#include <ku/ku_socket.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
