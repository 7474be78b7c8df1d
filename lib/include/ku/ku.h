/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku.h>: library start-up, error numbers and address lookup.
 *
 * Conventions of the whole library:
 *  - A call that fails returns -1 (int results) or NULL (pointer results) and leaves the reason
 *    in errno, set by the library (ku_seterrno) or by the failing system call.  The exceptions
 *    say so: ku_getaddrinfo returns the resolver's EAI_* code, ku_home_lock/trylock/unlock
 *    return POSIX error numbers directly.
 *  - The memory calls accept a NULL home and then behave exactly as malloc, calloc, realloc
 *    and free.  Allocation sizes must be below 2^31 bytes.
 *  - Violated preconditions (a foreign address handed to a home, a NULL log) abort the process
 *    through assert(), in every build type this project's CMake makes.
 *  - Call ku_init() once before the first use of the library and ku_deinit() at the end.
 */
#ifndef KU_KU_H
#define KU_KU_H

#include <ku/ku_version.h>

#include <stddef.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <netdb.h>

#ifndef KU_API
#if defined(__GNUC__) || defined(__clang__)
#define KU_API __attribute__((visibility("default")))
#else
#define KU_API
#endif
#endif

/* <netdb.h> declares struct addrinfo only for POSIX programs; naming it here lets a strict C11
 * program include this header without a warning and pass the lookup results through. */
struct addrinfo;

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the library: ignores SIGPIPE for the whole process (writes to a closed socket or pipe
 * then fail with EPIPE), then initialises ku_log_default and then ku_log_global from the
 * environment, which may report their levels on stderr (see <ku/ku_log.h>).  Calling it again
 * repeats this and changes nothing further.  Cannot fail: always returns 0. */
KU_API int ku_init(void);

/* Ends the use of the library.  Does nothing today (the SIGPIPE disposition stays ignored and
 * the logs keep their levels); call it for symmetry. */
KU_API void ku_deinit(void);

/* Returns the version of the library that runs, as "MAJOR.MINOR.PATCH" (for example "0.2.0"):
 * KU_VERSION_STRING of the build that made it.  A program's own KU_VERSION_STRING names the
 * headers it was compiled with; a later libku.so.0 may run it.  The text is static.  Cannot
 * fail. */
KU_API const char *ku_version(void);

/* Returns the calling thread's errno.  Cannot fail. */
KU_API int ku_errno(void);

/* Stores error into the calling thread's errno and returns -1, also for 0 (which clears errno),
 * so that a failing function can write "return ku_seterrno(EINVAL);".  Cannot fail. */
KU_API int ku_seterrno(int error);

/* Returns the C library's message text for an error number (strerror), or "Unknown error N".
 * The text may be overwritten by a later call, so copy it before calling again. */
KU_API const char *ku_strerror(int error);

/* Resolves service on host with getaddrinfo(host, service, hints, result).
 * A NULL or empty service is asked as "0"; if the resolver refuses that with EAI_SERVICE, it is
 * asked once more with the caller's own NULL or empty service.  In the list returned, entries
 * with protocol 0 get the hints' nonzero protocol, or else 6 (TCP) for stream and 17 (UDP) for
 * datagram entries of AF_INET and AF_INET6.
 * Entries that come with a protocol keep it.  hints may be NULL; result must not be.
 * Returns 0 and the list in *result (free it with ku_freeaddrinfo), or the resolver's nonzero
 * EAI_* code (message: ku_gai_strerror); *result is then untouched.  The wrapper sets no errno
 * itself; after EAI_SYSTEM the resolver's errno tells why. */
KU_API int ku_getaddrinfo(const char *host, const char *service, const struct addrinfo *hints,
                          struct addrinfo **result);

/* Frees a whole list returned by ku_getaddrinfo (freeaddrinfo); NULL is ignored. */
KU_API void ku_freeaddrinfo(struct addrinfo *list);

/* Returns the resolver's message text for an EAI_* code (gai_strerror); an unknown code gives
 * a text too, never NULL.  The text is static. */
KU_API const char *ku_gai_strerror(int code);

/* Reverse lookup: getnameinfo with the same arguments, the lengths narrowed to socklen_t.
 * Returns getnameinfo's result: 0 with NUL-terminated texts in host and serv (either may be NULL
 * with length 0), or an EAI_* code, e.g. EAI_OVERFLOW when a buffer is too small; errno is
 * meaningful only for EAI_SYSTEM. */
KU_API int ku_getnameinfo(const struct sockaddr *sa, size_t salen, char *host, size_t hostlen,
                          char *serv, size_t servlen, int flags);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_H */
