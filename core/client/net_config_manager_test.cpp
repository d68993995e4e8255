// The network-configuration service "NET_CONFIG" against the fake server: the listening addresses
// the client publishes (read back with the server's own endpoint-record reader), the application
// and endpoint properties, the user properties, and the server's properties, endpoint list and
// redirect orders as the server sends them. Interface sets are the tests' own, filled into the
// network loop's interface container.
#include "core/client/net_config_manager.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "core/base/ios_log.h"
#include "core/client/protocol_constants.h"
#include "core/client/service_test_util.h"
#include "core/net/address/addr_factory.h"
#include "core/net/address/if_addr_container_ts.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/ip_iface.h"
#include "core/net/address/net_mask.h"
#include "core/net/address/sock_addr.h"

namespace {

using namespace hx::testing;

struct Endpoint {
  std::string host;
  uint16_t port;
  std::string protocol;
  bool operator==(const Endpoint&) const = default;
};

std::vector<Endpoint> Simplified(const HX_TransportEndpointList& list) {
  std::vector<Endpoint> out;
  for (const auto& e : list) out.push_back({e->getHost(), e->GetPort(), e->GetProtocol()});
  return out;
}

std::vector<Endpoint> Simplified(const std::vector<FakeEndpoint>& list) {
  std::vector<Endpoint> out;
  for (const auto& e : list) out.push_back({e.host, e.port, e.protocol});
  return out;
}

struct EndpointListLog : SignalLog<std::tuple<std::string, std::string, std::vector<Endpoint>>> {
  void OnList(const char* services, const char* server, const HX_TransportEndpointList& list) {
    Add({services, server, Simplified(list)});
  }
};
struct RedirectLog : SignalLog<std::pair<std::string, std::vector<Endpoint>>> {
  void OnRedirect(const char* server, const HX_TransportEndpointList& list) {
    Add({server, Simplified(list)});
  }
};
struct IntLog : SignalLog<int> {
  void On(int value) { Add(value); }
};

HXSockAddr Bound(ip::Proto::type proto, const char* address, uint16_t port) {
  HXSockAddr bound;
  EXPECT_TRUE(bound.set(proto, HXAddrFactory::get(address), port)) << address;
  return bound;
}

// The entry names of a container, in order.
std::vector<std::string> Names(const HX_Container& body) {
  std::vector<std::string> names;
  body.Reset();
  while (body.Next()) names.push_back(body.GetName());
  return names;
}

std::string Text(const HX_Container& body, const char* name) {
  std::string value;
  body.GetValue(name, value);
  return value;
}

class NetConfigTest : public ServicesFixture {
 protected:
  // en0 (up): two IPv4 addresses and one IPv6 address; lo0 (up): both loopbacks; eth1 (down).
  void InstallInterfaces() {
    auto en0 = std::make_shared<HXIpIface>("en0", 2, ip::IfType::ethernet);
    en0->setUpAndRunning(true);
    auto lo0 = std::make_shared<HXIpIface>("lo0", 1, ip::IfType::other);
    lo0->setUpAndRunning(true);
    auto eth1 = std::make_shared<HXIpIface>("eth1", 3, ip::IfType::ethernet);
    HXIpIfAddrSet items;
    for (const char* a : {"192.0.2.10", "192.0.2.11"}) {
      items.insert(HXIpIfListItem(en0, HXAddrFactory::get(a), HXNetMask(4, 24)));
    }
    items.insert(HXIpIfListItem(en0, HXAddrFactory::get("2001:db8::5"), HXNetMask(6, 64)));
    items.insert(HXIpIfListItem(lo0, HXAddrFactory::get("127.0.0.1"), HXNetMask(4, 8)));
    items.insert(HXIpIfListItem(lo0, HXAddrFactory::get("::1"), HXNetMask(6, 128)));
    items.insert(HXIpIfListItem(eth1, HXAddrFactory::get("198.51.100.7"), HXNetMask(4, 24)));
    HXIfIpAddrContainerTS* list = HXZServer::getIfAddrList();
    ASSERT_NE(list, nullptr);
    list->lockList().set(items);
    list->unlockList();
  }

  // Sends "GetAppProps" and waits until the server has it: whatever the client sent before on
  // the same connection has arrived too.
  void Flush(ServiceClient& c) {
    const size_t before = m_services->Received("GetAppProps").size();
    ASSERT_TRUE(c.netConfig->GetApplicationProperties());
    ASSERT_TRUE(
        WaitFor([&] { return m_services->Received("GetAppProps").size() > before; }, kTransportWaitMs));
  }
};

TEST_F(NetConfigTest, AnyAddressListenerIsExpandedOverUsableInterfaces) {
  InstallInterfaces();
  ServiceClient& c = AddClient();
  HXZAcceptorInfo acceptors;
  acceptors.tcpAcceptors.push_back(Bound(ip::Proto::tcp, "0.0.0.0", 5000));
  acceptors.tcpAcceptors.push_back(Bound(ip::Proto::tcp, "::", 5000));
  acceptors.udpAcceptors.push_back(Bound(ip::Proto::udp, "2001:db8::9", 6000));
  c.listener->setAcceptorInfo(acceptors);
  c.Connect(m_server->port());

  ASSERT_TRUE(c.netConfig->UpdateConfiguration());
  ASSERT_TRUE(
      WaitFor([&] { return !m_services->Received("UpdateConfiguration").empty(); }, kTransportWaitMs));
  // IPv4 first, TCP before UDP; neither loopback nor the down interface appears.
  const std::vector<std::pair<std::string, Endpoint>> expected = {
      {"IPConfig", {"192.0.2.10", 5000, "Tcp"}},
      {"IPConfig", {"192.0.2.11", 5000, "Tcp"}},
      {"IPv6Config", {"2001:db8::5", 5000, "Tcp"}},
      {"IPv6Config", {"2001:db8::9", 6000, "DirectUdp"}},
  };
  const std::vector<FakeBinding> bindings = m_services->Bindings();
  ASSERT_EQ(bindings.size(), expected.size());
  for (size_t i = 0; i < bindings.size(); ++i) {
    EXPECT_EQ(bindings[i].key, expected[i].first) << i;
    const FakeEndpoint& e = bindings[i].endpoint;
    EXPECT_EQ((Endpoint{e.host, e.port, e.protocol}), expected[i].second) << i;
    EXPECT_EQ(e.socks_host, "");
    EXPECT_EQ(e.socks_port, 1080);
    EXPECT_EQ(e.socks_version, 4);
    EXPECT_EQ(e.http_host, "");
    EXPECT_EQ(e.http_port, 8080);
  }
  EXPECT_EQ(Names(m_services->Received("UpdateConfiguration").at(0)),
            (std::vector<std::string>{"Method", "IPConfig", "IPConfig", "IPv6Config", "IPv6Config"}));
  ExpectServerSatisfied();
}

TEST_F(NetConfigTest, WithoutBindingsNothingIsSent) {
  InstallInterfaces();
  ServiceClient& c = AddClient();
  c.Connect(m_server->port());
  EXPECT_TRUE(c.netConfig->UpdateConfiguration());
  // An any-address acceptor on a family without usable addresses adds nothing either.
  HXZAcceptorInfo acceptors;
  acceptors.udpAcceptors.push_back(Bound(ip::Proto::udp, "0.0.0.0", 7000));
  HXIfIpAddrContainerTS* list = HXZServer::getIfAddrList();
  list->clear();
  c.listener->setAcceptorInfo(acceptors);
  EXPECT_TRUE(c.netConfig->UpdateConfiguration());
  Flush(c);
  EXPECT_TRUE(m_services->Received("UpdateConfiguration").empty());
}

TEST_F(NetConfigTest, BindingsOfAnotherFamilyOrProtocolAreRefused) {
  std::vector<std::string> lines;
  hx::SetLogSink([&](const std::string& line) { lines.push_back(line); });
  HX_Container message;
  HXSockAddr unknownProto = Bound(ip::Proto::tcp, "192.0.2.1", 1);
  unknownProto.setProto(ip::Proto::unknown);
  EXPECT_FALSE(addBinding(message, unknownProto, "me"));
  EXPECT_FALSE(addBinding(message, HXSockAddr(ip::Proto::tcp, 80), "me"));  // no address
  EXPECT_TRUE(addBinding(message, Bound(ip::Proto::udp, "192.0.2.1", 9), "me"));
  hx::SetLogSink(nullptr);
  EXPECT_EQ(Names(message), std::vector<std::string>{"IPConfig"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Unknown proto 0");
  EXPECT_EQ(lines[1].rfind("Address family unknown ", 0), 0u) << lines[1];
}

TEST_F(NetConfigTest, ServerPropertiesBecomeTheSessionsAndSetTheProtocolVersion) {
  HX_Container props;
  props.AddValue("call_history_as_one_list", "1");
  props.AddValue("custom", "value");
  m_services->SetAppProps(props, "452");
  ServiceClient& c = AddClient();
  IntLog oneList;
  c.netConfig->callHistoryAsOneListSignal.Connect(&oneList, &IntLog::On);
  c.Connect(m_server->port());
  EXPECT_EQ(c.netConfig->getSrvProtocolVersion(), 1);

  ASSERT_TRUE(c.netConfig->GetApplicationProperties());
  // The version is stored last.
  ASSERT_TRUE(WaitFor([&] { return c.netConfig->getSrvProtocolVersion() == 452; }, kTransportWaitMs));
  EXPECT_EQ(oneList.Values(), std::vector<int>{1});
  EXPECT_EQ(c.session->getProperty("custom"), "value");
  EXPECT_EQ(c.session->getProperty("server_protocol_version"), "452");
  const HX_Container ask = m_services->Received("GetAppProps").at(0);
  EXPECT_EQ(Names(ask), (std::vector<std::string>{"Method", "ClientVersion", "Name"}));
  EXPECT_EQ(Text(ask, "ClientVersion"), "1.2.3");
  EXPECT_EQ(Text(ask, "Name"), "HxTest");

  c.netConfig->resetServerInfo();
  EXPECT_EQ(c.netConfig->getSrvProtocolVersion(), 1);
  ExpectServerSatisfied();
}

TEST_F(NetConfigTest, ProtocolVersionTexts) {
  HX_NetConfigManager manager(nullptr, nullptr);
  IntLog oneList;
  manager.callHistoryAsOneListSignal.Connect(&oneList, &IntLog::On);
  struct Case {
    const char* version;  // null: absent
    const char* oneList;  // null: absent
    int expected;
    size_t signals;
  } cases[] = {
      {"452", nullptr, 452, 0},
      {nullptr, "0", 452, 0},
      {"abc", "1", 0, 1},
      {"12abc", "10", 12, 2},
      {" 7", nullptr, 7, 2},
      {"-3", nullptr, -3, 2},
      {"99999999999999999999", nullptr, INT_MAX, 2},
      {"-99999999999", nullptr, INT_MIN, 2},
      {"", "", 0, 2},
  };
  for (const Case& c : cases) {
    HX_Container message;
    message.AddValue("Method", "SetProps");
    if (c.version != nullptr) message.AddValue("server_protocol_version", c.version);
    if (c.oneList != nullptr) message.AddValue("call_history_as_one_list", c.oneList);
    EXPECT_TRUE(manager.ParseIncomimgMessage(message));
    EXPECT_EQ(manager.getSrvProtocolVersion(), c.expected) << (c.version ? c.version : "(absent)");
    EXPECT_EQ(oneList.Size(), c.signals) << (c.oneList ? c.oneList : "(absent)");
  }
}

TEST_F(NetConfigTest, ServerEndpointListAndRedirectArriveAsSent) {
  FakeAccount account;
  account.login = "alice@fake.example";
  account.password = "pw";
  m_services->AddAccount(account);
  ServiceClient& c = AddClient();
  EndpointListLog lists;
  RedirectLog redirects;
  c.netConfig->endpointListSignal.Connect(&lists, &EndpointListLog::OnList);
  c.netConfig->redirectSignal.Connect(&redirects, &RedirectLog::OnRedirect);
  c.Connect(m_server->port());

  // A login makes the server send its own endpoints.
  ASSERT_TRUE(c.login->mLogin("alice@fake.example", "pw", false, true));
  ASSERT_TRUE(lists.WaitSize(1));
  const auto [services, server, endpoints] = lists.Values().at(0);
  EXPECT_EQ(services, FakeServices::kServices);
  EXPECT_EQ(server, "fake#vcs");
  EXPECT_EQ(endpoints, Simplified(m_services->OwnEndpoints()));

  std::vector<FakeEndpoint> other(2);
  other[0].host = "198.51.100.20";
  other[0].port = 4307;
  other[1].host = "other.fake.example";
  other[1].port = 443;
  ASSERT_TRUE(m_services->SendRedirect(1, "other#vcs", other));
  ASSERT_TRUE(redirects.WaitSize(1));
  EXPECT_EQ(redirects.Values().at(0).first, "other#vcs");
  EXPECT_EQ(redirects.Values().at(0).second, Simplified(other));
  ExpectServerSatisfied();
}

TEST_F(NetConfigTest, IncompleteListsAndRedirects) {
  HX_NetConfigManager manager(nullptr, nullptr);
  EndpointListLog lists;
  RedirectLog redirects;
  manager.endpointListSignal.Connect(&lists, &EndpointListLog::OnList);
  manager.redirectSignal.Connect(&redirects, &RedirectLog::OnRedirect);
  FakeEndpoint one;
  one.host = "192.0.2.1";
  const std::vector<uint8_t> good = EncodeEndpointList({one});
  std::vector<uint8_t> damaged = good;
  damaged.back() ^= 0x01;
  const std::vector<uint8_t> none = EncodeEndpointList({});

  struct Case {
    const char* name;  // null: absent
    const std::vector<uint8_t>* blob;
    size_t listed;      // endpoints the list signal carries; 0: no signal
    size_t redirected;  // endpoints the redirect signal carries
  } cases[] = {
      {"srv#vcs", &good, 1, 1},   {nullptr, &good, 0, 0},      {"", &good, 0, 1},
      {"srv#vcs", nullptr, 0, 0}, {"srv#vcs", &damaged, 0, 0}, {"srv#vcs", &none, 0, 0},
  };
  for (const Case& c : cases) {
    for (const char* method : {"UpdateConfiguration", "RedirectTo"}) {
      lists.Clear();
      redirects.Clear();
      HX_Container message;
      message.AddValue("Method", method);
      if (c.name != nullptr) message.AddValue("Name", c.name);
      message.AddValue("Services", "AUTH");
      if (c.blob != nullptr) message.AddValue("EpConfig", HX_CNT_BINARY_VT, c.blob->data(), c.blob->size());
      EXPECT_TRUE(manager.ParseIncomimgMessage(message));
      const std::string label = std::string(method) + " " + (c.name ? c.name : "(no name)");
      if (std::string(method) == "UpdateConfiguration") {
        EXPECT_EQ(redirects.Size(), 0u);
        if (c.listed == 0) {
          EXPECT_EQ(lists.Size(), 0u) << label;
        } else {
          ASSERT_EQ(lists.Size(), 1u) << label;
          EXPECT_EQ(std::get<2>(lists.Values()[0]).size(), c.listed);
        }
      } else {
        // A redirect is passed on in every case, with an empty name when none came; a name
        // that is present, even an empty one, lets the endpoints be read.
        EXPECT_EQ(lists.Size(), 0u);
        ASSERT_EQ(redirects.Size(), 1u) << label;
        EXPECT_EQ(redirects.Values()[0].first, c.name ? c.name : "");
        EXPECT_EQ(redirects.Values()[0].second.size(), c.redirected) << label;
      }
    }
  }
}

TEST_F(NetConfigTest, EndpointPropertiesAreSentInNameOrderAndResetAfter) {
  ServiceClient& c = AddClient();
  c.Connect(m_server->port());
  HX_NetConfigManager& m = *c.netConfig;
  EXPECT_FALSE(m.SetEndpointProperties("", "v", false));
  EXPECT_FALSE(m.SetEndpointProperties(nullptr, "v", false));
  EXPECT_FALSE(m.SetEndpointProperties("perf", nullptr, false));
  EXPECT_TRUE(m.SendEndpointProperties(true));  // empty: nothing to send
  EXPECT_TRUE(m.SetEndpointProperties("perf", "old", false));
  EXPECT_FALSE(m.SetEndpointProperties("", "v", true));  // refused before the reset
  EXPECT_EQ(m.GetEndpointProperties("perf"), "old");
  EXPECT_TRUE(m.SetEndpointProperties("zeta", "z", true));  // the reset drops "perf"
  EXPECT_EQ(m.GetEndpointProperties("perf"), "");
  EXPECT_TRUE(m.SetEndpointProperties("alpha", "a", false));
  EXPECT_TRUE(m.SetEndpointProperties("zeta", "z2", false));
  EXPECT_EQ(m.GetEndpointProperties("zeta"), "z2");

  EXPECT_TRUE(m.SendEndpointProperties(false));
  EXPECT_EQ(m.GetEndpointProperties("alpha"), "a");
  EXPECT_TRUE(m.SendEndpointProperties(true));
  EXPECT_EQ(m.GetEndpointProperties("alpha"), "");
  EXPECT_TRUE(m.SendEndpointProperties(true));  // nothing left: not sent
  Flush(c);
  const std::vector<HX_Container> sent = m_services->Received("SetProps");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Names(sent[0]),
            (std::vector<std::string>{"Method", "Hash", "Name", "Property", "Name", "Property"}));
  EXPECT_EQ(Text(sent[0], "Hash"), c.fsm->GetAppId());
  std::vector<std::string> values;
  sent[0].Reset();
  while (sent[0].Next()) values.push_back(sent[0].GetStrValue());
  EXPECT_EQ(values, (std::vector<std::string>{"SetProps", c.fsm->GetAppId(), "alpha", "a", "zeta", "z2"}));
  EXPECT_TRUE(m.ResetEndpointProperties());
  ExpectServerSatisfied();
}

TEST_F(NetConfigTest, UserPropertyCarriesTheCallIdBeforeTheMethod) {
  ServiceClient& c = AddClient();
  c.Connect(m_server->port());
  c.session->SetLogin("alice@fake.example");
  ASSERT_TRUE(c.netConfig->SendSetUserProperty("last_seen", 1700000000123LL, true));
  ASSERT_TRUE(c.netConfig->SendSetUserProperty("count", -5, false));
  Flush(c);
  const std::vector<HX_Container> sent = m_services->Received("SetUserProperty");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Names(sent[0]), (std::vector<std::string>{"CallId", "Method", "UserPropertyName",
                                                      "UserPropertyValue", "as_date_string"}));
  EXPECT_EQ(Names(sent[1]),
            (std::vector<std::string>{"CallId", "Method", "UserPropertyName", "UserPropertyValue"}));
  EXPECT_EQ(Text(sent[0], "CallId"), "alice@fake.example");
  EXPECT_EQ(Text(sent[0], "as_date_string"), "1");
  int64_t value = 0;
  size_t size = sizeof(value);
  ASSERT_TRUE(sent[0].GetValue("UserPropertyValue", HX_CNT_INT64_VT, &value, size));
  EXPECT_EQ(value, 1700000000123LL);
  size = sizeof(value);
  ASSERT_TRUE(sent[1].GetValue("UserPropertyValue", HX_CNT_INT64_VT, &value, size));
  EXPECT_EQ(value, -5);
  ExpectServerSatisfied();
}

}  // namespace
