// SPDX-License-Identifier: MIT
// Ordering, matching and canonicalisation of socket addresses.
#include <gtest/gtest.h>
#include <ku/ku_sockaddr.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

// One record of any family, big enough for IPv6, as callers keep them.
struct Rec {
  alignas(8) unsigned char b[28] = {};
  const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(b); }
  sockaddr *sa() { return reinterpret_cast<sockaddr *>(b); }
  uint16_t family() const {
    uint16_t f;
    memcpy(&f, b, 2);
    return f;
  }
};

Rec v4(const char *addr, uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, addr, &in.sin_addr), 1) << addr;
  Rec r;
  memcpy(r.b, &in, sizeof in);
  return r;
}

Rec v6(const char *addr, uint16_t port, uint32_t scope = 0, uint32_t flow = 0) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(port);
  in6.sin6_scope_id = scope;
  in6.sin6_flowinfo = flow;
  EXPECT_EQ(inet_pton(AF_INET6, addr, &in6.sin6_addr), 1) << addr;
  Rec r;
  memcpy(r.b, &in6, sizeof in6);
  return r;
}

Rec other(uint16_t family, unsigned char fill, uint16_t raw_port = 0) {
  Rec r;
  memset(r.b, fill, 16);
  memcpy(r.b, &family, 2);
  memcpy(r.b + 2, &raw_port, 2);
  return r;
}

int sign(int x) { return (x > 0) - (x < 0); }

std::string text(const Rec &r) {
  char buf[INET6_ADDRSTRLEN] = "?";
  if (r.family() == AF_INET)
    inet_ntop(AF_INET, r.b + 4, buf, sizeof buf);
  else if (r.family() == AF_INET6)
    inet_ntop(AF_INET6, r.b + 8, buf, sizeof buf);
  return std::to_string(r.family()) + ":" + buf;
}

// ---- Ordering ----

TEST(SockaddrCmp, null_sorts_before_every_address) {
  Rec a = v4("192.0.2.1", 80);
  EXPECT_EQ(ku_cmp_sockaddr(nullptr, nullptr), 0);
  EXPECT_LT(ku_cmp_sockaddr(nullptr, a.sa()), 0);
  EXPECT_GT(ku_cmp_sockaddr(a.sa(), nullptr), 0);
}

TEST(SockaddrCmp, family_decides_before_address_and_port) {
  Rec a = v4("255.255.255.255", 65535), b = v6("::", 0);
  EXPECT_LT(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
  EXPECT_GT(ku_cmp_sockaddr(b.sa(), a.sa()), 0);
  // The family difference itself is returned.
  EXPECT_EQ(ku_cmp_sockaddr(a.sa(), b.sa()), AF_INET - AF_INET6);
}

TEST(SockaddrCmp, ipv6_ignores_scope_id_and_flow_information) {
  Rec a = v6("fe80::1", 53, 1, 0), b = v6("fe80::1", 53, 7, 0x12345);
  EXPECT_EQ(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
}

TEST(SockaddrCmp, ports_compare_as_stored_in_network_order) {
  Rec a = v4("192.0.2.1", 1), b = v4("192.0.2.1", 256);
  uint16_t raw_a = htons(1), raw_b = htons(256);
  EXPECT_EQ(ku_cmp_sockaddr(a.sa(), b.sa()), int(raw_a) - int(raw_b));
  if (htons(1) != 1) {  // little-endian host
    EXPECT_GT(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
  }
}

TEST(SockaddrCmp, address_decides_before_port) {
  Rec a = v4("192.0.2.1", 9999), b = v4("192.0.2.2", 1);
  EXPECT_LT(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
  Rec c = v6("2001:db8::1", 9999), d = v6("2001:db8::2", 1);
  EXPECT_LT(ku_cmp_sockaddr(c.sa(), d.sa()), 0);
}

TEST(SockaddrCmp, other_families_compare_sixteen_bytes_and_nothing_beyond) {
  Rec a = other(AF_UNIX, 0x11), b = other(AF_UNIX, 0x11);
  memset(a.b + 16, 0x00, 12);
  memset(b.b + 16, 0xFF, 12);
  EXPECT_EQ(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
  b.b[15] = 0x12;
  EXPECT_LT(ku_cmp_sockaddr(a.sa(), b.sa()), 0);
}

// ---- Matching ----

TEST(SockaddrMatch, null_pattern_matches_and_null_address_does_not) {
  Rec a = v4("192.0.2.1", 80);
  EXPECT_EQ(ku_match_sockaddr(nullptr, nullptr), 1);
  EXPECT_EQ(ku_match_sockaddr(nullptr, a.sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(a.sa(), nullptr), 0);
}

TEST(SockaddrMatch, inet_any_address_matches_every_ipv4_and_no_ipv6) {
  Rec any = v4("0.0.0.0", 0);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v4("192.0.2.1", 80).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v4("255.255.255.255", 0).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v6("::", 0).sa()), 0);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v6("::ffff:192.0.2.1", 80).sa()), 0);
}

TEST(SockaddrMatch, ipv6_any_address_ignores_the_pattern_scope_id) {
  Rec any = v6("::", 0, 3);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v6("fe80::1", 1, 0).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(any.sa(), v6("2001:db8::5", 1, 9).sa()), 1);
}

TEST(SockaddrMatch, nonzero_pattern_scope_id_must_be_equal) {
  Rec loose = v6("fe80::1", 0, 0), strict = v6("fe80::1", 0, 2);
  EXPECT_EQ(ku_match_sockaddr(loose.sa(), v6("fe80::1", 5, 2).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(loose.sa(), v6("fe80::1", 5, 7).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(strict.sa(), v6("fe80::1", 5, 2).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(strict.sa(), v6("fe80::1", 5, 7).sa()), 0);
  EXPECT_EQ(ku_match_sockaddr(strict.sa(), v6("fe80::2", 5, 2).sa()), 0);
}

TEST(SockaddrMatch, ipv6_ignores_flow_information) {
  EXPECT_EQ(ku_match_sockaddr(v6("2001:db8::1", 0, 0, 1).sa(), v6("2001:db8::1", 0, 0, 2).sa()), 1);
}

TEST(SockaddrMatch, nonzero_pattern_port_must_be_equal) {
  Rec p = v4("192.0.2.1", 80);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v4("192.0.2.1", 80).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v4("192.0.2.1", 81).sa()), 0);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v4("192.0.2.2", 80).sa()), 0);
}

TEST(SockaddrMatch, unspecified_family_tests_only_the_port) {
  Rec p = other(AF_UNSPEC, 0x5A, htons(53));
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v4("192.0.2.1", 53).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v6("::1", 53).sa()), 1);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), v6("::1", 54).sa()), 0);
}

TEST(SockaddrMatch, other_family_compares_all_sixteen_bytes_port_included) {
  Rec p = other(AF_UNIX, 0x33, 0);
  Rec a = other(AF_UNIX, 0x33, 0);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), a.sa()), 1);
  a.b[9] = 0;
  EXPECT_EQ(ku_match_sockaddr(p.sa(), a.sa()), 0);
  // A zero port in the pattern is still a byte to compare for such a family.
  Rec b = other(AF_UNIX, 0x33, 7);
  EXPECT_EQ(ku_match_sockaddr(p.sa(), b.sa()), 0);
}

TEST(SockaddrMatch, family_must_agree_when_pattern_names_one) {
  EXPECT_EQ(ku_match_sockaddr(v6("::", 0).sa(), v4("0.0.0.0", 0).sa()), 0);
  EXPECT_EQ(ku_match_sockaddr(other(AF_UNIX, 0, 0).sa(), other(AF_PACKET, 0, 0).sa()), 0);
}

// ---- Canonicalisation ----

void expect_canonized_to(Rec r, const char *v4addr, uint16_t port) {
  Rec before = r;
  ku_canonize_sockaddr(r.sa());
  Rec want = v4(v4addr, port);
  EXPECT_EQ(memcmp(r.b, want.b, 16), 0) << text(before) << " gave " << text(r);
  EXPECT_EQ(memcmp(r.b + 16, before.b + 16, 12), 0) << "bytes past the IPv4 record changed";
}

void expect_unchanged(Rec r) {
  Rec before = r;
  ku_canonize_sockaddr(r.sa());
  EXPECT_EQ(memcmp(r.b, before.b, sizeof r.b), 0) << text(before);
}

TEST(SockaddrCanonize, mapped_address_becomes_ipv4_with_same_port) {
  expect_canonized_to(v6("::ffff:192.0.2.1", 80, 4, 0xABCDE), "192.0.2.1", 80);
  expect_canonized_to(v6("::ffff:0.0.0.0", 7), "0.0.0.0", 7);
}

TEST(SockaddrCanonize, compatible_address_becomes_ipv4) {
  expect_canonized_to(v6("::192.0.2.1", 443), "192.0.2.1", 443);
  expect_canonized_to(v6("::0.0.0.2", 0), "0.0.0.2", 0);
}

TEST(SockaddrCanonize, unspecified_loopback_and_plain_ipv6_stay) {
  expect_unchanged(v6("::", 1));
  expect_unchanged(v6("::1", 1));
  expect_unchanged(v6("2001:db8::ffff:c000:201", 1));
  expect_unchanged(v6("::1:ffff:c000:201", 1));
}

TEST(SockaddrCanonize, other_families_and_null_stay) {
  expect_unchanged(v4("192.0.2.1", 80));
  expect_unchanged(other(AF_UNIX, 0));
  ku_canonize_sockaddr(nullptr);
}

TEST(Sockaddr, records_need_no_alignment) {
  Rec a = v6("fe80::1", 80, 2), p = v6("fe80::1", 0, 2);
  alignas(8) unsigned char buf[2 * 28 + 2];
  memcpy(buf + 1, a.b, 28);
  memcpy(buf + 30, p.b, 28);
  auto *ua = reinterpret_cast<sockaddr *>(buf + 1);
  auto *up = reinterpret_cast<const sockaddr *>(buf + 30);
  EXPECT_EQ(ku_cmp_sockaddr(ua, a.sa()), 0);
  EXPECT_EQ(ku_match_sockaddr(up, ua), 1);
  memcpy(buf + 1, v6("::ffff:10.1.2.3", 9).b, 28);
  ku_canonize_sockaddr(ua);
  EXPECT_EQ(memcmp(buf + 1, v4("10.1.2.3", 9).b, 16), 0);
}

// ---- Properties over random records ----

// Random records drawn from a small byte alphabet, so that equal fields, mapped and
// compatible IPv6 forms and families other than IPv4 and IPv6 all turn up often.
class RandomRecords {
 public:
  explicit RandomRecords(uint32_t seed) : rng_(seed) {}

  Rec next() {
    Rec r;
    for (auto &byte : r.b) byte = pick({0x00, 0x01, 0x7F, 0xFF});
    uint16_t family = pick<uint16_t>(
        {AF_INET, AF_INET, AF_INET6, AF_INET6, AF_INET6, AF_UNSPEC, AF_UNIX, 0x0200, 0xFFFF});
    memcpy(r.b, &family, 2);
    if (family == AF_INET6) {
      unsigned char *addr = r.b + 8;
      switch (pick({0, 1, 2, 3})) {
        case 1:  // ::ffff:a.b.c.d
          memset(addr, 0, 10);
          addr[10] = addr[11] = 0xFF;
          break;
        case 2:  // ::a.b.c.d, sometimes :: or ::1
          memset(addr, 0, 12);
          if (pick({0, 1})) memset(addr + 12, 0, 3);
          break;
        default:
          break;
      }
    }
    return r;
  }

 private:
  template <typename T> T pick(std::initializer_list<T> choices) {
    std::uniform_int_distribution<size_t> d(0, choices.size() - 1);
    return *(choices.begin() + d(rng_));
  }
  int pick(std::initializer_list<int> choices) { return pick<int>(choices); }

  std::mt19937 rng_;
};

std::vector<Rec> random_records(size_t n, uint32_t seed) {
  RandomRecords gen(seed);
  std::vector<Rec> v;
  for (size_t i = 0; i < n; ++i) v.push_back(gen.next());
  return v;
}

// The order written out independently: family value, then the address bytes of the family,
// then the raw port value, compared lexicographically.
std::vector<int> order_key(const Rec &r) {
  uint16_t family = r.family(), port;
  memcpy(&port, r.b + 2, 2);
  std::vector<int> key{family};
  if (family == AF_INET)
    key.insert(key.end(), r.b + 4, r.b + 8);
  else if (family == AF_INET6)
    key.insert(key.end(), r.b + 8, r.b + 24);
  else
    key.insert(key.end(), r.b, r.b + 16);
  key.push_back(port);
  return key;
}

TEST(SockaddrProperties, order_is_antisymmetric_transitive_and_agrees_with_a_key) {
  auto recs = random_records(90, 20240601);
  const size_t n = recs.size();
  std::vector<int> s(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) {
      s[i * n + j] = sign(ku_cmp_sockaddr(recs[i].sa(), recs[j].sa()));
      int want = order_key(recs[i]) < order_key(recs[j])   ? -1
                 : order_key(recs[j]) < order_key(recs[i]) ? 1
                                                           : 0;
      ASSERT_EQ(s[i * n + j], want) << text(recs[i]) << " vs " << text(recs[j]);
    }
  for (size_t i = 0; i < n; ++i) {
    ASSERT_EQ(s[i * n + i], 0);
    for (size_t j = 0; j < n; ++j) {
      ASSERT_EQ(s[i * n + j], -s[j * n + i]);
      for (size_t k = 0; k < n; ++k)
        if (s[i * n + j] <= 0 && s[j * n + k] <= 0) {
          ASSERT_LE(s[i * n + k], 0) << i << " " << j << " " << k;
        }
    }
  }
}

TEST(SockaddrProperties, sorting_with_the_order_groups_equal_records) {
  auto recs = random_records(2000, 7);
  std::sort(recs.begin(), recs.end(),
            [](const Rec &a, const Rec &b) { return ku_cmp_sockaddr(a.sa(), b.sa()) < 0; });
  for (size_t i = 1; i < recs.size(); ++i)
    ASSERT_LE(ku_cmp_sockaddr(recs[i - 1].sa(), recs[i].sa()), 0);
}

TEST(SockaddrProperties, wildcard_pattern_matches_everything_and_records_match_themselves) {
  auto recs = random_records(5000, 99);
  for (const Rec &r : recs) {
    Rec any = r;  // garbage beyond family and port must not matter
    memset(any.b, 0, 4);
    ASSERT_EQ(ku_match_sockaddr(any.sa(), r.sa()), 1) << text(r);
    ASSERT_EQ(ku_match_sockaddr(r.sa(), r.sa()), 1) << text(r);
    // A pattern that names the family with a wildcard address and port covers the record.
    if (r.family() == AF_INET || r.family() == AF_INET6) {
      Rec fam = r;
      memset(fam.b + 2, 0, sizeof fam.b - 2);
      ASSERT_EQ(ku_match_sockaddr(fam.sa(), r.sa()), 1) << text(r);
    }
  }
}

TEST(SockaddrProperties, canonicalisation_is_idempotent_and_classifies_like_the_c_library) {
  auto recs = random_records(20000, 31337);
  size_t rewritten = 0;
  for (const Rec &r : recs) {
    Rec once = r;
    ku_canonize_sockaddr(once.sa());
    Rec twice = once;
    ku_canonize_sockaddr(twice.sa());
    ASSERT_EQ(memcmp(once.b, twice.b, sizeof once.b), 0) << text(r);

    in6_addr a6;
    memcpy(&a6, r.b + 8, sizeof a6);
    bool convertible =
        r.family() == AF_INET6 && (IN6_IS_ADDR_V4MAPPED(&a6) || IN6_IS_ADDR_V4COMPAT(&a6));
    Rec want = r;
    if (convertible) {
      ++rewritten;
      uint16_t inet = AF_INET;
      memcpy(want.b, &inet, 2);
      memcpy(want.b + 4, r.b + 20, 4);
      memset(want.b + 8, 0, 8);
    }
    ASSERT_EQ(memcmp(once.b, want.b, sizeof want.b), 0) << text(r);
  }
  EXPECT_GT(rewritten, recs.size() / 20);  // the generator did reach both forms
}

}  // namespace
