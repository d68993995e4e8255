// The call-flow helper's outgoing half against the fake server: rooms, the creation handler
// (formats, statistics, ping, saved peers), invitations sent, opening the media of a call and of
// a group conference, and streams that failed.
#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <string>
#include <vector>

#include "core/conference/conference_helper_test_util.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/receiver_base.h"
#include "core/transport/servers_list.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using Helper = HX_ConferenceHelper;

class ConferenceHelperTest : public HelperFixture {
 protected:
  // Waits for the store to hold the room alice asked for, confirmed by the server; its SID.
  std::string CreatedSid() {
    std::string sid;
    EXPECT_TRUE(WaitFor(
        [&] {
          ConferenceLock lock;
          if (!cm->activeConferenceRLock(lock) || !lock->isVerified()) return false;
          sid = lock->getSID();
          return true;
        },
        kTransportWaitMs));
    return sid;
  }
  // A private call in the store with bob as its peer (DC type `dc`), confirmed as `sid`.
  int32_t CallWithBob(const std::string& sid, HX_DirectConnect_Type dc, bool streamsWork) {
    const int32_t id = AddConference(sid, "127.0.0.1#vcs", 0, ::conference::kStateRequested);
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    lock->addPeer(kBob, 1)->setDCType(dc);
    // The peer the call goes to once accepted: the conference's first peer.
    lock->selectPeerInstance(lock, kBob);
    for (const char* name :
         {"createSender", "createReceiver", "connectSender", "connectReceiver"}) {
      lock->mediaStandIn().setAnswer(name, streamsWork);
    }
    return id;
  }
  std::vector<std::string> Media(const std::string& sid) {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, sid)) return {};
    return lock->mediaStandIn().calls();
  }
  size_t ServerEndpoints(const std::string& sid) {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, sid)) return 0;
    HX_TransportEndpointList list;
    lock->fillEndpointsList(list);
    return list.size();
  }
};

// The four kinds of room, each with both scopes: what "CreateConference" carries.
TEST_F(ConferenceHelperTest, RoomsAskTheServerForTheirKind) {
  struct Case {
    int kind;
    bool flag;
    int32_t max, duration, type, subType, scope;
    const char* name;
  };
  const Case cases[] = {
      {0, true, 2, 30, 0, 0, 0, ""},         {0, false, 2, 30, 0, 0, 1, ""},
      {1, true, 16, 36000, 5, 0, 0, "team"}, {2, false, 16, 36000, 5, 1, 1, "team"},
      {3, true, 16, 36000, 5, 3, 0, "team"},
  };
  size_t index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    bool ok = false;
    switch (c.kind) {
      case 0:
        ok = helper->CreateConferenceRoom<0>("ignored", "ignored", c.flag, {}, false);
        break;
      case 1:
        ok = helper->CreateConferenceRoom<1>("team", "pw", c.flag, {}, false);
        break;
      case 2:
        ok = helper->CreateConferenceRoom<2>("team", "pw", c.flag, {}, false);
        break;
      default:
        ok = helper->CreateConferenceRoom<3>("team", "pw", c.flag, {}, false);
        break;
    }
    ASSERT_TRUE(ok);
    const HX_Container body = Nth("CreateConference", index++);
    EXPECT_EQ(IntOf(body, "MaxPartisipants"), c.max);
    EXPECT_EQ(IntOf(body, "Duration"), c.duration);
    EXPECT_EQ(IntOf(body, "Type"), c.type);
    EXPECT_EQ(IntOf(body, "SubType"), c.subType);
    EXPECT_EQ(IntOf(body, "Scope"), c.scope);
    EXPECT_EQ(TextOf(body, "Name"), c.name);
    // The next room needs the store free: the created one is deleted locally.
    const std::string sid = CreatedSid();
    ASSERT_TRUE(cm->DeleteConference(sid.c_str(), false));
    ASSERT_TRUE(WaitFor([&] { return !Exists(sid); }, kTransportWaitMs));
  }
}

// Once the server has created the room: formats, own capabilities, statistics at 0, the saved
// peers invited in order until the first refusal, and a ping that goes on until state 3.
TEST_F(ConferenceHelperTest, CreatedRoomPreparesFormatsPingsAndInvitesSavedPeers) {
  helper->OnSendStatisticsUpdate(100, 7);
  helper->OnRecvStatisticsUpdate(kBob, 50, 3);
  EXPECT_EQ(helper->GetConferenceSendStatistics(), 100);
  EXPECT_EQ(helper->GetConferenceRecvBitrate(), 3u);
  helper->Refuse(kCarol);
  ASSERT_TRUE(helper->CreateConferenceRoom<1>("team", "pw", true,
                                              {kBob, kCarol, "dave@fake.example"}, false));
  const std::string sid = CreatedSid();
  // Bob was invited; carol refused, so dave was dropped.
  ASSERT_TRUE(WaitFor([&] { return helper->Notes().size() >= 3; }, kTransportWaitMs));
  EXPECT_EQ(helper->Notes(), (std::vector<std::string>{"caps group", std::string("Invite ") + kBob,
                                                       std::string("Invite ") + kCarol}));
  EXPECT_EQ(TextOf(Nth("Invite"), "CallId"), kBob);
  EXPECT_EQ(helper->GetConferenceSendStatistics(), 0);
  EXPECT_EQ(helper->GetConferenceSendBitrate(), 0u);
  EXPECT_EQ(helper->GetConferenceRecvStatistics(), 0);
  EXPECT_EQ(helper->GetConferenceRecvBitrate(), 0u);
  EXPECT_EQ(helper->selector().GetPeerMediaFormat(kAlice).caps.m_level, 40);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, sid));
    EXPECT_EQ(lock->getMyCaps().level, 40u);
  }
  // The ping repeats while the conference lives.
  ASSERT_TRUE(WaitFor([&] { return CountFor("Ping", sid) >= 2; }, kTransportWaitMs));
  EXPECT_EQ(TextOf(Nth("Ping"), "UserName"), kAlice);

  // In state 3 the chain ends: a ping job neither sends nor comes back.
  int32_t id = 0;
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, sid));
    id = lock->getId();
    lock->setState(lock, ::conference::kStateDeleted);
  }
  helper->stopConfHelperJobs();
  Flush("mark-1");
  const size_t pings = CountFor("Ping", sid);
  helper->OnPingConference(id);
  Flush("mark-2");
  EXPECT_EQ(CountFor("Ping", sid), pings);
}

TEST_F(ConferenceHelperTest, CreationRefusedOrUnknownLeavesTheHelperIdle) {
  helper->OnSendStatisticsUpdate(100, 7);
  helper->OnConferenceCreated("nowhere@127.0.0.1#vcs", 1);
  AddConference("c9@127.0.0.1#vcs", "127.0.0.1#vcs", 5, ::conference::kStateRequested);
  helper->OnConferenceCreated("c9@127.0.0.1#vcs", 4225);
  EXPECT_TRUE(helper->Notes().empty());
  EXPECT_EQ(helper->GetConferenceSendStatistics(), 100);
}

TEST_F(ConferenceHelperTest, InvitePeerNeedsAConference) {
  EXPECT_FALSE(helper->InvitePeer(kBob));
  // A private call of alice's own, requested: the invitation goes out as a call.
  AddConference("c7@127.0.0.1#vcs", "127.0.0.1#vcs", 0, ::conference::kStateRequested);
  EXPECT_TRUE(helper->InvitePeer(kBob));
  const HX_Container body = Nth("Invite");
  EXPECT_EQ(TextOf(body, "CallId"), kBob);
  EXPECT_EQ(IntOf(body, "Type", -1), -1);
}

// A private call: the peer (given or the first), the server search unless a direct path
// exists, the streams, and the hang-up when a stream cannot be connected.
TEST_F(ConferenceHelperTest, OpeningACallCreatesAndConnectsItsStreams) {
  struct Case {
    const char* name;
    HX_DirectConnect_Type dc;
    bool streamsWork;
    const char* peerGiven;
    size_t endpoints;
    bool hangup;
  };
  const Case cases[] = {
      {"server path", 0, true, kBob, 2, false},    {"first peer", 4, true, "", 2, false},
      {"direct tcp", 2, true, kBob, 0, false},     {"direct udp", 6, true, kBob, 0, false},
      {"peer connected", 1, true, kBob, 0, false}, {"sender fails", 0, false, kBob, 2, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string sid = "p" + std::to_string(++n) + "@127.0.0.1#vcs";
    CallWithBob(sid, c.dc, c.streamsWork);
    helper->ClearNotes();
    helper->OpenConferenceP2P(c.peerGiven, sid, "key-1");
    std::vector<std::string> expected = {
        "caps call", "handshake 0 0 " + std::string(kBob) + " " + sid + " key-1"};
    if (c.hangup) expected.push_back("hangup " + sid);
    EXPECT_EQ(helper->Notes(), expected);
    EXPECT_EQ(ServerEndpoints(sid), c.endpoints);
    const std::vector<std::string> media = Media(sid);
    std::vector<std::string> streams = {std::string("createSender ") + kBob,
                                        std::string("createReceiver ") + kBob,
                                        std::string("connectSender ") + kBob};
    if (c.streamsWork) streams.push_back(std::string("connectReceiver ") + kBob);
    EXPECT_EQ(media, streams);
    ASSERT_TRUE(cm->DeleteConference(sid.c_str(), false));
    ASSERT_TRUE(WaitFor([&] { return !Exists(sid); }, kTransportWaitMs));
  }
}

TEST_F(ConferenceHelperTest, OpeningLeavesAConferenceThatWentDuringTheSearch) {
  CallWithBob("gone@127.0.0.1#vcs", 0, true);
  helper->SetServerSearchHook([&] { cm->DeleteConference("gone@127.0.0.1#vcs", false); });
  helper->OpenConferenceP2P(kBob, "gone@127.0.0.1#vcs", "k");
  EXPECT_EQ(helper->Notes(), std::vector<std::string>{"caps call"});

  AddConference("g2@127.0.0.1#vcs", "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  helper->SetServerSearchHook([&] { cm->DeleteConference("g2@127.0.0.1#vcs", false); });
  helper->ClearNotes();
  helper->OpenConferenceMulti("g2@127.0.0.1#vcs", "k");
  EXPECT_TRUE(helper->Notes().empty());
  // Unknown SIDs and a call without peers: nothing.
  helper->SetServerSearchHook(nullptr);
  helper->OpenConferenceMulti("none@127.0.0.1#vcs", "k");
  AddConference("lonely@127.0.0.1#vcs", "127.0.0.1#vcs", 0, ::conference::kStateRequested);
  helper->OpenConferenceP2P("", "lonely@127.0.0.1#vcs", "k");
  EXPECT_TRUE(helper->Notes().empty());
}

TEST_F(ConferenceHelperTest, OpeningAGroupConferenceConnectsTheSenderToTheOwner) {
  for (bool works : {true, false}) {
    SCOPED_TRACE(works);
    const std::string sid = works ? "g1@127.0.0.1#vcs" : "g3@127.0.0.1#vcs";
    const int32_t id = AddConference(sid, "127.0.0.1#vcs", 5, ::conference::kStateJoined, kCarol);
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      lock->setOwner(kCarol, false);
      lock->mediaStandIn().setAnswer("createSender", true);
      lock->mediaStandIn().setAnswer("connectSender", works);
    }
    helper->ClearNotes();
    helper->OpenConferenceMulti(sid, "gk");
    std::vector<std::string> expected = {
        "caps group", "handshake 5 0 " + std::string(kCarol) + " " + sid + " gk"};
    if (!works) expected.push_back("hangup " + sid);
    EXPECT_EQ(helper->Notes(), expected);
    EXPECT_EQ(Media(sid), (std::vector<std::string>{std::string("createSender ") + kCarol,
                                                    std::string("connectSender ") + kCarol}));
    // The search failed (no servers list): the endpoint still goes in.
    EXPECT_EQ(ServerEndpoints(sid), 2u);
    ASSERT_TRUE(cm->DeleteConference(sid.c_str(), false));
    ASSERT_TRUE(WaitFor([&] { return !Exists(sid); }, kTransportWaitMs));
  }
}

// The media server through a real servers list: the server the client is connected to when the
// conference lives there (found), else the made-up endpoint of the other server (not found, still
// added, unmarked).
TEST_F(ConferenceHelperTest, MediaServerOfTheConnectedAndOfAnotherServer) {
  TempDir dir;
  helper->SetServersList(std::make_shared<HX_ServersList>(dir.path() + "/"));
  m_client->session->setSid("127.0.0.1#vcs");
  struct Case {
    const char* sid;
    std::string host;
    uint16_t port;
    bool marked;
  };
  const Case cases[] = {
      {"here@127.0.0.1#vcs", "127.0.0.1", m_server->port(), true},
      {"there@meet.example#as", "meet.example", 4307, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sid);
    const int32_t id = AddConference(c.sid, "", 5, ::conference::kStateJoined, kCarol);
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, id));
      lock->setOwner(kCarol, false);
      lock->mediaStandIn().setAnswer("createSender", true);
      lock->mediaStandIn().setAnswer("connectSender", true);
    }
    helper->OpenConferenceMulti(c.sid, "k");
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    HX_TransportEndpointList list;
    lock->fillEndpointsList(list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front()->getHost(), c.host);
    EXPECT_EQ(list.front()->GetPort(), c.port);
    EXPECT_EQ(list.front()->GetSocksPort(), 1080);
    EXPECT_EQ(list.front()->GetSocksVersion(), 4);
    EXPECT_EQ(list.front()->GetHttpPort(), 8080);
    const ::conference::PeerEndpoint* sender =
        lock->getEndpointsList().lookup(::conference::kEpServerConnect, 1, c.host, c.port);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->state == ::conference::kEpStateWorked, c.marked);
    lock.Unlock();
    ASSERT_TRUE(cm->DeleteConference(c.sid, false));
    ASSERT_TRUE(WaitFor([&] { return !Exists(c.sid); }, kTransportWaitMs));
  }
}

// A failed sender or any failed stream of a call ends the conference; a failed receiver of a
// group conference only drops that receiver.
TEST_F(ConferenceHelperTest, UnavailableStreams) {
  CallWithBob("call@127.0.0.1#vcs", 2, true);
  helper->OnStreamUnavailable(2, hx::NetHandshakeConnectResult(1), "call@127.0.0.1#vcs", kBob);
  ASSERT_TRUE(WaitFor([&] { return helper->Notes().size() == 1; }, kTransportWaitMs));
  EXPECT_EQ(helper->Notes()[0], "hangup call@127.0.0.1#vcs");

  const int32_t id =
      AddConference("grp@127.0.0.1#vcs", "127.0.0.1#vcs", 5, ::conference::kStateJoined);
  auto receiver = std::make_shared<HX_ReceiverBase>(kBob, kAlice);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->InsertReceiver(kBob, receiver);
  }
  helper->OnStreamUnavailable(2, hx::NetHandshakeConnectResult(1), "grp@127.0.0.1#vcs", kBob);
  // The idle stream goes down at once, and the conference looks for a start saved meanwhile.
  const std::string check = std::string("scheduleCheckSavedReceiver ") + kBob;
  const auto checks = [&] {
    const auto calls = Media("grp@127.0.0.1#vcs");
    return std::count(calls.begin(), calls.end(), check);
  };
  ASSERT_TRUE(WaitFor([&] { return checks() == 1; }, kTransportWaitMs));
  EXPECT_EQ(receiver->getStateFlags(), 0u);
  EXPECT_EQ(helper->Notes().size(), 1u);
  helper->OnStreamUnavailable(1, hx::NetHandshakeConnectResult(1), "grp@127.0.0.1#vcs", kBob);
  ASSERT_TRUE(WaitFor([&] { return helper->Notes().size() == 2; }, kTransportWaitMs));
  EXPECT_EQ(helper->Notes()[1], "hangup grp@127.0.0.1#vcs");
}

}  // namespace
}  // namespace hx::testing
