// The per-domain servers list: built from the transport endpoints of a login answer, and the rule
// for the domain of a server.
#include "core/transport/domain_servers_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

std::shared_ptr<HX_Endpoint> Endpoint(const char* host, uint16_t port) {
  auto endpoint = std::make_shared<HX_Endpoint>("srv", hx::tcpConnect);
  endpoint->SetHost(host);
  endpoint->SetPort(port);
  return endpoint;
}

TEST(DomainServersList, DeduceDomain) {
  struct Case {
    const char* domain;
    const char* serverId;
    const char* hint;
    const char* expected;
  };
  const Case cases[] = {
      {"given.example", "s.d1.d2#vcs", "hint", "given.example"},
      {"", "s#as", "hint", "hint"},
      {"", "vcs2.tcp.corp.example#as", nullptr, ""},
      {"", "s.d1.d2#vcs", "hint", "s.d1.d2"},
      {"", "plainhost", "hint", "plainhost"},
      {"", "x#asx", "hint", "hint"},  // "#as" anywhere in the id
      {"", "", "hint", "hint"},
      {"", "", nullptr, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HX_DomainServersList::deduceDomain(c.domain, c.serverId, c.hint), c.expected)
        << c.domain << " / " << c.serverId;
  }
}

TEST(DomainServersList, SetBuildsOneServerFromTheEndpoints) {
  HX_DomainServersList list;
  list.add("old#as");
  HX_TransportEndpointList endpoints{Endpoint("h1.example", 4307), nullptr,
                                     Endpoint("10.0.0.2", 443)};
  list.set("", "srv.corp.example", endpoints, "hint");
  EXPECT_EQ(list.getDomain(), "srv.corp.example");
  ASSERT_EQ(list.getServers().size(), 1u);
  const auto& server = list.getServers().front();
  EXPECT_EQ(server.serverId, "srv.corp.example#vcs");
  ASSERT_EQ(server.hosts.size(), 2u);
  const HXServerEndpoint& first = server.hosts.front();
  EXPECT_EQ(first.getHost(), "h1.example");
  EXPECT_EQ(first.getPort(), 4307);
  EXPECT_EQ(first.getDomain(), "srv.corp.example");
  EXPECT_EQ(first.getServerId(), "srv.corp.example#vcs");
  EXPECT_EQ(first.getPing(), hx::servers::MAXTIME);
  EXPECT_EQ(first.getLastConnectTime(), 0u);
  EXPECT_EQ(server.hosts.back().getPort(), 443);

  list.set("", "edge#as", {}, "corp.example");
  EXPECT_EQ(list.getDomain(), "corp.example");
  EXPECT_EQ(list.getServers().front().serverId, "edge#as");  // has a "#" already
  EXPECT_TRUE(list.getServers().front().hosts.empty());
  EXPECT_FALSE(list.empty());
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.getDomain(), "");
}

}  // namespace
