// SPDX-License-Identifier: MIT
// Lookup wrappers against the real resolver, with numeric hosts only so that no test needs a
// network or a name service.  Call counts and crafted result lists are in
// ku_addrinfo_stub_test.cpp.
#include <gtest/gtest.h>
#include <ku/ku.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

addrinfo numeric_hints(int socktype, int family = AF_UNSPEC) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socktype;
  hints.ai_flags = AI_NUMERICHOST;
  return hints;
}

unsigned port_of(const addrinfo *ai) {
  if (ai->ai_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_port);
}

TEST(GetAddrInfo, null_or_empty_service_is_looked_up_as_port_0) {
  const addrinfo hints = numeric_hints(0);
  for (const char *service : {static_cast<const char *>(nullptr), ""}) {
    addrinfo *list = nullptr;
    ASSERT_EQ(ku_getaddrinfo("127.0.0.1", service, &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) EXPECT_EQ(port_of(ai), 0u);
    ku_freeaddrinfo(list);
  }
}

TEST(GetAddrInfo, raw_socket_lookup_without_service_succeeds_through_the_retry) {
  // The resolver refuses "0" for raw sockets, so only the retry with the caller's own service
  // can succeed here.
  const addrinfo hints = numeric_hints(SOCK_RAW, AF_INET);
  addrinfo *plain = nullptr;
  ASSERT_EQ(getaddrinfo("127.0.0.1", "0", &hints, &plain), EAI_SERVICE);
  for (const char *service : {static_cast<const char *>(nullptr), ""}) {
    addrinfo *list = nullptr;
    ASSERT_EQ(ku_getaddrinfo("127.0.0.1", service, &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_socktype, SOCK_RAW);
    EXPECT_EQ(list->ai_protocol, 0);
    ku_freeaddrinfo(list);
  }
}

TEST(GetAddrInfo, failures_are_returned_as_they_come_and_leave_result_untouched) {
  const addrinfo hints = numeric_hints(SOCK_RAW, AF_INET);
  addrinfo marker{};
  addrinfo *list = &marker;
  EXPECT_EQ(ku_getaddrinfo("127.0.0.1", "80", &hints, &list), EAI_SERVICE);
  EXPECT_EQ(list, &marker);
  const addrinfo stream = numeric_hints(SOCK_STREAM, AF_INET);
  EXPECT_EQ(ku_getaddrinfo("not-a-number", nullptr, &stream, &list), EAI_NONAME);
  EXPECT_EQ(list, &marker);
}

TEST(GetAddrInfo, entries_carry_tcp_and_udp_with_null_hints) {
  addrinfo *list = nullptr;
  ASSERT_EQ(ku_getaddrinfo("::1", "80", nullptr, &list), 0);
  int stream = 0, dgram = 0;
  for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    EXPECT_EQ(port_of(ai), 80u);
    stream += ai->ai_socktype == SOCK_STREAM && ai->ai_protocol == IPPROTO_TCP;
    dgram += ai->ai_socktype == SOCK_DGRAM && ai->ai_protocol == IPPROTO_UDP;
  }
  EXPECT_EQ(stream, 1);
  EXPECT_EQ(dgram, 1);
  ku_freeaddrinfo(list);
}

TEST(GetAddrInfo, message_and_reverse_lookup_are_the_resolvers) {
  EXPECT_STREQ(ku_gai_strerror(EAI_SERVICE), gai_strerror(EAI_SERVICE));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(8080);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char host[64], serv[16];
  ASSERT_EQ(ku_getnameinfo(reinterpret_cast<sockaddr *>(&sin), sizeof sin, host, sizeof host, serv,
                           sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV),
            0);
  EXPECT_STREQ(host, "127.0.0.1");
  EXPECT_STREQ(serv, "8080");
  EXPECT_EQ(ku_getnameinfo(reinterpret_cast<sockaddr *>(&sin), sizeof sin, host, 2, nullptr, 0,
                           NI_NUMERICHOST),
            EAI_OVERFLOW);
}

}  // namespace
