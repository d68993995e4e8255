// A call's direct-connection tests as the conference runs them: the peer's endpoints from the
// server starting them (or, without direct connections, not), the peer an old probe came from,
// a connection the peer made to this client, and the end of the UDP trials.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/tcp_streams_supervisor.h"

namespace {

using conference::Peer;

std::shared_ptr<HX_Endpoint> Ep(int type, const std::string& host, uint16_t port) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(type));
  ep->SetHost(host);
  ep->SetPort(port);
  ep->SetFamily(host.find(':') != std::string::npos ? AF_INET6 : AF_INET);
  return ep;
}

HXSockAddr Addr(const std::string& host, uint16_t port, ip::Proto::type proto = ip::Proto::tcp) {
  HXSockAddr address;
  EXPECT_TRUE(address.set(proto, host.c_str(), std::to_string(port).c_str(), 0, 0)) << host;
  return address;
}

std::shared_ptr<HX_Conference> Call() {
  auto call = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  call->setConferenceType(0, 0, 0, false);
  return call;
}

// A connect endpoint of the peer (kind 3) for one stream, in a given state.
void AddConnect(Peer& peer, int clientType, const std::string& host, int state) {
  conference::PeerEndpoint& ep = peer.getEndpointsList().add(
      clientType, std::make_unique<conference::PeerClientConnectEpAttr>(Ep(0, host, 5000)));
  ep.state = state;
}

TEST(ConferenceDirect, OldProbeFindsItsPeerByAddress) {
  struct Endpoint {
    int clientType;
    std::string host;
    int state;
  };
  struct PeerSpec {
    std::string id;
    std::vector<Endpoint> endpoints;
  };
  struct Case {
    const char* name;
    std::vector<PeerSpec> peers;
    std::string from;  // the probe's address
    uint32_t scope;
    std::string expected;  // "" for none
  } cases[] = {
      {"no peer", {}, "192.0.2.7", 0, ""},
      {"the only peer, whatever its endpoints", {{"a", {}}}, "192.0.2.7", 0, "a"},
      {"one of two on the host, any port",
       {{"a", {{1, "192.0.2.8", 4}}}, {"b", {{1, "192.0.2.7", 4}}}},
       "192.0.2.7",
       0,
       "b"},
      {"neither on the host", {{"a", {{1, "192.0.2.8", 4}}}, {"b", {}}}, "192.0.2.7", 0, ""},
      {"both on the host",
       {{"a", {{1, "192.0.2.7", 2}}}, {"b", {{1, "192.0.2.7", 4}}}},
       "192.0.2.7",
       0,
       ""},
      {"only the receive stream's endpoint",
       {{"a", {{2, "192.0.2.7", 4}}}, {"b", {}}},
       "192.0.2.7",
       0,
       ""},
      {"an accepted live endpoint does not count",
       {{"a", {{1, "192.0.2.7", 1}}}, {"b", {}}},
       "192.0.2.7",
       0,
       ""},
      {"a link-local host with its scope",
       {{"a", {{1, "fe80::1%3", 4}}}, {"b", {{1, "fe80::1%2", 4}}}},
       "fe80::1",
       2,
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto call = Call();
    for (const PeerSpec& spec : c.peers) {
      Peer* peer = call->addPeer(spec.id, 6);
      for (const Endpoint& ep : spec.endpoints) AddConnect(*peer, ep.clientType, ep.host, ep.state);
    }
    HXSockAddr from = Addr(c.from, 40000);
    from.setScopeId(c.scope);
    Peer* found = call->getPeerByDCHandshakeV0(from);
    EXPECT_EQ(found != nullptr ? found->getId() : "", c.expected);
  }
}

TEST(ConferenceDirect, PeerEndpointsBeginTheTestsOnlyWhenDirectConnectionsMayBeTried) {
  struct Case {
    const char* name;
    bool knownPeer;
    int dcType;  // the peer's type before
    bool noDirect;
    bool result;
    int dcTypeAfter;
    bool testsBegun;  // endpoints known, TCP streams supervisor made
    bool announced;
  } cases[] = {
      {"direct connections forbidden", true, 4, true, true, 0, false, false},
      {"the peer may not connect directly", true, 0, false, true, 0, false, false},
      {"unknown peer", false, 4, false, false, 4, false, false},
      {"open type: tests begin", true, 4, false, true, 4, true, false},
      {"the peer already reached this client: announced", true, 1, false, true, 1, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto call = Call();  // state 0: an unknown id is not taken as an instance of the callee
    Peer* peer = call->addPeer(c.knownPeer ? "bob" : "carol", 6);
    peer->setDCType(c.dcType);
    // A UDP endpoint only: no TCP ping leaves this conference outside a store.
    conference::PeerEndpointMap endpoints{
        {Addr("192.0.2.7", 5000, ip::Proto::udp), Ep(2, "192.0.2.7", 5000)}};
    ConferenceLock lock;
    EXPECT_EQ(call->peerEndpointsUpdate(lock, "bob", endpoints, c.noDirect), c.result);
    EXPECT_EQ(peer->getDCType(), c.dcTypeAfter);
    EXPECT_EQ(peer->hasDCEndpoints(), c.testsBegun);
    EXPECT_EQ(peer->getEndpointsList().size(), c.testsBegun ? 1u : 0u);
    EXPECT_EQ(call->getTcpStreamsSupervisor() != nullptr, c.testsBegun);
    EXPECT_EQ((peer->getDCFlags() & Peer::kDCAnnounced) != 0, c.announced);
    EXPECT_EQ(call->getPeer("bob") != nullptr, c.knownPeer);
  }
}

TEST(ConferenceDirect, PeersConnectionDecidesAnOpenType) {
  struct Case {
    const char* name;
    int version;
    std::string peerId;  // named by the probe
    std::string remote;  // "" for an empty address
    int bobTypeBefore;
    bool result;
    int bobType;
    int carolType;
  } cases[] = {
      {"version 1 by id", 1, "bob", "192.0.2.7", 4, true, 1, 4},
      {"version 0 by address", 0, "carol", "192.0.2.7", 4, true, 1, 4},
      {"later version by exact id", 2, "carol", "192.0.2.7", 4, true, 4, 1},
      {"no remote address", 1, "bob", "", 4, false, 4, 4},
      {"type already decided", 1, "bob", "192.0.2.7", 2, false, 2, 4},
      {"unknown peer", 2, "dave", "192.0.2.7", 4, false, 4, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto call = Call();
    Peer* bob = call->addPeer("bob", 6);
    Peer* carol = call->addPeer("carol", 6);
    AddConnect(*bob, 1, "192.0.2.7", 4);
    AddConnect(*carol, 1, "192.0.2.8", 4);
    bob->setDCType(c.bobTypeBefore);
    bob->setDCFlags(Peer::kDCEndpointsKnown);
    const HXSockAddr remote = c.remote.empty() ? HXSockAddr() : Addr(c.remote, 40000);
    EXPECT_EQ(call->directAccept(Addr("192.0.2.1", 7000), remote, c.peerId, c.version), c.result);
    EXPECT_EQ(bob->getDCType(), c.bobType);
    EXPECT_EQ(carol->getDCType(), c.carolType);
    // A peer whose endpoints are known is announced once it accepted.
    EXPECT_EQ((bob->getDCFlags() & Peer::kDCAnnounced) != 0, c.result && c.bobType == 1);
  }
}

TEST(ConferenceDirect, UdpTrialEndWaitsForEveryPeer) {
  auto call = Call();
  Peer* bob = call->addPeer("bob", 6);
  Peer* carol = call->addPeer("carol", 6);
  bob->directConnectTestBegin({{Addr("192.0.2.7", 5000), Ep(0, "192.0.2.7", 5000)}});
  carol->directConnectTestBegin({{Addr("192.0.2.8", 5000), Ep(0, "192.0.2.8", 5000)}});
  const auto firstSender = [](Peer* peer) { return peer->getEndpointsList().list().front().id; };
  ConferenceLock lock;

  // Bob's test worked, but carol's is still open: nothing yet.
  bob->connectTestDone(true, firstSender(bob), Addr("192.0.2.7", 5000));
  call->directConnectUdpDone(lock, "bob");
  EXPECT_FALSE(call->isFlag(HX_Conference::kFlagDCTestsEnded));
  EXPECT_EQ(bob->getDCFlags() & Peer::kDCAnnounced, 0u);

  // Carol's failed: her end announces nobody (she has no working path) but ends the tests.
  carol->connectTestDone(false, firstSender(carol), Addr("192.0.2.8", 5000));
  call->directConnectUdpDone(lock, "carol");
  EXPECT_TRUE(call->isFlag(HX_Conference::kFlagDCTestsEnded));
  EXPECT_EQ(carol->getDCFlags() & Peer::kDCAnnounced, 0u);

  // Bob's end now announces him.
  call->directConnectUdpDone(lock, "bob");
  EXPECT_NE(bob->getDCFlags() & Peer::kDCAnnounced, 0u);
  EXPECT_FALSE(call->directConnectUdpDone(lock, "nobody"));
}

}  // namespace
