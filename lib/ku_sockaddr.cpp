// SPDX-License-Identifier: MIT
// Socket-address order, matching against a pattern, and canonical form.
#include <ku/ku_sockaddr.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
