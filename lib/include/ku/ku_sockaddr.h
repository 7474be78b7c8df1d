/*
 * <ku/ku_sockaddr.h>: ordering, matching and canonicalisation of socket addresses.
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

KU_API int ku_cmp_sockaddr(const struct sockaddr *a, const struct sockaddr *b);
KU_API int ku_match_sockaddr(const struct sockaddr *pattern, const struct sockaddr *addr);
KU_API void ku_canonize_sockaddr(struct sockaddr *sa);

#ifdef __cplusplus
}
#endif

#endif /* KU_KU_SOCKADDR_H */
