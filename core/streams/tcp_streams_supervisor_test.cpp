// The TCP streams supervisor: the filter that turns a peer's endpoint list into candidate socket
// addresses, and the trial pings against real listeners of the network loop on loopback (at
// addresses other than 127.0.0.1, which the supervisor skips as this device itself), answered by
// accepting pings, whose outcome reaches the conference store and marks the peer's endpoints.

#include "core/streams/tcp_streams_supervisor.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "core/conference/store/conf_storage.h"
#include "core/conference/store/direct_store_test_util.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/ip_iface.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/transport/direct_test_util.h"
#include "core/transport/session.h"
#include "core/transport/zero_handshake_ping.h"

namespace hx::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct EpSpec {
  int type;
  std::string host;
  uint16_t port;
};

std::shared_ptr<HX_Endpoint> Ep(const EpSpec& spec) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(spec.type));
  ep->SetHost(spec.host);
  ep->SetPort(spec.port);
  ep->SetFamily(spec.host.find(':') != std::string::npos ? AF_INET6 : AF_INET);
  return ep;
}

HX_TransportEndpointList Eps(const std::vector<EpSpec>& specs) {
  HX_TransportEndpointList list;
  for (const EpSpec& spec : specs) list.push_back(Ep(spec));
  return list;
}

// "host:port" texts, "%scope" allowed for IPv6.
std::list<HXSockAddr> Acceptors(const std::vector<std::string>& texts) {
  std::list<HXSockAddr> out;
  for (const std::string& text : texts) {
    const size_t colon = text.rfind(':');
    HXSockAddr address;
    EXPECT_TRUE(address.set(ip::Proto::unknown, text.substr(0, colon).c_str(),
                            text.substr(colon + 1).c_str(), 0, 0))
        << text;
    out.push_back(address);
  }
  return out;
}

// Interface addresses: "address" or "address%scope", each on its own interface.
HXIfIpAddrContainer Interfaces(const std::vector<std::string>& texts) {
  HXIpIfAddrSet set;
  uint32_t index = 2;
  for (const std::string& text : texts) {
    HXIpAddress address;
    EXPECT_TRUE(address.set(text.c_str())) << text;
    auto iface =
        std::make_shared<HXIpIface>("if" + std::to_string(index), index, ip::IfType::ethernet);
    ++index;
    set.insert(HXIpIfListItem(iface, address, HXNetMask(address.family(), 64)));
  }
  HXIfIpAddrContainer container;
  container.set(set);
  return container;
}

// Each entry as "proto://address:port host", in map order.
std::vector<std::string> Entries(const ::conference::PeerEndpointMap& map) {
  std::vector<std::string> out;
  for (const auto& [address, endpoint] : map) {
    out.push_back(address.strBind(true) + " " + endpoint->getHost());
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct FilterCase {
  const char* name;
  std::vector<EpSpec> endpoints;
  std::vector<std::string> tcpAcceptors;
  std::vector<std::string> udpAcceptors;
  std::vector<std::string> interfaces;
  std::vector<std::string> expected;
};

TEST(TcpStreamsSupervisorFilter, DropsTheClientItselfAndScopesLinkLocalPeers) {
  const std::vector<FilterCase> cases = {
      {"own TCP acceptor: same port dropped, another port stays",
       {{0, "192.0.2.10", 5000}, {0, "192.0.2.10", 5001}},
       {"192.0.2.10:5000"},
       {},
       {"192.0.2.10"},
       {"tcp://192.0.2.10:5001 192.0.2.10"}},
      {"any-address acceptor: every interface address on its port dropped",
       {{1, "192.0.2.10", 6000},
        {0, "198.51.100.7", 6000},
        {0, "203.0.113.5", 6000},
        {0, "192.0.2.10", 6001}},
       {"0.0.0.0:6000"},
       {},
       {"192.0.2.10", "198.51.100.7"},
       {"tcp://192.0.2.10:6001 192.0.2.10", "tcp://203.0.113.5:6000 203.0.113.5"}},
      {"an acceptor removes candidates of its own protocol only",
       {{0, "192.0.2.10", 7000}, {2, "192.0.2.10", 7000}, {3, "192.0.2.10", 7001}},
       {"192.0.2.10:7001"},
       {"192.0.2.10:7000"},
       {},
       {"tcp://192.0.2.10:7000 192.0.2.10", "udp://192.0.2.10:7001 192.0.2.10"}},
      {"unusable endpoints are skipped, the first of a socket address wins",
       {{0, "", 5000},
        {0, "127.0.0.1", 5000},
        {0, "::1", 5000},
        {0, "peer.example.com", 5000},
        {4, "192.0.2.20", 5000},
        {0, "192.0.2.21", 5000},
        {1, "192.0.2.21", 5000}},
       {},
       {},
       {},
       {"tcp://192.0.2.21:5000 192.0.2.21"}},
      {"a link-local peer once per local link-local interface, with its scope",
       {{0, "fe80::1", 5000}},
       {},
       {},
       {"fe80::a%2", "fe80::b%3", "2001:db8::1", "192.0.2.10"},
       {"tcp://fe80::1%2:5000 fe80::1%2", "tcp://fe80::1%3:5000 fe80::1%3"}},
      {"the peer's zone name is replaced by the local scopes",
       {{2, "fe80::1%en0", 5000}},
       {},
       {},
       {"fe80::a%4"},
       {"udp://fe80::1%4:5000 fe80::1%4"}},
      {"a link-local candidate equal to an own link-local acceptor is not entered",
       {{0, "fe80::1", 5000}},
       {"fe80::1%2:5000"},
       {},
       {"fe80::a%2", "fe80::b%3"},
       {"tcp://fe80::1%3:5000 fe80::1%3"}},
      {"without local link-local interfaces a link-local peer has no candidate",
       {{0, "fe80::1", 5000}, {0, "2001:db8::2", 5000}},
       {},
       {},
       {"2001:db8::1"},
       {"tcp://2001:db8::2:5000 2001:db8::2"}},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.name);
    HXZAcceptorInfo acceptors;
    acceptors.tcpAcceptors = Acceptors(c.tcpAcceptors);
    acceptors.udpAcceptors = Acceptors(c.udpAcceptors);
    ::conference::PeerEndpointMap map;
    HX_TcpStreamsSupervisor::createFilteredEpList(map, Eps(c.endpoints), acceptors,
                                                  Interfaces(c.interfaces));
    EXPECT_EQ(Entries(map), c.expected);
  }
}

TEST(TcpStreamsSupervisorFilter, ScopedEntriesGetTheirOwnEndpointCopies) {
  const HX_TransportEndpointList list = Eps({{0, "fe80::1", 5000}});
  ::conference::PeerEndpointMap map;
  HX_TcpStreamsSupervisor::createFilteredEpList(map, list, HXZAcceptorInfo(),
                                                Interfaces({"fe80::a%2", "fe80::b%3"}));
  ASSERT_EQ(map.size(), 2u);
  EXPECT_NE(map.begin()->second, std::next(map.begin())->second);
  // The peer's list itself is left as it came.
  EXPECT_EQ(list.front()->getHost(), "fe80::1");
}

// A listener of the network loop on a loopback address other than 127.0.0.1 that answers every
// ping and stamps each accepted connection.
class PingAnswerer {
 public:
  explicit PingAnswerer(const char* address) {
    listener =
        HXZServer::implantNative<AcceptingListener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listener->onAccept = [this](HXZADataHandler* accepted) { onAccept(accepted); };
    const bool bound =
        listener->Bind(std::make_shared<HXZEndpointSockAddr>(
            false, std::string(address) + ":0", ip::Proto::tcp)) &&
        WaitFor([&] { return listener->bound.load() == 1; }, 10000);
    EXPECT_TRUE(bound) << address;
    port = bound ? listener->port() : 0;
  }
  ~PingAnswerer() { listener->GC(); }

  size_t acceptedCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return stamps.size();
  }

  AcceptingListener* listener = nullptr;
  uint16_t port = 0;
  std::mutex mutex;
  std::vector<Clock::time_point> stamps;
  std::vector<std::string> requests;  // "conference|from|to" of each ping answered

 private:
  void onAccept(HXZADataHandler* accepted) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stamps.push_back(Clock::now());
    }
    auto* ping = HXZServer::inheritNative<HXZeroHandshakeSimple>(accepted);
    ping->fireWantAccept.Connect(this, &PingAnswerer::onWantAccept);
    ping->Accept();
  }
  void onWantAccept(const HXZeroHandshakeSimple* ping, bool& accept) {
    std::lock_guard<std::mutex> lock(mutex);
    requests.push_back(ping->GetConference() + "|" + ping->GetFrom() + "|" + ping->GetTo());
    accept = true;
  }
};

// Each test has a fresh network loop (the pings and listeners live on it) and a store with one
// private call that has the peer.
class TcpStreamsSupervisorPings : public LoopFixture {
 protected:
  static constexpr const char* kMe = "alice@test.invalid/1";
  static constexpr const char* kSid = "call-1@test.invalid";
  static constexpr const char* kPeer = "bob@test.invalid/2";

  void SetUp() override {
    LoopFixture::SetUp();
    if (HasFatalFailure()) return;
    auto session = std::make_shared<LoginSession>();
    session->SetLogin(kMe);
    cm = std::make_unique<PingStore>(session);
    ConferenceLock lock;
    ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "call", "", kMe, 2, 0, 0, 0, 0,
                                                       nullptr, false));
    conferenceId = lock->getId();
    ASSERT_TRUE(cm->storageCreateConferenceCommit(lock, kSid, 1));
    ASSERT_NE(lock->addPeer(kPeer, 4), nullptr);
  }
  void TearDown() override {
    cm.reset();
    LoopFixture::TearDown();
  }

  // Gives the peer the endpoints (unfiltered, so that the trials' own checks show) and the TCP
  // tests begin.
  void GivePeer(const std::vector<EpSpec>& endpoints) {
    ::conference::PeerEndpointMap map;
    for (const EpSpec& spec : endpoints) {
      HXSockAddr address;
      ASSERT_TRUE(address.set(ip::Proto::tcp, spec.host.c_str(), std::to_string(spec.port).c_str(),
                              0, 0));
      map.emplace(address, Ep(spec));
    }
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    lock->getPeer(kPeer)->directConnectTestBegin(map);
  }

  void SetEndpointState(const std::string& host, int32_t state) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    lock->getPeer(kPeer)->getEndpointsList().forEachEp([&](::conference::PeerEndpoint& ep) {
      if (ep.getEndpoint() && ep.getEndpoint()->getHost() == host) ep.state = state;
      return true;
    });
  }

  void RunTrials(HX_TcpStreamsSupervisor& supervisor) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    supervisor.runTrialStreams(lock, *lock->getPeer(kPeer), cm.get());
  }

  // Waits until the worker has finished every job posted before.
  static void DrainWorker(HX_TcpStreamsSupervisor& supervisor) {
    std::mutex mutex;
    bool done = false;
    boost::asio::post(supervisor.GetIOService(), [&] {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    });
    EXPECT_TRUE(WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return done;
        },
        10000));
  }

  // "host:port state" of the peer's send-stream connect endpoints.
  std::vector<std::string> SenderStates() {
    std::vector<std::string> out;
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, conferenceId));
    for (const ::conference::PeerEndpoint& ep : lock->getPeer(kPeer)->getEndpointsList().list()) {
      if (ep.kind != ::conference::kEpClientConnect || ep.clientType != 1) continue;
      const std::shared_ptr<HX_Endpoint> endpoint = ep.getEndpoint();
      out.push_back(endpoint->getHost() + ":" + std::to_string(endpoint->GetPort()) + " " +
                    std::to_string(ep.state));
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  int32_t SuccessfulTests() {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, conferenceId));
    return lock->getPeer(kPeer)->getSuccessfulTests();
  }

  std::unique_ptr<PingStore> cm;
  int32_t conferenceId = 0;
};

TEST_F(TcpStreamsSupervisorPings, UntestedEndpointsArePingedFiftyMsApartAndMarked) {
  PingAnswerer a("127.0.0.2");
  PingAnswerer b("127.0.0.3");
  PingAnswerer c("127.0.0.4");
  PingAnswerer failed("127.0.0.5");
  ASSERT_NE(a.port, 0);
  ASSERT_NE(b.port, 0);
  ASSERT_NE(c.port, 0);
  ASSERT_NE(failed.port, 0);
  // This device itself and an endpoint whose test already failed get no ping.
  GivePeer({{0, "127.0.0.2", a.port},
            {0, "127.0.0.1", a.port},
            {0, "127.0.0.3", b.port},
            {0, "127.0.0.5", failed.port},
            {0, "127.0.0.4", c.port}});
  SetEndpointState("127.0.0.5", ::conference::kEpStateFailed);

  HX_TcpStreamsSupervisor supervisor;
  RunTrials(supervisor);
  ASSERT_TRUE(WaitFor([&] { return SuccessfulTests() == 3; }, 10000)) << SuccessfulTests();

  std::vector<Clock::time_point> stamps;
  for (PingAnswerer* answerer : {&a, &b, &c}) {
    std::lock_guard<std::mutex> lock(answerer->mutex);
    ASSERT_EQ(answerer->stamps.size(), 1u);
    stamps.push_back(answerer->stamps[0]);
    ASSERT_EQ(answerer->requests.size(), 1u);
    // The answering side reads the names from its own end.
    EXPECT_EQ(answerer->requests[0], std::string(kSid) + "|" + kPeer + "|" + kMe);
  }
  EXPECT_EQ(failed.acceptedCount(), 0u);
  std::sort(stamps.begin(), stamps.end());
  // The pings leave 50 ms apart; the loop's own latency may shift one arrival by a few ms.
  for (size_t i = 1; i < stamps.size(); ++i) {
    EXPECT_GE(stamps[i] - stamps[i - 1], std::chrono::milliseconds(40)) << i;
  }
  const std::string pa = std::to_string(a.port);
  EXPECT_EQ(SenderStates(),
            (std::vector<std::string>{"127.0.0.1:" + pa + " 4", "127.0.0.2:" + pa + " 2",
                                      "127.0.0.3:" + std::to_string(b.port) + " 2",
                                      "127.0.0.4:" + std::to_string(c.port) + " 2",
                                      "127.0.0.5:" + std::to_string(failed.port) + " 0"}));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
  EXPECT_EQ(lock->getPeer(kPeer)->getDCType(), 2);
}

TEST_F(TcpStreamsSupervisorPings, NoPingStartsWithFiveFreeSocketSlots) {
  PingAnswerer a("127.0.0.2");
  ASSERT_NE(a.port, 0);
  GivePeer({{0, "127.0.0.2", a.port}, {0, "127.0.0.3", a.port}, {0, "127.0.0.4", a.port}});
  // Real sockets on the loop take the slots until five are left.
  std::vector<std::unique_ptr<PingAnswerer>> fillers;
  while (HXZServer::_free_sockets.load() > HX_TcpStreamsSupervisor::kMinFreeSockets) {
    const int32_t before = HXZServer::_free_sockets.load();
    fillers.push_back(std::make_unique<PingAnswerer>("127.0.0.9"));
    ASSERT_NE(fillers.back()->port, 0);
    ASSERT_TRUE(WaitFor([&] { return HXZServer::_free_sockets.load() < before; }, 10000));
  }
  ASSERT_EQ(HXZServer::_free_sockets.load(), HX_TcpStreamsSupervisor::kMinFreeSockets);

  HX_TcpStreamsSupervisor supervisor;
  RunTrials(supervisor);
  DrainWorker(supervisor);
  // A ping would have been on its way by now; give the loop time to connect it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(a.acceptedCount(), 0u);
  const std::string port = std::to_string(a.port);
  EXPECT_EQ(SenderStates(), (std::vector<std::string>{"127.0.0.2:" + port + " 4",
                                                      "127.0.0.3:" + port + " 4",
                                                      "127.0.0.4:" + port + " 4"}));
}

TEST_F(TcpStreamsSupervisorPings, DroppingTheSupervisorUnderTheLockBetweenPingsStopsTheJob) {
  PingAnswerer a("127.0.0.2");
  PingAnswerer b("127.0.0.3");
  PingAnswerer c("127.0.0.4");
  ASSERT_NE(a.port, 0);
  ASSERT_NE(b.port, 0);
  ASSERT_NE(c.port, 0);
  GivePeer({{0, "127.0.0.2", a.port}, {0, "127.0.0.3", b.port}, {0, "127.0.0.4", c.port}});
  const auto accepted = [&] { return a.acceptedCount() + b.acceptedCount() + c.acceptedCount(); };
  auto supervisor = std::make_shared<HX_TcpStreamsSupervisor>();
  HX_TcpStreamsSupervisor* raw = supervisor.get();
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    lock->setTcpStreamsSupervisor(std::move(supervisor));
  }
  RunTrials(*raw);
  ASSERT_TRUE(WaitFor([&] { return accepted() >= 1; }, 10000));
  {
    // As a time-out does: the conference drops its supervisor with the lock held. The worker
    // never waits for that lock, so the join returns.
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    lock->directConnectTestEnd(lock, 4);
    EXPECT_EQ(lock->getTcpStreamsSupervisor(), nullptr);
  }
  // A ping started just before the drop may still be on its way: give it time to arrive.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t started = accepted();
  EXPECT_LT(started, 3u);
  // Pings already started still report to the store.
  EXPECT_TRUE(WaitFor([&] { return SuccessfulTests() == static_cast<int32_t>(started); }, 10000))
      << SuccessfulTests();
}

}  // namespace
}  // namespace hx::testing
