/* SPDX-License-Identifier: MIT */
/*
 * <ku/ku_sockaddr.h>: ordering, matching and canonicalisation of socket addresses.
 *
 * Records are read byte-wise at the platform's positions and need no particular alignment.
 * One of family AF_INET must hold sizeof(struct sockaddr_in) bytes, one of AF_INET6
 * sizeof(struct sockaddr_in6) bytes, and one of any other family 16 bytes, which are compared
 * as opaque bytes (family and port included).  Ports are compared as stored, in network
 * byte order, never converted.
 */
#ifndef KU_KU_SOCKADDR_H
#define KU_KU_SOCKADDR_H

#include <sys/types.h>
#include <sys/socket.h>

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

/* Orders socket addresses: by family, then by address bytes (sin_addr, sin6_addr without flow
 * information or scope id, or the 16 opaque bytes of another family), then by the raw port
 * value, so on a little-endian host port 256 sorts before port 1.  NULL sorts before every
 * address.  Returns a negative, zero or positive difference (not only -1, 0, 1). */
KU_API int ku_cmp_sockaddr(const struct sockaddr *a, const struct sockaddr *b);

/* Tests addr against pattern.  A NULL pattern matches anything, a NULL addr nothing else.
 * Pattern family 0 matches any family and address; an all-zero IPv4 or IPv6 pattern address
 * matches any address of its family; a nonzero IPv6 pattern scope id must be equal; another
 * family's 16 bytes must be equal.  Pattern port 0 matches any port.  Returns 1 or 0. */
KU_API int ku_match_sockaddr(const struct sockaddr *pattern, const struct sockaddr *addr);

/* Rewrites, in place, an AF_INET6 record that holds an IPv4-mapped (::ffff:a.b.c.d) or
 * IPv4-compatible (::a.b.c.d other than :: and ::1) address into an AF_INET record with the
 * same port; sin_zero is cleared and bytes 16 to 27 are left as they were.  Any other record,
 * and NULL, is left alone. */
KU_API void ku_canonize_sockaddr(struct sockaddr *sa);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_SOCKADDR_H */
