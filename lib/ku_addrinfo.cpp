// SPDX-License-Identifier: MIT
// Lookup wrappers over the C library's resolver.
#include <ku/ku.h>

#include <netinet/in.h>

extern "C" {

KU_API int ku_getaddrinfo(const char *host, const char *service, const struct addrinfo *hints,
                          struct addrinfo **result) {
  // The resolver treats a null service differently from "0" for some socket types, so a
  // missing service is asked as port 0 first and as given only if "0" is refused.
  const bool substituted = service == nullptr || service[0] == '\0';
  int rc = getaddrinfo(host, substituted ? "0" : service, hints, result);
  if (substituted && rc == EAI_SERVICE) rc = getaddrinfo(host, service, hints, result);
  if (rc != 0) return rc;

  for (struct addrinfo *ai = *result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_protocol != 0) continue;
    if (hints != nullptr && hints->ai_protocol != 0) {
      ai->ai_protocol = hints->ai_protocol;
    } else if (ai->ai_family == AF_INET || ai->ai_family == AF_INET6) {
      if (ai->ai_socktype == SOCK_STREAM)
        ai->ai_protocol = IPPROTO_TCP;
      else if (ai->ai_socktype == SOCK_DGRAM)
        ai->ai_protocol = IPPROTO_UDP;
    }
  }
  return 0;
}

KU_API void ku_freeaddrinfo(struct addrinfo *list) { freeaddrinfo(list); }

KU_API const char *ku_gai_strerror(int code) { return gai_strerror(code); }

KU_API int ku_getnameinfo(const struct sockaddr *sa, size_t salen, char *host, size_t hostlen,
                          char *serv, size_t servlen, int flags) {
  return getnameinfo(sa, static_cast<socklen_t>(salen), host, static_cast<socklen_t>(hostlen), serv,
                     static_cast<socklen_t>(servlen), flags);
}

}  // extern "C"
