// A peer's endpoints and direct-connection tests, the endpoint list's lookups and its clean-up
// after the tests, and the conference's own endpoints at the server. Plain records: no store, no
// loop; the UDP trial list is the stand-in that records its calls.
#include "core/conference/model/peer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <climits>

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/stream_stand_ins.h"
#include "core/streams/tcp_streams_supervisor.h"

namespace {

using conference::Peer;
using conference::PeerEndpoint;
using conference::PeerEndpointMap;
using conference::PeerEndpointsList;

std::shared_ptr<HX_Endpoint> Ep(int type, const std::string& host, uint16_t port,
                                int family = AF_INET) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(type));
  ep->SetHost(host);
  ep->SetPort(port);
  ep->SetFamily(family);
  return ep;
}

HXSockAddr Addr(const char* host, const char* port) {
  HXSockAddr a;
  EXPECT_TRUE(a.set(ip::Proto::tcp, host, port, 0, 0));
  return a;
}

PeerEndpoint& AddConnect(PeerEndpointsList& list, int clientType, const std::string& host,
                         uint16_t port, int state, uint64_t lastAttempt = 0, int family = AF_INET) {
  PeerEndpoint& ep = list.add(
      clientType, std::make_unique<conference::PeerClientConnectEpAttr>(Ep(0, host, port, family)));
  ep.state = state;
  ep.lastAttempt = lastAttempt;
  return ep;
}

TEST(PeerEndpointsList, IdsWrapToZeroAfterTheLargest) {
  PeerEndpointsList list;
  list.setLastSeqNum(INT_MAX);
  EXPECT_EQ(AddConnect(list, 1, "10.0.0.1", 1, 4).id, 0);
  EXPECT_EQ(AddConnect(list, 1, "10.0.0.1", 2, 4).id, 1);
  EXPECT_EQ(list.getSeqNum(), 2);
}

TEST(PeerEndpointsList, LinkLocalHost) {
  struct Row {
    const char* host;
    bool result;
    const char* after;
  } rows[] = {
      {"fe80::1%eth0", true, "fe80::1%"},
      {"::1%lo", true, "::1%"},
      {"fe80::1", false, "fe80::1"},
      {"10.0.0.1", false, "10.0.0.1"},
      {"a:b%c", false, "a:b%c"},
      {"%a:b:", false, "%a:b:"},
      {"", false, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    std::string host = row.host;
    EXPECT_EQ(PeerEndpointsList::getLinkLocalHost(host), row.result);
    EXPECT_EQ(host, row.after);
  }
}

TEST(PeerEndpointsList, LookupsAndRemoval) {
  PeerEndpointsList list;
  AddConnect(list, 1, "h", 10, 4);
  AddConnect(list, 2, "h", 10, 4);
  AddConnect(list, 1, "h", 11, 4);
  list.add(2, std::make_unique<conference::PeerServerMCastEpAttr>(Addr("239.1.1.1", "5000"), 9));
  EXPECT_EQ(list.lookup(3, 1, "h", 11)->id, 3);
  EXPECT_EQ(list.lookup(3, 1, "h", 0)->id, 1);  // any port
  EXPECT_EQ(list.lookup(3, 1, "H", 10), nullptr);
  EXPECT_EQ(list.lookup(2, 2, "239.1.1.1", 0), nullptr);  // kind 2 never matches by host
  ASSERT_NE(list.getUdpMcast(2), nullptr);
  EXPECT_EQ(list.getUdpMcast(2)->getUdpKey(), 9u);
  EXPECT_EQ(list.getUdpMcast(1), nullptr);
  EXPECT_TRUE(list.exists(2, conference::PeerServerMCastEpAttr(Addr("239.1.1.1", "5000"), 9)));
  EXPECT_FALSE(list.exists(2, conference::PeerServerMCastEpAttr(Addr("239.1.1.1", "5000"), 8)));
  EXPECT_TRUE(list.exists(1, conference::PeerClientConnectEpAttr(Ep(0, "h", 11))));
  EXPECT_FALSE(list.exists(2, conference::PeerClientConnectEpAttr(Ep(0, "h", 11))));
  EXPECT_EQ(list.remove(3, 1), 2u);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_TRUE(list.remove(2));
  EXPECT_FALSE(list.remove(2));
  HX_TransportEndpointList out;
  list.fillEndpointsList(out);
  EXPECT_TRUE(out.empty());  // the multicast endpoint has no network endpoint
}

TEST(PeerEndpointsList, TcpConnectPrefersAnOldEnoughUnprovenEndpointToARecentWorkingOne) {
  PeerEndpointsList list;
  EXPECT_EQ(list.getTcpConnect(-1, 3, 1, 100), nullptr);
  PeerEndpoint& recent = AddConnect(list, 1, "a", 1, 2, 1000);
  PeerEndpoint& old = AddConnect(list, 1, "b", 1, 4, 10);
  AddConnect(list, 2, "c", 1, 2, 0);  // other client type
  EXPECT_EQ(list.getTcpConnect(-1, 3, 1, 100), &old);
  // Nothing old enough: the least recently tried of the working ones.
  EXPECT_EQ(list.getTcpConnect(-1, 3, 1, 5), &recent);
  // Failed endpoints are never candidates.
  old.state = 0;
  recent.state = 0;
  EXPECT_EQ(list.getTcpConnect(-1, 3, 1, 100000), nullptr);
}

TEST(PeerEndpointsList, TcpConnectWalksOnFromTheLastOneTried) {
  PeerEndpointsList list;
  PeerEndpoint& a = AddConnect(list, 1, "a", 1, 2);
  PeerEndpoint& b = AddConnect(list, 1, "b", 1, 2);
  PeerEndpoint& c = AddConnect(list, 1, "c", 1, 2);
  EXPECT_EQ(list.getTcpConnect(a.id, 3, 1, 0), &b);
  EXPECT_EQ(list.getTcpConnect(b.id, 3, 1, 0), &c);
  EXPECT_EQ(list.getTcpConnect(c.id, 3, 1, 0), &a);  // after the last: the first
  EXPECT_EQ(list.getTcpConnect(99, 3, 1, 0), &a);    // unknown: the first
}

TEST(PeerEndpointsList, TestEndKeepsTheWorkingEntriesOfOneLinkLocalAddress) {
  struct Row {
    const char* name;
    int firstState;
    int secondState;
    std::vector<std::string> hostsAfter;
  } rows[] = {
      {"first works", 2, 0, {"fe80::1%eth0"}},
      {"second works", 0, 2, {"fe80::1%eth1"}},
      {"both work", 2, 2, {"fe80::1%eth0", "fe80::1%eth1"}},
      {"none works", 0, 4, {"fe80::1%eth0", "fe80::1%eth1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PeerEndpointsList list;
    AddConnect(list, 1, "fe80::1%eth0", 5000, row.firstState, 0, AF_INET6);
    AddConnect(list, 1, "fe80::1%eth1", 5000, row.secondState, 0, AF_INET6);
    AddConnect(list, 1, "fe80::1%eth2", 5001, 0, 0, AF_INET6);  // another port stays
    ConferenceLock lock;
    list.directConnectTestEnd(lock);
    std::vector<std::string> hosts;
    for (const PeerEndpoint& ep : list.list()) {
      if (ep.getEndpoint()->GetPort() == 5000) hosts.push_back(ep.getEndpoint()->getHost());
    }
    EXPECT_EQ(hosts, row.hostsAfter);
    EXPECT_EQ(list.size(), row.hostsAfter.size() + 1);
  }
}

TEST(Peer, ATypeZeroPeerHasNoDirectPossibilities) {
  Peer peer("p@t", 0);
  peer.directConnectTestBegin({{Addr("10.0.0.2", "4000"), Ep(0, "10.0.0.2", 4000)}});
  peer.getEndpointsList().list().front().state = 2;
  EXPECT_TRUE(peer.dcHasTcp());
  peer.setDCType(0);
  for (int kind = 1; kind <= 5; ++kind) EXPECT_EQ(peer.getDCcount(kind), 0u);
  EXPECT_FALSE(peer.dcHasTcp());
  EXPECT_FALSE(peer.dcHasUdp());
  EXPECT_EQ(peer.getTrialStreamCount(), 0);
}

TEST(Peer, TestBeginAddsUdpOnceAndTcpPairsEveryTime) {
  Peer peer("p@t", 4);
  const PeerEndpointMap endpoints = {
      {Addr("10.0.0.2", "4000"), Ep(0, "10.0.0.2", 4000)},
      {Addr("10.0.0.3", "4001"), Ep(2, "10.0.0.3", 4001)},
      {Addr("10.0.0.4", "4002"), Ep(3, "10.0.0.4", 4002)},
  };
  peer.directConnectTestBegin(endpoints);
  EXPECT_TRUE(peer.hasDCEndpoints());
  EXPECT_EQ(peer.getDCcount(3), 2u);
  EXPECT_EQ(peer.getDCcount(5), 2u);
  peer.directConnectTestBegin(endpoints);
  EXPECT_EQ(peer.getDCcount(3), 4u);
  EXPECT_EQ(peer.getDCcount(5), 2u);
  EXPECT_EQ(peer.getTrialStreamCount(), 4);
  // The pair shares one endpoint: one for the sender, one for the receiver.
  const auto& list = peer.getEndpointsList().list();
  EXPECT_EQ(list.front().clientType, 1);
  EXPECT_EQ(std::next(list.begin())->clientType, 2);
  EXPECT_EQ(list.front().getEndpoint(), std::next(list.begin())->getEndpoint());
}

TEST(Peer, AFailedTcpTestFailsTheReceiverTwinToo) {
  Peer peer("p@t", 4);
  peer.directConnectTestBegin({{Addr("10.0.0.2", "4000"), Ep(0, "10.0.0.2", 4000)}});
  const int32_t senderId = peer.getEndpointsList().list().front().id;
  EXPECT_TRUE(peer.connectTestDone(false, senderId, Addr("10.0.0.2", "4000")));
  for (const PeerEndpoint& ep : peer.getEndpointsList().list()) EXPECT_EQ(ep.state, 0);
  EXPECT_EQ(peer.getEndpointsList().getTcpConnect(-1, 3, 1, UINT64_MAX), nullptr);
  EXPECT_EQ(peer.getEndpointsList().getTcpConnect(-1, 3, 2, UINT64_MAX), nullptr);
  EXPECT_EQ(peer.getDCType(), 4);
  EXPECT_EQ(peer.getSuccessfulTests(), 0);
}

TEST(Peer, ASuccessfulTcpTestMarksBothAndRecordsTheAddressReached) {
  Peer peer("p@t", 4);
  peer.directConnectTestBegin({{Addr("10.0.0.2", "4000"), Ep(0, "10.0.0.2", 4000)},
                               {Addr("10.0.0.9", "4009"), Ep(0, "10.0.0.9", 4009)}});
  const int32_t senderId = peer.getEndpointsList().list().front().id;
  EXPECT_FALSE(peer.connectTestDone(true, senderId, Addr("192.168.1.2", "4100")));
  const auto& list = peer.getEndpointsList().list();
  EXPECT_EQ(list.front().state, 2);
  EXPECT_EQ(std::next(list.begin())->state, 2);
  EXPECT_EQ(list.front().getEndpoint()->getHost(), "192.168.1.2");
  EXPECT_EQ(list.front().getEndpoint()->GetPort(), 4100);
  EXPECT_EQ(peer.getSuccessfulTests(), 1);
  EXPECT_EQ(peer.getDCType(), 2);
  EXPECT_TRUE(peer.dcHasTcp());
  // The other pair fails: all tests are done, and stay done when endpoints come later.
  const int32_t otherId = std::next(list.begin(), 2)->id;
  EXPECT_TRUE(peer.connectTestDone(false, otherId, HXSockAddr()));
  EXPECT_EQ(peer.getDCType(), 2);
  peer.setEndpoints({{Addr("10.0.0.5", "4005"), Ep(0, "10.0.0.5", 4005)}});
  EXPECT_TRUE(peer.connectTestDoneAll());
}

TEST(Peer, FirstDirectConnectionDecidesTheType) {
  Peer peer("p@t", 4);
  EXPECT_FALSE(peer.isDCTypeDefined());
  EXPECT_TRUE(peer.setAcceptDC(HXSockAddr()));
  EXPECT_EQ(peer.getDCType(), 1);
  EXPECT_FALSE(peer.setFirstDCType(6));
  EXPECT_FALSE(peer.setAcceptDC(HXSockAddr()));
  EXPECT_TRUE(peer.isDCTypeDefined());
  peer.setDCRtt(50);
  peer.setDCRtt(80);
  peer.setDCRtt(30);
  EXPECT_EQ(peer.getDCRtt(), 30u);
  // Type 1 counts one trial stream more.
  peer.directConnectTestBegin({{Addr("10.0.0.2", "4000"), Ep(0, "10.0.0.2", 4000)}});
  EXPECT_EQ(peer.getTrialStreamCount(), 3);
  // Only peer-connect endpoints are marked.
  const int32_t id = peer.getEndpointsList().list().front().id;
  peer.markEndpoint(id, true);
  EXPECT_EQ(peer.getEndpointsList().lookup(id)->state, 2);
  peer.markEndpoint(id, false);
  EXPECT_EQ(peer.getEndpointsList().lookup(id)->state, 4);
}

TEST(Peer, UdpHandlersStopAtTheTestEndAndGoWhenCleared) {
  auto trialList = std::make_shared<hx::streams::UdpTrialDirectStreamList>();
  Peer peer("p@t", 4);
  peer.directConnectTestBegin({{Addr("10.0.0.3", "4001"), Ep(2, "10.0.0.3", 4001)}},
                              [trialList] { return trialList; });
  PeerEndpoint& udp = peer.getEndpointsList().list().front();
  auto* attribute = static_cast<conference::PeerClientUdpDirect*>(udp.attribute.get());
  attribute->setHandlerId(7);
  udp.state = 6;
  EXPECT_TRUE(peer.dcHasUdp());
  ConferenceLock lock;
  // A handler that refuses to stop keeps its id for the clearing.
  trialList->setStopAnswer(true);
  peer.directConnectTestEnd(lock, 4);
  EXPECT_EQ(attribute->handlerId(), 7u);
  EXPECT_EQ(peer.getDCType(), 4);
  EXPECT_TRUE(peer.connectTestDoneAll());
  peer.directConnectTestClear(lock);
  EXPECT_EQ(trialList->calls(), (std::vector<std::string>{"stopDCHandler 7", "removeDCHandler 7"}));
  EXPECT_EQ(peer.getDCType(), 0);
  EXPECT_TRUE(peer.getEndpointsList().empty());
}

TEST(ConferenceEndpoints, DirectTestsEndOnceAndServerEndpointsComeInPairs) {
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  conference->setConferenceType(0, 0, 0, false);
  auto trialList = std::make_shared<hx::streams::UdpTrialDirectStreamList>();
  trialList->setStopAnswer(false);
  conference->setUdpTrialList(trialList);
  conference::Peer* peer = conference->addPeer("p@t", 4);
  HX_Conference* raw = conference.get();
  peer->directConnectTestBegin({{Addr("10.0.0.3", "4001"), Ep(2, "10.0.0.3", 4001)}},
                               [raw] { return raw->getUdpTrialList(); });
  static_cast<conference::PeerClientUdpDirect*>(
      peer->getEndpointsList().list().front().attribute.get())
      ->setHandlerId(3);
  conference->setTcpStreamsSupervisor(std::make_shared<HX_TcpStreamsSupervisor>());
  ConferenceLock lock;
  conference->directConnectTestEnd(lock, 6);
  conference->directConnectTestEnd(lock, 6);
  EXPECT_EQ(trialList->callCount("stopDCHandler 3"), 1u);
  EXPECT_EQ(conference->getTcpStreamsSupervisor(), nullptr);
  EXPECT_TRUE(conference->isFlag(HX_Conference::kFlagDCTestsEnded));
  EXPECT_EQ(peer->getDCType(), 6);
  EXPECT_TRUE(conference->dcConnectTestDoneAllPeers());

  // Server endpoints: a pair per host and port; marking good promotes both once known.
  auto server = Ep(0, "srv", 4307);
  conference->addServerMediaEP(server, false);
  conference->addServerMediaEP(server, false);
  ASSERT_EQ(conference->getEndpointsList().size(), 2u);
  for (const PeerEndpoint& ep : conference->getEndpointsList().list()) EXPECT_EQ(ep.state, 4);
  conference->addServerMediaEP(server, true);
  ASSERT_EQ(conference->getEndpointsList().size(), 2u);
  for (const PeerEndpoint& ep : conference->getEndpointsList().list()) EXPECT_EQ(ep.state, 2);
  conference->updateServerMediaEPlist({Ep(0, "srv2", 4307)});
  EXPECT_EQ(conference->getEndpointsList().size(), 4u);
  // markEndpoint: ids 0 and below change nothing; without a first peer the own endpoint.
  conference->markEndpoint(0, false);
  conference->markEndpoint(1, false);
  EXPECT_EQ(conference->getEndpointsList().lookup(1)->state, 4);
  EXPECT_EQ(conference->getEndpointsList().lookup(2)->state, 2);
  // The peer contributes no connect endpoints (UDP only): the server's own are filled in.
  HX_TransportEndpointList out;
  conference->fillEndpointsList(out);
  EXPECT_EQ(out.size(), 4u);
}

// A TCP ping's outcome: the endpoint is marked, the address reached takes the local scope, and
// once every test is done the tests end, the peer being announced only after a success.
TEST(ConferenceEndpoints, TcpPingOutcomesMarkTheEndpointAndEndTheTestsWhenAllAreDone) {
  struct Case {
    const char* name;
    bool firstOk;
    bool secondOk;
    bool announced;
    HX_DirectConnect_Type type;
  };
  const Case cases[] = {
      {"both fail", false, false, false, 4},
      {"the first works", true, false, true, 2},
      {"the second works", false, true, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto conference = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
    conference->setConferenceType(0, 0, 0, false);
    conference::Peer* peer = conference->addPeer("p@t", 4);
    peer->directConnectTestBegin({{Addr("10.0.0.3", "7"), Ep(0, "10.0.0.3", 7)},
                                  {Addr("10.0.0.4", "7"), Ep(0, "10.0.0.4", 7)}});
    const auto senders = peer->getEndpointsList().listOfRef(
        [](const PeerEndpoint& ep) { return ep.clientType == 1; });
    ASSERT_EQ(senders.size(), 2u);
    const HXSockAddr local = Addr("10.0.0.1", "1");
    ConferenceLock lock;
    EXPECT_FALSE(conference->directConnectTcpSave(lock, "nobody@t", true, senders[0].get().id,
                                                  local, Addr("10.0.0.3", "7")));
    EXPECT_EQ(senders[0].get().state, 4);

    EXPECT_TRUE(conference->directConnectTcpSave(lock, "p@t", c.firstOk, senders[0].get().id,
                                                 local, Addr("10.0.0.3", "7")));
    // One test is still open: nothing is announced or ended yet.
    EXPECT_EQ(peer->getDCFlags() & conference::Peer::kDCAnnounced, 0u);
    EXPECT_FALSE(conference->isFlag(HX_Conference::kFlagDCTestsEnded));
    EXPECT_TRUE(conference->directConnectTcpSave(lock, "p@t", c.secondOk, senders[1].get().id,
                                                 local, Addr("10.0.0.4", "7")));
    EXPECT_TRUE(conference->isFlag(HX_Conference::kFlagDCTestsEnded));
    EXPECT_EQ((peer->getDCFlags() & conference::Peer::kDCAnnounced) != 0, c.announced);
    EXPECT_EQ(peer->getDCType(), c.type);
    EXPECT_EQ(senders[0].get().state, c.firstOk ? 2 : 0);
    EXPECT_EQ(senders[1].get().state, c.secondOk ? 2 : 0);
  }
  // The address reached keeps the scope of the local interface it went out of.
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  conference->setConferenceType(0, 0, 0, false);
  conference::Peer* peer = conference->addPeer("p@t", 4);
  peer->directConnectTestBegin({{Addr("fe80::2%5", "7"), Ep(0, "fe80::2%5", 7, AF_INET6)}});
  ConferenceLock lock;
  PeerEndpoint& sender = peer->getEndpointsList().list().front();
  ASSERT_TRUE(conference->directConnectTcpSave(lock, "p@t", true, sender.id,
                                               Addr("fe80::1%9", "1"), Addr("fe80::2", "7")));
  EXPECT_EQ(sender.getEndpoint()->getHost(), "fe80::2%9");
}

TEST(ConferenceEndpoints, TrialStreamCountIsBetweenOneAndFive) {
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  conference->setConferenceType(0, 0, 0, false);
  EXPECT_EQ(conference->getTrialStreamCount(), 1);  // no first peer
  conference::Peer* peer = conference->addPeer("p@t", 4);
  ConferenceLock lock;
  conference->selectPeerInstance(lock, "p@t");
  EXPECT_EQ(conference->getTrialStreamCount(), 1);  // no endpoints yet
  peer->directConnectTestBegin({{Addr("10.0.0.2", "1"), Ep(0, "10.0.0.2", 1)},
                                {Addr("10.0.0.3", "1"), Ep(0, "10.0.0.3", 1)},
                                {Addr("10.0.0.4", "1"), Ep(0, "10.0.0.4", 1)}});
  EXPECT_EQ(conference->getTrialStreamCount(), 5);
  const int32_t id = peer->getEndpointsList().list().front().id;
  conference->markEndpoint(id, true);
  EXPECT_EQ(peer->getEndpointsList().lookup(id)->state, 2);
  conference->setConferenceType(5, 0, 0, false);
  EXPECT_EQ(conference->getTrialStreamCount(), 1);
  // Multicast endpoints: the own for the sender, the peer's (added when unknown) otherwise.
  conference->addMediaEPMulticast("m@t", 5, Addr("239.0.0.1", "5000"), 2);
  conference->addMediaEPMulticast("m@t", 6, Addr("239.0.0.1", "5000"), 2);
  ASSERT_NE(conference->getPeer("m@t"), nullptr);
  EXPECT_EQ(conference->getPeer("m@t")->getEndpointsList().getUdpMcast(2)->getUdpKey(), 6u);
  EXPECT_EQ(conference->getPeer("m@t")->getEndpointsList().size(), 1u);
  conference->addMediaEPMulticast("m@t", 8, Addr("239.0.0.2", "5000"), 1);
  EXPECT_EQ(conference->getEndpointsList().getUdpMcast(1)->getUdpKey(), 8u);
  conference->setConferenceType(6, 0, 0, false);
  EXPECT_EQ(conference->getEPStorage("m@t", 2), conference->getPeer("m@t"));
  EXPECT_EQ(conference->getEPStorage("m@t", 1), conference.get());
  EXPECT_EQ(conference->getEPStorage("x@t", 2), conference.get());
}

}  // namespace

namespace {

TEST(Peer, ExtraVideoStateAndItsTime) {
  conference::Peer peer("p@t", 0);
  EXPECT_EQ(peer.getExtraVideoState(), 2);
  EXPECT_EQ(peer.getExtraVideoTime(), 0u);
  // No loop runs here: job ids are only recorded (an unknown id cancels nothing).
  peer.setExtraVideoState(2, 0);
  EXPECT_EQ(peer.getExtraVideoTime(), 0u);  // state 2 is not stamped
  peer.updateExtraVideoState(1);
  EXPECT_EQ(peer.getExtraVideoState(), 1);
  const uint64_t stamped = peer.getExtraVideoTime();
  peer.updateExtraVideoState(2);
  EXPECT_EQ(peer.getExtraVideoState(), 2);
  EXPECT_EQ(peer.getExtraVideoJob(), 0u);
  EXPECT_EQ(peer.getExtraVideoTime(), stamped);
  // Moving a peer moves its job with it, so that only one of them cancels it.
  conference::Peer moved(std::move(peer));
  EXPECT_EQ(moved.getId(), "p@t");
  EXPECT_EQ(moved.getExtraVideoState(), 2);
}

}  // namespace
