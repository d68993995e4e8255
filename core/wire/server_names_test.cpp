#include "core/wire/server_names.h"

#include <gtest/gtest.h>

#include <string>

#include "core/wire/uri_host.h"

namespace hx::servers {
namespace {

TEST(ServerNames, HostSuffixAndDomainOfServerIds) {
  struct Case {
    std::string id;
    std::string host;
    std::string suffix;
    size_t hash_at;
    std::string domain;
  };
  const Case cases[] = {
      {"s1.d1.d2#as", "s1.d1.d2", "#as", 8, "d1.d2"},
      {"d1.d2", "d1.d2", "", std::string::npos, "d1.d2"},
      {"h1#vcs", "h1", "#vcs", 2, "h1"},
      {"a.b.c.d", "a.b.c.d", "", std::string::npos, "b.c.d"},
      {"10.0.0.1#vcs", "10.0.0.1", "#vcs", 8, "10.0.0.1"},
      {"[::1]#vcs", "[::1]", "#vcs", 5, "[::1]"},
      {"h.D1.D2#AS#x", "h.D1.D2", "#as#x", 7, "D1.D2"},
      {"#vcs", "", "#vcs", 0, ""},
      {"", "", "", std::string::npos, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names::getHostFromServerId(c.id), c.host) << c.id;
    size_t hash_at = 12345;
    EXPECT_EQ(Names::getSuffix(c.id, &hash_at), c.suffix) << c.id;
    EXPECT_EQ(hash_at, c.hash_at) << c.id;
    EXPECT_EQ(Names::getSuffix(c.id), c.suffix) << c.id;
    EXPECT_EQ(Names::getDomainFromServerId(c.id), c.domain) << c.id;
  }
}

TEST(ServerNames, DefaultServerTests) {
  EXPECT_EQ(Names::getDefaultServer("Example.NET"), "vcs2.tcp.example.net");
  EXPECT_EQ(Names::getDefaultServer(""), "vcs2.tcp.");

  EXPECT_TRUE(Names::isDefaultKRSHost("VCS2.TCP.d1.d2"));
  EXPECT_TRUE(Names::isDefaultKRSHost("vcs2.tcp."));
  EXPECT_FALSE(Names::isDefaultKRSHost("x.vcs2.tcp.d1.d2"));
  EXPECT_FALSE(Names::isDefaultKRSHost("vcs2.tcp"));
  EXPECT_FALSE(Names::isDefaultKRSHost(""));

  EXPECT_TRUE(Names::isDefaultKRSServerId("vcs2.tcp.d1.d2#VCS"));
  EXPECT_FALSE(Names::isDefaultKRSServerId("vcs2.tcp.d1.d2#as"));
  EXPECT_FALSE(Names::isDefaultKRSServerId("vcs2.tcp.d1.d2#vcsx"));
  EXPECT_FALSE(Names::isDefaultKRSServerId("vcs2.tcp.d1.d2"));
  EXPECT_FALSE(Names::isDefaultKRSServerId("s1.d1.d2#vcs"));

  EXPECT_TRUE(Names::isDefaultServiceHost("VCS2.tcp.D1.d2", "d1.D2"));
  EXPECT_FALSE(Names::isDefaultServiceHost("vcs2.tcp.d1.d2", "d1"));
  EXPECT_FALSE(Names::isDefaultServiceHost("s1.d1.d2", "d1.d2"));
  EXPECT_TRUE(Names::isDefaultServiceServerId("vcs2.tcp.d1.d2#AS", "D1.d2"));
  EXPECT_FALSE(Names::isDefaultServiceServerId("vcs2.tcp.d1.d2#vcs", "d1.d2"));
  EXPECT_FALSE(Names::isDefaultServiceServerId("vcs2.tcp.d1.d2", "d1.d2"));
  EXPECT_FALSE(Names::isDefaultServiceServerId("vcs2.tcp.d1.d3#as", "d1.d2"));
}

}  // namespace
}  // namespace hx::servers
