#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/net/address/addr_factory.h"
#include "core/net/loop/endpoint_addr_str.h"
#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/endpoint_multi.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

// Address texts are resolved through the loop's lookup, which needs a running loop.
using EndpointTest = LoopFixture;

struct Waiter : HXZAEndpointHolder::Handler {
  void onEPAddrResolved(const HXZAEndpointHolder* holder) override {
    calls.push_back(holder->state());
  }
  std::vector<int32_t> calls;
};

TEST_F(EndpointTest, AddressTextsTable) {
  struct Case {
    bool local;
    const char* text;
    uint16_t port;
    int32_t state;
    const char* address;
    uint16_t expected_port;
  } cases[] = {
      {false, "127.0.0.1", 0, 2, "127.0.0.1", 4307},
      {false, "127.0.0.1:80", 0, 2, "127.0.0.1", 80},
      {false, "127.0.0.1:80", 90, 2, "127.0.0.1", 90},
      {false, "[::1]:81", 0, 2, "::1", 81},
      {false, "::1", 0, 2, "::1", 4307},
      {false, "tcp://10.1.2.3:5", 0, 2, "10.1.2.3", 5},
      {true, "*:5000", 0, 2, "0.0.0.0", 5000},
      {true, "*", 0, 2, "0.0.0.0", 4307},
      {true, "[::1]:82", 0, 2, "::1", 82},
      {true, "10.9.8.7:0", 0, 2, "10.9.8.7", 0},
      {false, "name.invalid:83", 0, 1, "", 83},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HXZEndpointSockAddr endpoint(c.local, c.text, c.port, ip::Proto::udp);
    EXPECT_EQ(endpoint.state(), c.state);
    const HXSockAddr address = endpoint.getSockAddr();
    EXPECT_EQ(address.str(), c.address);
    EXPECT_EQ(address.port(), c.expected_port);
    EXPECT_EQ(address.proto(), ip::Proto::udp);
    EXPECT_EQ(endpoint.getAddrStr(), c.address);
  }
}

TEST_F(EndpointTest, AddressFromIpAndWildcards) {
  HXZEndpointSockAddr endpoint(HXAddrFactory::v4(10, 0, 0, 1), ip::Proto::udp);
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateResolved);
  endpoint.set(HXAddrFactory::v4(10, 0, 0, 2),
               static_cast<ip::Proto::type>(HXZEndpointSockAddr::kKeepProto));
  EXPECT_EQ(endpoint.getSockAddr().proto(), ip::Proto::udp);
  EXPECT_EQ(endpoint.getAddrStr(), "10.0.0.2");
  endpoint.set(HXIpAddress(), ip::Proto::tcp);
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateFailed);

  endpoint.setInaddrAnyPF(ip::Family::v6, 7, ip::Proto::tcp);
  EXPECT_EQ(endpoint.getSockAddr().strBind(), ":::7");
  endpoint.setInaddrAnySF(AF_INET, 8, ip::Proto::udp);
  EXPECT_EQ(endpoint.getSockAddr().strBind(), "0.0.0.0:8");
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateResolved);

  auto remote = HXZEndpointSockAddr::remoteTCP("127.0.0.1:12");
  EXPECT_EQ(remote->getSockAddr().proto(), ip::Proto::tcp);
  EXPECT_EQ(remote->getSockAddr().port(), 12);
  EXPECT_EQ(HXZEndpointSockAddr::remoteTCP("127.0.0.1", 13)->getSockAddr().port(), 13);
}

TEST_F(EndpointTest, HostNameWaitsForTheAnswerAndTellsItsHandler) {
  HXZEndpointFqdn endpoint("later.invalid", 99, ip::Proto::udp);
  EXPECT_EQ(endpoint.getAddrStr(), "later.invalid");
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateResolving);
  Waiter first;
  Waiter second;
  EXPECT_TRUE(endpoint.notifyOnResolv(&first));
  EXPECT_FALSE(endpoint.notifyOnResolv(&second));
  endpoint.notifyOnResolvRemoveIf(&second);  // not the registered one: no change

  endpoint.OnCallbackQueryA("later.invalid", "10.0.0.3");
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateResolved);
  EXPECT_EQ(endpoint.getSockAddr().strBind(true), "udp://10.0.0.3:99");
  endpoint.OnCallbackQueryA("later.invalid", nullptr);
  EXPECT_EQ(endpoint.state(), HXZAEndpointHolder::stateFailed);
  EXPECT_EQ(first.calls, (std::vector<int32_t>{2, 0}));
  EXPECT_TRUE(second.calls.empty());

  endpoint.notifyOnResolvRemoveIf(&first);
  EXPECT_TRUE(endpoint.notifyOnResolv(&second));
}

TEST_F(EndpointTest, HostTextsOfNamedEndpoints) {
  struct Case {
    const char* text;
    int32_t state;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"10.0.0.1:99", 2, "10.0.0.1", 99},
      {"[::1]:98", 2, "::1", 98},
      {"10.0.0.1", 2, "10.0.0.1", 4307},
      {"server.invalid:97", 1, "server.invalid", 97},
      {"[server.invalid]:80", 0, "", 0},
      {"host:0", 0, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto endpoint = HXZEndpointFqdn::remoteTCP(c.text);
    EXPECT_EQ(endpoint->state(), c.state);
    EXPECT_EQ(endpoint->getAddrStr(), c.host);
    EXPECT_EQ(endpoint->getSockAddr().port(), c.port);
  }
  EXPECT_EQ(HXZEndpointFqdn::remoteTCP("10.0.0.1", 5)->getSockAddr().port(), 5);
}

TEST(EndpointMulti, CyclesThroughItsAddresses) {
  HXZEndpointSockAddrMulti endpoint;
  EXPECT_TRUE(endpoint.isMulti());
  EXPECT_TRUE(endpoint.next().empty());
  EXPECT_TRUE(endpoint.getSockAddr().empty());
  const char* texts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
  for (const char* text : texts) {
    endpoint.add(HXSockAddr(ip::Proto::tcp, HXAddrFactory::get(text), 1));
  }
  EXPECT_EQ(endpoint.getCount(), 3);
  EXPECT_EQ(endpoint.getAddrStr(), "10.0.0.1");
  std::vector<std::string> order;
  for (int i = 0; i < 4; ++i) order.push_back(endpoint.next().str());
  EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.1"}));
  endpoint.rewind();
  EXPECT_EQ(endpoint.next().str(), "10.0.0.1");
  std::vector<HXSockAddr> list;
  EXPECT_TRUE(endpoint.getSockAddrList(&list));
  EXPECT_EQ(list.size(), 3u);

  HXZEndpointSockAddrMulti single;
  single.add(HXSockAddr(ip::Proto::tcp, HXAddrFactory::get("10.0.0.9"), 1));
  EXPECT_EQ(single.next().str(), "10.0.0.9");
  EXPECT_TRUE(single.getSockAddr().empty());  // past the end
  EXPECT_EQ(single.next().str(), "10.0.0.9");
}

TEST(EndpointText, IsResolvedWithoutAddress) {
  auto endpoint = HXZEndpointAddrStr::create("pipe-name");
  EXPECT_EQ(endpoint->getAddrStr(), "pipe-name");
  EXPECT_EQ(endpoint->state(), HXZAEndpointHolder::stateResolved);
  EXPECT_TRUE(endpoint->getSockAddr().empty());
}

}  // namespace
}  // namespace hx::testing
