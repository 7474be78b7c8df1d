// SPDX-License-Identifier: MIT
// The lookup wrapper against a scripted resolver: this executable defines getaddrinfo and
// freeaddrinfo itself, and since it links the static library, the wrapper calls these.  That
// gives exact call counts and result lists no real resolver returns.
#include <gtest/gtest.h>
#include <ku/ku.h>

#include <netinet/in.h>

#include <deque>
#include <string>
#include <vector>

namespace {

struct Call {
  const char *host;
  const char *service;
  const addrinfo *hints;
};

struct Resolver {
  std::deque<int> codes;       // what the next calls return; 0 hands out `list`
  std::vector<addrinfo> list;  // linked up when handed out
  std::vector<Call> calls;
  const addrinfo *freed = nullptr;
} resolver;

}  // namespace

extern "C" int getaddrinfo(const char *host, const char *service, const addrinfo *hints,
                           addrinfo **result) {
  resolver.calls.push_back({host, service, hints});
  const int code = resolver.codes.empty() ? EAI_FAIL : resolver.codes.front();
  if (!resolver.codes.empty()) resolver.codes.pop_front();
  if (code != 0) return code;
  std::vector<addrinfo> &list = resolver.list;
  for (size_t i = 0; i < list.size(); ++i)
    list[i].ai_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
  *result = list.empty() ? nullptr : list.data();
  return 0;
}

extern "C" void freeaddrinfo(addrinfo *list) noexcept { resolver.freed = list; }

namespace {

addrinfo entry(int family, int socktype, int protocol) {
  addrinfo ai{};
  ai.ai_family = family;
  ai.ai_socktype = socktype;
  ai.ai_protocol = protocol;
  return ai;
}

class ScriptedResolver : public ::testing::Test {
 protected:
  void SetUp() override { resolver = Resolver{}; }

  int lookup(const char *service, const addrinfo *hints = nullptr) {
    return ku_getaddrinfo("host", service, hints, &result_);
  }

  std::vector<int> protocols() const {
    std::vector<int> seen;
    for (const addrinfo *ai = result_; ai != nullptr; ai = ai->ai_next)
      seen.push_back(ai->ai_protocol);
    return seen;
  }

  addrinfo *result_ = nullptr;
};

TEST_F(ScriptedResolver, missing_service_is_asked_as_0_once_when_accepted) {
  resolver.codes = {0, 0};
  EXPECT_EQ(lookup(nullptr), 0);
  EXPECT_EQ(lookup(""), 0);
  ASSERT_EQ(resolver.calls.size(), 2u);
  EXPECT_STREQ(resolver.calls[0].service, "0");
  EXPECT_STREQ(resolver.calls[1].service, "0");
  EXPECT_STREQ(resolver.calls[0].host, "host");
}

TEST_F(ScriptedResolver, refused_0_is_retried_once_with_callers_own_service) {
  const char *const empty = "";
  for (const char *service : {static_cast<const char *>(nullptr), empty}) {
    resolver = Resolver{};
    resolver.codes = {EAI_SERVICE, EAI_SERVICE, 0};
    const addrinfo hints = entry(AF_INET, SOCK_RAW, 0);
    EXPECT_EQ(lookup(service, &hints), EAI_SERVICE);
    ASSERT_EQ(resolver.calls.size(), 2u);
    EXPECT_EQ(resolver.calls[1].service, service);
    EXPECT_EQ(resolver.calls[1].hints, &hints);
  }
  resolver = Resolver{};
  resolver.codes = {EAI_SERVICE, 0};
  EXPECT_EQ(lookup(nullptr), 0);
  EXPECT_EQ(resolver.calls.size(), 2u);
}

TEST_F(ScriptedResolver, other_failures_and_named_services_are_not_retried) {
  resolver.codes = {EAI_NONAME, EAI_SERVICE, 0};
  addrinfo marker{};
  result_ = &marker;
  EXPECT_EQ(lookup(nullptr), EAI_NONAME);
  EXPECT_EQ(lookup("http"), EAI_SERVICE);
  EXPECT_EQ(resolver.calls.size(), 2u);
  EXPECT_EQ(result_, &marker);
}

TEST_F(ScriptedResolver, null_hints_fill_tcp_and_udp_for_inet_families_only) {
  resolver.codes = {0};
  resolver.list = {entry(AF_INET, SOCK_STREAM, 0), entry(AF_INET6, SOCK_DGRAM, 0),
                   entry(AF_INET, SOCK_RAW, 0), entry(AF_UNIX, SOCK_STREAM, 0),
                   entry(AF_INET6, SOCK_STREAM, 132)};
  ASSERT_EQ(lookup("80"), 0);
  EXPECT_EQ(protocols(), (std::vector<int>{6, 17, 0, 0, 132}));
}

TEST_F(ScriptedResolver, hints_protocol_fills_every_entry_without_one) {
  resolver.codes = {0, 0};
  resolver.list = {entry(AF_INET, SOCK_STREAM, 0), entry(AF_UNIX, SOCK_DGRAM, 0),
                   entry(AF_INET6, SOCK_RAW, 0), entry(AF_INET, SOCK_STREAM, 6)};
  addrinfo hints = entry(AF_UNSPEC, 0, 132);
  ASSERT_EQ(lookup("80", &hints), 0);
  EXPECT_EQ(protocols(), (std::vector<int>{132, 132, 132, 6}));

  for (addrinfo &ai : resolver.list) ai.ai_protocol = ai.ai_protocol == 132 ? 0 : ai.ai_protocol;
  hints.ai_protocol = 0;
  ASSERT_EQ(lookup("80", &hints), 0);
  EXPECT_EQ(protocols(), (std::vector<int>{6, 0, 0, 6}));
}

TEST_F(ScriptedResolver, free_hands_the_list_to_the_resolver) {
  resolver.codes = {0};
  resolver.list = {entry(AF_INET, SOCK_STREAM, 6)};
  ASSERT_EQ(lookup("80"), 0);
  ku_freeaddrinfo(result_);
  EXPECT_EQ(resolver.freed, resolver.list.data());
}

}  // namespace
