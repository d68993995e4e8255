// Call links: every documented example in one table, then the servers-list grammar, the
// variables and the password wiping in detail.
#include "core/transport/call_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Hosts(const HX_DomainServersList::ServerInfo& server) {
  std::vector<std::string> hosts;
  for (const auto& endpoint : server.hosts) {
    hosts.push_back(endpoint.getHost() + ":" + std::to_string(endpoint.getPort()) + "@" +
                    endpoint.getDomain());
  }
  return hosts;
}

struct LinkCase {
  const char* link;
  bool ignoreUnknown;
  bool ok;
  HXUriError::ECode code;
  size_t position;
};

TEST(CallLink, ResultsErrorCodesAndPositions) {
  const LinkCase cases[] = {
      {"kalvenor://\\c\\1234", false, true, HXUriError::eNone, 0},
      {"KALVENOR:x", false, true, HXUriError::eNone, 0},
      {"dorvello:user?login=a?password=b", false, true, HXUriError::eNone, 0},
      {"x?conftype=group", false, false, HXUriError::eBadVarValue, 11},
      {"x?foo=1", false, false, HXUriError::eUnknownVar, 2},
      {"x?foo=1", true, true, HXUriError::eUnknownVar, 2},  // accepted, error kept
      {"x?h=s1#as\\h1,h2:80,[::1]:443&d=d1", false, true, HXUriError::eNone, 0},
      {"x?h=h1,,h1", false, true, HXUriError::eNone, 0},
      {"x?h=h1:0", false, false, HXUriError::eBadPort, 7},
      {"x?h=[h1]:80", false, false, HXUriError::eNotIpLiteral, 7},
      {"x?login=a&amp;password=b", false, true, HXUriError::eNone, 0},
      {"x?login=a&lt;b", false, true, HXUriError::eNone, 0},
      {"%41b", false, true, HXUriError::eNone, 0},
      {"x?autoclose", false, false, HXUriError::eBadVarValue, 11},
      {"x?autoclose=Yes", false, true, HXUriError::eNone, 0},
      {"x?autoclose=maybe", false, false, HXUriError::eBadVarValue, 12},
      {"x?h=\\h1", false, false, HXUriError::eBadServersList, 4},        // empty server id
      {"x?h=s1\\", false, false, HXUriError::eBadServersList, 7},        // a server without hosts
      {"x?h=s1\\h1\\h2", false, false, HXUriError::eBadServersList, 9},  // no "," before "\"
      {"x?h=,", false, false, HXUriError::eBadServersList, 4},
      {"x?h=h1,[::1:80", false, false, HXUriError::eNoClosingBracket, 14},
      {"x?h=h1,[::1]x", false, false, HXUriError::eBadChar, 12},
      {"x?d=a&h=s#as\\h:99999", false, false, HXUriError::eBadPort, 15},
      {"x?h=", false, true, HXUriError::eNone, 0},
      {"", false, true, HXUriError::eNone, 0},
  };
  for (const auto& c : cases) {
    HXUriProtocol link(c.ignoreUnknown);
    EXPECT_EQ(link.parseUri(c.link), c.ok) << c.link;
    size_t position = 99;
    EXPECT_EQ(link.error(&position), c.code) << c.link;
    EXPECT_EQ(position, c.position) << c.link;
  }
}

TEST(CallLink, ConferenceIdAndSchemes) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri("kalvenor://\\c\\1234"));
  EXPECT_EQ(link.getCallId(), "1234");
  EXPECT_TRUE(link.callIdIsConferenceId());
  EXPECT_EQ(link.getConferenceType(), 5);
  EXPECT_EQ(link.getScheme(), HXUriProtocol::eSchemeKalvenor);

  ASSERT_TRUE(link.parseUri("KALVENOR:x"));
  EXPECT_EQ(link.getScheme(), 2);
  EXPECT_EQ(link.getSchemeStr(), "kalvenor");
  EXPECT_EQ(link.getCallId(), "x");
  EXPECT_FALSE(link.callIdIsConferenceId());
  EXPECT_EQ(link.getConferenceType(), 0);  // cleared by the new parse

  const std::pair<const char*, int> schemes[] = {
      {"brassunelo:a", 1}, {"Dorvello:a", 3}, {"sip:a", 4}, {"a", 0}, {"user?h=host:80", 0}};
  for (const auto& [text, scheme] : schemes) {
    ASSERT_TRUE(link.parseUri(text)) << text;
    EXPECT_EQ(link.getScheme(), scheme) << text;
  }
  ASSERT_TRUE(link.parseUri("dorvello:\\C\\room?conftype=hotquery"));
  EXPECT_EQ(link.getCallId(), "room");
  EXPECT_FALSE(link.callIdIsConferenceId());
  EXPECT_EQ(link.getConferenceType(), 5);
  ASSERT_TRUE(link.parseUri("dorvello:room?conftype=multi"));
  EXPECT_TRUE(link.callIdIsConferenceId());
}

TEST(CallLink, VariablesFillTheLogin) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri("dorvello:user?login=a?password=b"));
  EXPECT_EQ(link.getCallId(), "user");
  EXPECT_EQ(link.getLogin(), "a");
  EXPECT_EQ(link.getPassword(), "b");
  EXPECT_EQ(link.getVarList().size(), 2u);

  ASSERT_TRUE(link.parseUri("x?login=a&amp;password=b"));
  EXPECT_EQ(link.getLogin(), "a");
  EXPECT_EQ(link.getPassword(), "b");
  ASSERT_TRUE(link.parseUri("x?login=a&lt;b"));
  EXPECT_EQ(link.getLogin(), "a<b");

  ASSERT_TRUE(link.parseUri(
      "call?D=example.org&encrypt=no&FORCE=true&templogin=1&autoclose=y&login=me%40home"));
  EXPECT_EQ(link.getDomain(), "example.org");
  EXPECT_EQ(link.getServerList().getDomain(), "example.org");
  EXPECT_FALSE(link.getEncryptPassword());
  EXPECT_TRUE(link.isForce());
  EXPECT_TRUE(link.isTempLogin());
  EXPECT_TRUE(link.getAutoClose());
  EXPECT_EQ(link.getLogin(), "me@home");  // values are percent-decoded

  // A link that starts with variables has no call id.
  ASSERT_TRUE(link.parseUri("login=me&d=x"));
  EXPECT_EQ(link.getCallId(), "");
  EXPECT_EQ(link.getLogin(), "me");
  ASSERT_TRUE(link.parseUri("%41b"));
  EXPECT_EQ(link.getCallId(), "Ab");
  ASSERT_TRUE(link.parseUri("a%zz%"));
  EXPECT_EQ(link.getCallId(), "a%zz%");

  // clear() by the next parse puts every flag back.
  ASSERT_TRUE(link.parseUri("y"));
  EXPECT_TRUE(link.getEncryptPassword());
  EXPECT_FALSE(link.isForce());
  EXPECT_FALSE(link.isTempLogin());
  EXPECT_FALSE(link.getAutoClose());
  EXPECT_TRUE(link.getDomain().empty());
  EXPECT_TRUE(link.getPassword().empty());
  EXPECT_TRUE(link.getVarList().empty());
}

TEST(CallLink, UnknownVariablesWithTheIgnoreFlag) {
  HXUriProtocol link(true);
  ASSERT_TRUE(link.parseUri("x?foo=1&login=me"));
  EXPECT_EQ(link.getLogin(), "me");
  EXPECT_EQ(link.error(), HXUriError::eUnknownVar);
  link.setIgnoreUnknownVars(false);
  EXPECT_FALSE(link.parseUri("x?login=me&foo=1"));
  EXPECT_EQ(link.getLogin(), "me");  // applied before the failure
}

TEST(CallLink, ServersListWithIdsAndDomain) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri("x?h=s1#as\\h1,h2:80,[::1]:443&d=d1"));
  const auto& list = link.getServerList();
  EXPECT_EQ(list.getDomain(), "d1");  // "d" is applied before "h"
  ASSERT_EQ(list.getServers().size(), 1u);
  const auto& server = list.getServers().front();
  EXPECT_EQ(server.serverId, "s1#as");
  EXPECT_EQ(Hosts(server), (std::vector<std::string>{"h1:4307@s1", "h2:80@s1", "::1:443@s1"}));
  for (const auto& endpoint : server.hosts) {
    EXPECT_EQ(endpoint.getServerId(), "s1#as");
    EXPECT_EQ(endpoint.getPing(), hx::servers::MAXTIME);
    EXPECT_EQ(endpoint.getLastConnectTime(), 0u);
  }

  ASSERT_TRUE(link.parseUri("x?h=h1,,h1"));
  ASSERT_EQ(link.getServerList().getServers().size(), 1u);
  EXPECT_EQ(link.getServerList().getServers().front().serverId, "");
  EXPECT_EQ(Hosts(link.getServerList().getServers().front()),
            (std::vector<std::string>{"h1:4307@"}));
}

TEST(CallLink, ServersListWithSeveralServers) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri(
      "x?d=corp.example&h=a1,a2:81,vcs.one.example#vcs\\b1,b1:4307,b2,s2#as\\c1&h=d1"));
  const auto& servers = link.getServerList().getServers();
  ASSERT_EQ(servers.size(), 4u);
  auto it = servers.begin();
  EXPECT_EQ(it->serverId, "");
  EXPECT_EQ(Hosts(*it), (std::vector<std::string>{"a1:4307@corp.example", "a2:81@corp.example"}));
  ++it;
  EXPECT_EQ(it->serverId, "vcs.one.example#vcs");
  EXPECT_EQ(Hosts(*it), (std::vector<std::string>{"b1:4307@one.example", "b2:4307@one.example"}));
  ++it;
  EXPECT_EQ(it->serverId, "s2#as");
  EXPECT_EQ(Hosts(*it), (std::vector<std::string>{"c1:4307@s2"}));
  ++it;  // the second "h": its domain is the link's again
  EXPECT_EQ(it->serverId, "");
  EXPECT_EQ(Hosts(*it), (std::vector<std::string>{"d1:4307@corp.example"}));
}

TEST(CallLink, PasswordIsOverwrittenBeforeItIsFreed) {
  HXUriProtocol link;
  link.setPassword("a-long-enough-password-to-live-on-the-heap");
  const char* bytes = link.getPassword().data();
  const size_t length = link.getPassword().size();
  link.clearPassword();
  EXPECT_TRUE(link.getPassword().empty());
  // The buffer stays the string's own after clear(), so reading it is defined; clear() put the
  // terminator in front.
  EXPECT_EQ(bytes[0], '\0');
  EXPECT_EQ(std::string(bytes + 1, length - 1), std::string(length - 1, 'e'));
}

}  // namespace
