/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku_socket.h>: socket operations and the two switches for new sockets.
 */
#ifndef KU_KU_SOCKET_H
#define KU_KU_SOCKET_H

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/uio.h>

#ifndef KU_API
#if defined(__GNUC__) || defined(__clang__)
#define KU_API __attribute__((visibility("default")))
#else
#define KU_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero: sockets that ku_socket creates are close-on-exec (FD_CLOEXEC).  0 at start.
 * Read each time ku_socket runs; the library never changes it.  Set it before sockets are
 * made concurrently: it is a plain int without a lock. */
KU_API extern int ku_socket_close_on_exec;

/* Zero: sockets that ku_socket creates are non-blocking (O_NONBLOCK).  Nonzero: they keep the
 * blocking mode the type asks for.  0 at start; read like ku_socket_close_on_exec. */
KU_API extern int ku_socket_blocking;

/* Creates a socket as socket(family, type, protocol) does, with the close-on-exec flag and the
 * non-blocking mode that the two switches above ask for.  Both flags are given to the kernel
 * with the socket itself, so no program started meanwhile by another thread inherits it.
 * Returns the descriptor, or -1 with errno left by socket() (EAFNOSUPPORT, EINVAL, EMFILE...). */
KU_API int ku_socket(int family, int type, int protocol);

/* Closes a socket.  Returns close()'s result: 0, or -1 with errno (EBADF, EINTR, EIO). */
KU_API int ku_close(int s);

/* Makes a socket blocking (blocking nonzero) or non-blocking (0) by clearing or setting
 * O_NONBLOCK; its other status flags stay as they are.  Returns 0, or -1 with errno left by
 * fcntl() (EBADF for a descriptor that is not open). */
KU_API int ku_setblocking(int s, int blocking);

/* Reads and clears the socket's pending error (SO_ERROR).  Returns that error number, or 0
 * when there is none or when it cannot be read (errno then tells why, e.g. EBADF, ENOTSOCK). */
KU_API int ku_soerror(int s);

/* Returns the socket's type (SO_TYPE): SOCK_STREAM (1), SOCK_DGRAM (2), SOCK_SEQPACKET (5)...,
 * or -1 with errno (EBADF, ENOTSOCK). */
KU_API int ku_getsocktype(int s);

/* Turns address and port reuse on (value nonzero) or off: sets SO_REUSEPORT, then
 * SO_REUSEADDR, both to value.  On Linux SO_REUSEPORT lets other sockets of the same user bind
 * the very same address and port, and the kernel then spreads incoming connections or
 * datagrams among them.  Returns 0, or -1 with errno at the first option that fails
 * (SO_REUSEADDR is then untouched); for example EOPNOTSUPP where a family has no port reuse. */
KU_API int ku_setreuseaddr(int s, int value);

/* Returns the number of bytes ready to be read on the socket (FIONREAD), or -1 with errno
 * (EBADF, ENOTTY, EINVAL on a listening socket).  For a datagram socket that is the size of
 * the next datagram. */
KU_API int ku_getmsgsize(int s);

/* Sends the iovlen buffers of iov as one message (sendmsg) to the address to, tolen bytes
 * long; to may be NULL on a connected socket.  A send that fails with EAGAIN yields the
 * processor and is tried again, one that fails with EINTR is tried again at once; at most
 * 100 attempts are made in all.  Returns the number of bytes sent (a stream socket may take
 * only part), or -1 with errno left by the last attempt (EAGAIN when the socket stayed full). */
KU_API int ku_vsend(int s, const struct iovec iov[], int iovlen, int flags, const void *to,
                    socklen_t tolen);

/* Receives one message into the iovlen buffers of iov (recvmsg with flags), once, without a
 * retry.  When from and fromlen are both non-NULL, *fromlen gives the size of the buffer at
 * from on entry and holds the length of the sender's address on return (larger than the
 * buffer if it was cut short; 0 if the sender has none); otherwise neither is read or written.
 * Returns the number of bytes received (0 for an empty datagram or a closed stream), or -1
 * with errno (EAGAIN on an empty non-blocking socket, EBADF, EINTR...). */
KU_API int ku_vrecv(int s, struct iovec iov[], int iovlen, int flags, void *from,
                    socklen_t *fromlen);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_SOCKET_H */
