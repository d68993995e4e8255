// Transport targets: building them by hand and from call links (with the in-memory databases of
// a temporary login), `empty`, `diff` and the log line of `str`.
#include "core/transport/transport_target.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/storage/server_list_db.h"
#include "core/storage/settings_db.h"
#include "core/transport/call_link.h"

namespace {

using hx::transport::TargetBuilder;
using hx::transport::UriLoginParams;

UriLoginParams Login(const std::string& login, bool force = false, bool encrypt = true,
                     bool temp = false) {
  UriLoginParams params;
  params.setLogin(login);
  params.setForce(force);
  params.setEncryptPassword(encrypt);
  params.setTempLogin(temp);
  return params;
}

HXServerEndpoint Host(const std::string& host, uint16_t port, const std::string& serverId) {
  return HXServerEndpoint(host, 0, "d", serverId, port, hx::servers::MAXTIME);
}

TEST(TransportTarget, EmptyTargetsByScope) {
  EXPECT_TRUE(TargetBuilder().setCloud("").build().empty());
  EXPECT_EQ(TargetBuilder().setCloud("").build().str(), "<empty>");
  EXPECT_FALSE(TargetBuilder().setCloud("example.org").build().empty());
  EXPECT_TRUE(TargetBuilder().setServer("host", 0).build().empty());
  EXPECT_TRUE(TargetBuilder().setServer("", 4307).build().empty());
  EXPECT_FALSE(TargetBuilder().setServer("host", 4307).build().empty());
  EXPECT_FALSE(TargetBuilder().setServersList(HXServerEpList()).build().empty());
  HX_TransportTarget none;
  EXPECT_TRUE(none.empty());  // scope 0 without a domain
}

TEST(TransportTarget, BuildMovesEverythingOut) {
  TargetBuilder builder;
  std::shared_ptr<hx::transport::SessionDB> session = std::make_shared<HX_SettingsDBTemp>();
  std::shared_ptr<HX_ServersListDB> servers = std::make_shared<HX_ServersListDBTemp>();
  builder.setServer("h", 80)
      .setLoginParams(Login("me"))
      .setDatabases(std::move(session), std::move(servers));
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(servers, nullptr);
  HX_TransportTarget target = builder.build();
  EXPECT_EQ(target.getScope(), HX_TransportTarget::eScopeServer);
  EXPECT_NE(target.getTrSessionDb(), nullptr);
  EXPECT_NE(target.getServersListDb(), nullptr);
  EXPECT_TRUE(target.hasLoginPassword());
  EXPECT_TRUE(target.isPasswordEncrypted());

  HX_TransportTarget left = builder.build();  // the builder is empty again
  EXPECT_TRUE(left.empty());
  EXPECT_FALSE(left.hasLoginPassword());
  EXPECT_FALSE(left.isPasswordEncrypted());
  EXPECT_EQ(left.getTrSessionDb(), nullptr);
}

TEST(TransportTarget, EmptyLoginParametersDropThePreviousOnes) {
  TargetBuilder builder;
  builder.setCloud("d").setLoginParams(Login("me")).setLoginParams(UriLoginParams());
  EXPECT_FALSE(builder.build().hasLoginPassword());
  // Sending the password in clear is a login of its own, even without a name.
  UriLoginParams clear_text;
  clear_text.setEncryptPassword(false);
  EXPECT_TRUE(TargetBuilder().setCloud("d").setLoginParams(clear_text).build().hasLoginPassword());
}

TEST(TransportTarget, DiffInEachScope) {
  const HX_TransportTarget cloud = TargetBuilder().setCloud("Example.ORG").build();
  EXPECT_EQ(cloud.diff("example.org", "", "", 0, "me"), 0);
  EXPECT_EQ(cloud.diff("other.org", "", "", 0, "me"), 2);
  EXPECT_EQ(cloud.diff("", "", "", 0, "me"), 2);

  TargetBuilder server_builder;
  server_builder.setServer("Srv.example", 4307);
  const HX_TransportTarget server = server_builder.build();
  EXPECT_EQ(server.diff("x", "any#vcs", "srv.EXAMPLE", 4307, "me"), 0);  // no SID to compare
  EXPECT_EQ(server.diff("x", "", "srv.example", 4308, "me"), 2);
  EXPECT_EQ(server.diff("x", "", "srv2.example", 4307, "me"), 2);

  HXServerEpList hosts;
  hosts.addHost(Host("h1", 4307, "s1#as"));
  hosts.addHost(Host("h2", 80, ""));
  const HX_TransportTarget list = TargetBuilder().setServersList(hosts).build();
  EXPECT_EQ(list.diff("d", "S1#AS", "H1", 4307, "me"), 0);
  EXPECT_EQ(list.diff("d", "s2#as", "h1", 4307, "me"), 2);  // another non-empty server id
  EXPECT_EQ(list.diff("d", "", "h1", 4307, "me"), 2);
  EXPECT_EQ(list.diff("d", "s2#as", "h2", 80, "me"), 0);  // an empty id matches any
  EXPECT_EQ(list.diff("d", "s1#as", "h1", 80, "me"), 2);
  EXPECT_EQ(list.diff("d", "s1#as", "h3", 4307, "me"), 2);
}

TEST(TransportTarget, DiffOfTheLogin) {
  const HX_TransportTarget forced =
      TargetBuilder().setCloud("d").setLoginParams(Login("Me", true)).build();
  EXPECT_EQ(forced.diff("d", "", "", 0, "me"), 0);
  EXPECT_EQ(forced.diff("d", "", "", 0, "you"), 1);
  EXPECT_EQ(forced.diff("d", "", "", 0, ""), 1);
  EXPECT_EQ(forced.diff("e", "", "", 0, "you"), 2);  // a new connection comes first

  const HX_TransportTarget unforced =
      TargetBuilder().setCloud("d").setLoginParams(Login("me")).build();
  EXPECT_EQ(unforced.diff("d", "", "", 0, "you"), 0);
  const HX_TransportTarget anonymous = TargetBuilder().setCloud("d").build();
  EXPECT_EQ(anonymous.diff("d", "", "", 0, "you"), 0);
}

TEST(TransportTarget, StrForEachScope) {
  HXServerEpList hosts;
  hosts.addHost(Host("h1", 4307, "s1#as"));
  hosts.addHost(Host("::1", 443, ""));
  EXPECT_EQ(TargetBuilder().setServersList(hosts).build().str(),
            "[servers list] (2) : h1:4307 ::1:443");
  EXPECT_EQ(TargetBuilder().setServer("10.0.0.1", 80).build().str(), "[server] 10.0.0.1:80");
  EXPECT_EQ(TargetBuilder().setCloud("example.org").build().str(), "[cloud] example.org");
  EXPECT_EQ(TargetBuilder().setCloud("d").setLoginParams(Login("me")).build().str(),
            "[cloud] d login: me(encrypted)");
  EXPECT_EQ(
      TargetBuilder().setCloud("d").setLoginParams(Login("me", true, false, true)).build().str(),
      "[cloud] d login: me(temp, not encrypted, forced)");
  std::shared_ptr<hx::transport::SessionDB> session = std::make_shared<HX_SettingsDBTemp>();
  std::shared_ptr<HX_ServersListDB> servers = std::make_shared<HX_ServersListDBTemp>();
  EXPECT_EQ(TargetBuilder()
                .setServer("h", 1)
                .setDatabases(std::move(session), std::move(servers))
                .setLoginParams(Login("me", false, true, false))
                .build()
                .str(),
            "[server] h:1 sessionDB serversListDB login: me(encrypted)");
}

TEST(TransportTarget, DomainServersListBecomesOneList) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri("x?h=a1,s1#as\\b1,b2:80,s2#vcs\\c1"));
  const HX_TransportTarget target = TargetBuilder().setServersList(link.getServerList()).build();
  ASSERT_NE(target.getServersList(), nullptr);
  std::string hosts;
  for (const auto& endpoint : *target.getServersList()) {
    hosts += endpoint.getHost() + ":" + std::to_string(endpoint.getPort()) + "/" +
             endpoint.getServerId() + " ";
  }
  EXPECT_EQ(hosts, "a1:4307/ b1:4307/s1#as b2:80/s1#as c1:4307/s2#vcs ");
}

TEST(TransportTarget, FromALinkWithServersAndATemporaryLogin) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri(
      "kalvenor:room?d=corp.example&h=s1#as\\h1,h2:80&login=Me&password=pw&templogin=yes&force=1"));
  const HX_TransportTarget target = TargetBuilder().setUri(link, true).build();
  EXPECT_EQ(target.getScope(), HX_TransportTarget::eScopeServersList);
  EXPECT_EQ(target.getConnectionParam().getServerDomain(), "corp.example");
  ASSERT_NE(target.getLoginParams(), nullptr);
  EXPECT_EQ(target.getLoginParams()->getKey(), "pw");
  EXPECT_EQ(target.getLoginParams()->getLogin(), "Me");
  EXPECT_TRUE(target.getLoginParams()->isTempLogin());
  EXPECT_EQ(target.str(),
            "[servers list] (2) : h1:4307 h2:80 sessionDB serversListDB login: Me(temp, encrypted, "
            "forced)");

  // Both databases are open and in memory: each keeps what is written to it.
  auto session = target.getTrSessionDb();
  auto servers = target.getServersListDb();
  ASSERT_NE(session, nullptr);
  ASSERT_NE(servers, nullptr);
  EXPECT_TRUE(std::dynamic_pointer_cast<HX_SettingsDBTemp>(session) != nullptr);
  EXPECT_TRUE(std::dynamic_pointer_cast<HX_ServersListDBTemp>(servers) != nullptr);
  EXPECT_TRUE(servers->IsOpen());
  session->SetDomainLogin("corp.example", "me");
  std::string login, key;
  EXPECT_TRUE(session->GetLoginParams("corp.example", login, key));
  EXPECT_EQ(login, "me");
  EXPECT_EQ(session->getLastConnectedDomain("none"), "none");

  // Without the second argument the databases stay unset.
  const HX_TransportTarget plain = TargetBuilder().setUri(link, false).build();
  EXPECT_EQ(plain.getTrSessionDb(), nullptr);
  EXPECT_EQ(plain.getServersListDb(), nullptr);
}

TEST(TransportTarget, FromALinkWithoutLogin) {
  HXUriProtocol link;
  ASSERT_TRUE(link.parseUri("kalvenor:room?d=corp.example&password=secret&templogin=1"));
  // Login, key and the encrypt flag at their defaults: no login parameters, so the password is
  // not kept, and no temporary databases either.
  const HX_TransportTarget target = TargetBuilder().setUri(link, true).build();
  EXPECT_EQ(target.getScope(), HX_TransportTarget::eScopeCloud);
  EXPECT_FALSE(target.hasLoginPassword());
  EXPECT_EQ(target.getTrSessionDb(), nullptr);
  EXPECT_EQ(target.str(), "[cloud] corp.example");
  EXPECT_EQ(target.diff("CORP.example", "", "", 0, "anyone"), 0);
}

}  // namespace
