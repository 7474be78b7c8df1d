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

/* Nonzero: sockets made by ku_socket are close-on-exec.  0 at start. */
KU_API extern int ku_socket_close_on_exec;
/* Zero: sockets made by ku_socket are non-blocking.  0 at start. */
KU_API extern int ku_socket_blocking;

KU_API int ku_socket(int family, int type, int protocol);
KU_API int ku_close(int s);
KU_API int ku_setblocking(int s, int blocking);
KU_API int ku_soerror(int s);
KU_API int ku_getsocktype(int s);
KU_API int ku_setreuseaddr(int s, int value);
KU_API int ku_getmsgsize(int s);
KU_API int ku_vsend(int s, const struct iovec iov[], int iovlen, int flags,
                    const void *to, socklen_t tolen);
KU_API int ku_vrecv(int s, struct iovec iov[], int iovlen, int flags,
                    void *from, socklen_t *fromlen);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_SOCKET_H */
