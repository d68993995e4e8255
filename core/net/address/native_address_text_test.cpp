#include "core/net/address/native_address_text.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AddressText, HostAndPortOfEveryForm) {
  struct Case {
    const char* text;
    const char* host;
    uint16_t port;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", "127.0.0.1", 4307},
      {"127.0.0.1:80", "127.0.0.1", 80},
      {"tcp://10.0.0.1:443", "10.0.0.1", 443},
      {"udp://server.example", "server.example", 4307},
      {"[::1]:5060", "::1", 5060},
      {"[fe80::1%4]", "fe80::1%4", 4307},
      {"[::1]5060", "::1", 4307},
      {"[::1", "::1", 4307},
      {"::1", "::1", 4307},
      {"2001:db8::1:2", "2001:db8::1:2", 4307},
      {"host:0", "host", 0},
      {"host:", "host", 4307},
      {"host:65536", "host", 4307},
      {"host:12a", "host", 4307},
      {"*:5000", "*", 5000},
      {"", "", 4307},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint16_t port = 0;
    EXPECT_EQ(parseZAddrUri(c.text, &port), c.host);
    EXPECT_EQ(port, c.port);
  }
}

TEST(AddressText, AGivenPortIsKept) {
  uint16_t port = 8080;
  EXPECT_EQ(parseZAddrUri("host:90", &port), "host");
  EXPECT_EQ(port, 8080);
  EXPECT_EQ(parseZAddrUri("host:90", nullptr), "host");
}

TEST(AddressText, FamilyOfNumericHostsOnly) {
  EXPECT_EQ(GetAddressFamily("127.0.0.1"), AF_INET);
  EXPECT_EQ(GetAddressFamily("::1"), AF_INET6);
  EXPECT_EQ(GetAddressFamily("localhost"), 0) << "names are never looked up here";
  EXPECT_EQ(GetAddressFamily("300.1.1.1"), 0);
  EXPECT_EQ(GetAddressFamily(""), 0);
}

}  // namespace
