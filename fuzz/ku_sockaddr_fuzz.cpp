// SPDX-License-Identifier: MIT
// Socket-address ordering, matching and canonicalisation on records built from the input.
//
// The input is cut into three records.  Each starts with one selector byte: 0 gives an IPv4
// record, 1 an IPv6 record, anything else a record of some other family whose 16-bit family
// value follows.  The record's remaining bytes come from the input (zeros once it runs out).
// Every record lives in a heap block of exactly its size (16 bytes for IPv4 and other
// families, 28 for IPv6), so that AddressSanitizer reports any read past its end.
//
// Checked on every input: the order is reflexive, antisymmetric and transitive over the three
// records and sorts null first.  A pattern of family 0 and port 0 matches every record, every
// record matches itself, matching agrees with its rules written out field by field, and records
// equal under the order match each other unless an IPv6 scope id tells them apart.
// Canonicalisation rewrites exactly the IPv4-mapped and IPv4-compatible IPv6 records, as the
// C library's IN6_IS_ADDR_V4MAPPED and IN6_IS_ADDR_V4COMPAT classify them, and is idempotent.
#include <ku/ku_sockaddr.h>

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Record {
  std::unique_ptr<unsigned char[]> bytes;
  size_t size = 0;

  const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(bytes.get()); }
  sockaddr *sa() { return reinterpret_cast<sockaddr *>(bytes.get()); }
  uint16_t family() const {
    uint16_t f;
    memcpy(&f, bytes.get(), sizeof f);
    return f;
  }
  uint32_t scope() const {
    uint32_t s = 0;
    if (family() == AF_INET6)
      memcpy(&s, bytes.get() + offsetof(sockaddr_in6, sin6_scope_id), sizeof s);
    return s;
  }
  Record copy() const {
    Record r;
    r.size = size;
    r.bytes.reset(new unsigned char[size]);
    memcpy(r.bytes.get(), bytes.get(), size);
    return r;
  }
};

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), left_(size) {}
  uint8_t byte() {
    if (left_ == 0) return 0;
    --left_;
    return *data_++;
  }

 private:
  const uint8_t *data_;
  size_t left_;
};

Record make_record(Input &in) {
  uint8_t selector = in.byte();
  uint16_t family;
  if (selector == 0) {
    family = AF_INET;
  } else if (selector == 1) {
    family = AF_INET6;
  } else {
    family = static_cast<uint16_t>(in.byte() | in.byte() << 8);
    // Family 0 is the only way to reach the wildcard pattern; keep it reachable, but keep the
    // two real families out of the opaque 16-byte shape.
    if (family == AF_INET || family == AF_INET6) family = AF_UNSPEC;
  }
  Record r;
  r.size = family == AF_INET6 ? sizeof(sockaddr_in6) : family == AF_INET ? sizeof(sockaddr_in) : 16;
  r.bytes.reset(new unsigned char[r.size]);
  memcpy(r.bytes.get(), &family, sizeof family);
  for (size_t i = sizeof family; i < r.size; ++i) r.bytes[i] = in.byte();
  return r;
}

int sign(int x) { return (x > 0) - (x < 0); }

void check(bool ok) {
  if (!ok) abort();
}

void check_order(const Record *r[3]) {
  int s[3][3];
  for (int i = 0; i < 3; ++i) {
    check(ku_cmp_sockaddr(nullptr, r[i]->sa()) < 0);
    check(ku_cmp_sockaddr(r[i]->sa(), nullptr) > 0);
    for (int j = 0; j < 3; ++j) s[i][j] = sign(ku_cmp_sockaddr(r[i]->sa(), r[j]->sa()));
  }
  for (int i = 0; i < 3; ++i) {
    check(s[i][i] == 0);
    for (int j = 0; j < 3; ++j) {
      check(s[i][j] == -s[j][i]);
      for (int k = 0; k < 3; ++k)
        if (s[i][j] <= 0 && s[j][k] <= 0)
          check(s[i][k] <= 0 && (s[i][k] < 0) == (s[i][j] < 0 || s[j][k] < 0));
    }
  }
  check(ku_cmp_sockaddr(nullptr, nullptr) == 0);
}

bool all_zero(const unsigned char *p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// The matching rules written out field by field, as a second opinion.
bool model_match(const Record &p, const Record &a) {
  const unsigned char *pb = p.bytes.get(), *ab = a.bytes.get();
  if (p.family() != AF_UNSPEC) {
    if (p.family() != a.family()) return false;
    if (p.family() == AF_INET) {
      if (!all_zero(pb + 4, 4) && memcmp(pb + 4, ab + 4, 4) != 0) return false;
    } else if (p.family() == AF_INET6) {
      if (!all_zero(pb + 8, 16)) {
        if (p.scope() != 0 && p.scope() != a.scope()) return false;
        if (memcmp(pb + 8, ab + 8, 16) != 0) return false;
      }
    } else if (memcmp(pb, ab, 16) != 0) {
      return false;
    }
  }
  return all_zero(pb + 2, 2) || memcmp(pb + 2, ab + 2, 2) == 0;
}

void check_match(const Record *r[3]) {
  Record any;
  any.size = 16;
  any.bytes.reset(new unsigned char[16]);
  memcpy(any.bytes.get(), r[0]->bytes.get(), 16);  // whatever follows the port must not count
  memset(any.bytes.get(), 0, 4);
  check(ku_match_sockaddr(nullptr, nullptr) == 1);
  for (int i = 0; i < 3; ++i) {
    check(ku_match_sockaddr(any.sa(), r[i]->sa()) == 1);
    check(ku_match_sockaddr(r[i]->sa(), r[i]->sa()) == 1);
    check(ku_match_sockaddr(nullptr, r[i]->sa()) == 1);
    check(ku_match_sockaddr(r[i]->sa(), nullptr) == 0);
    for (int j = 0; j < 3; ++j) {
      int m = ku_match_sockaddr(r[i]->sa(), r[j]->sa());
      check(m == (model_match(*r[i], *r[j]) ? 1 : 0));
      if (ku_cmp_sockaddr(r[i]->sa(), r[j]->sa()) == 0 &&
          (r[i]->scope() == 0 || r[i]->scope() == r[j]->scope()))
        check(m == 1);
    }
  }
}

void check_canonize(const Record &r) {
  Record once = r.copy();
  ku_canonize_sockaddr(once.sa());
  Record twice = once.copy();
  ku_canonize_sockaddr(twice.sa());
  check(memcmp(once.bytes.get(), twice.bytes.get(), r.size) == 0);

  bool convertible = false;
  if (r.family() == AF_INET6) {
    in6_addr a;
    memcpy(&a, r.bytes.get() + offsetof(sockaddr_in6, sin6_addr), sizeof a);
    convertible = IN6_IS_ADDR_V4MAPPED(&a) || IN6_IS_ADDR_V4COMPAT(&a);
  }
  if (!convertible) {
    check(memcmp(once.bytes.get(), r.bytes.get(), r.size) == 0);
    return;
  }
  check(once.family() == AF_INET);
  check(memcmp(once.bytes.get() + 2, r.bytes.get() + 2, 2) == 0);
  check(memcmp(once.bytes.get() + 4, r.bytes.get() + 20, 4) == 0);
  static const unsigned char zero[8] = {};
  check(memcmp(once.bytes.get() + 8, zero, 8) == 0);
  check(memcmp(once.bytes.get() + 16, r.bytes.get() + 16, 12) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Record a = make_record(in), b = make_record(in), c = make_record(in);
  const Record *r[3] = {&a, &b, &c};
  check_order(r);
  check_match(r);
  for (const Record *x : r) check_canonize(*x);
  return 0;
}
