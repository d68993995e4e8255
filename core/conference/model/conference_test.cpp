// HX_Conference inside the client object's conference store (for the own login and the shared
// state): identity texts, peers and their instances, participant lists, roles and the role media
// filter, the podium clock, the statistics record and call-link matching.
#include "core/conference/model/conference.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/conference/control/recording_meeting_tools.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/video/video_capture_slot.h"
#include "core/streams/stream_test_util.h"
#include "core/transport/call_link.h"

namespace {

using hx::testing::ConfStoreFixture;
using hx::testing::FixedBlockReceiver;
using hx::testing::FixedBlockSender;

class Conference : public ConfStoreFixture {
 protected:
  // A conference held by `lock`: requested by the own user, of that type and sub type.
  void Make(ConferenceLock& lock, HX_Conference_Type type, HX_GroupConf_SubType subType = 0,
            const char* owner = kMe, bool audioOnly = false) {
    ASSERT_TRUE(cm->storageRequestCreateConferenceLock(lock, "room", "", owner, 16, 0, type,
                                                       subType, 0, nullptr, audioOnly));
  }
  static std::shared_ptr<HX_SenderBase> WithSender(HX_Conference* c) {
    c->mediaStandIn().setAnswer("createSender", true);
    return c->createSender(kMe, "");
  }
};

TEST_F(Conference, SidSplitsIntoDomainAndServerId) {
  struct Row {
    const char* sid;
    const char* server;
    const char* domain;
    const char* serverId;
  } rows[] = {
      {"room@host#sfx", "", "host", "host#sfx"},
      {"room", "srv#x", "srv", "srv#x"},
      {"room", "", "", ""},
      {"room@host", "", "host", ""},
      {"room@host", "given", "host", "given"},
      {"a@b@c#1#2", "", "b@c", "b@c#1#2"},
      {"", "", "", ""},
      {"@", "", "", ""},
      {"#", "srv", "srv", "srv"},
      {"room@#x", "", "", "#x"},
  };
  ConferenceLock lock;
  Make(lock, 5);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sid);
    lock->setSID(row.sid, row.server);
    EXPECT_EQ(lock->getSID(), row.sid);
    EXPECT_EQ(lock->getDomain(), row.domain);
    EXPECT_EQ(lock->getServerId(), row.serverId);
    // Only the conference's own identity changed.
    EXPECT_EQ(lock->getName(), "room");
    EXPECT_EQ(lock->owner(), kMe);
  }
}

TEST_F(Conference, PeerInstancesOfAnOutgoingCall) {
  ConferenceLock lock;
  Make(lock, 0);
  lock->setCallId("user@t/1");
  lock->addPeer("user@t/1", 4);
  // The only peer, named exactly by the call id and without endpoints, moves to the instance.
  conference::Peer* moved = lock->getPeerInstance("user@t/2");
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->getId(), "user@t/2");
  EXPECT_EQ(lock->getPeer("user@t/1"), nullptr);
  EXPECT_EQ(lock->peers().size(), 1u);
  // A further instance is a new invited peer.
  conference::Peer* third = lock->getPeerInstance("user@t/3");
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->getPeerState(), 4);
  EXPECT_EQ(third->getDCType(), 4);
  // Another user: nothing.
  EXPECT_EQ(lock->getPeerInstance("other@t/1"), nullptr);
  EXPECT_EQ(lock->peers().size(), 2u);
  // Invited side: state 1 while unanswered, nothing once answered.
  lock->flagOr(HX_Conference::kFlagInvited | HX_Conference::kFlagUnanswered);
  ASSERT_NE(lock->getPeerInstance("user@t/4"), nullptr);
  EXPECT_EQ(lock->getPeer("user@t/4")->getPeerState(), 1);
  lock->flagAnd(~HX_Conference::kFlagUnanswered);
  EXPECT_EQ(lock->getPeerInstance("user@t/5"), nullptr);
  // Not requested any more: only known peers.
  lock->setState(lock, 2);
  EXPECT_EQ(lock->getPeerInstance("user@t/6"), nullptr);
  EXPECT_NE(lock->getPeerInstance("user@t/3"), nullptr);
}

TEST_F(Conference, GroupPeersHaveNoDirectConnections) {
  ConferenceLock lock;
  Make(lock, 5);
  EXPECT_EQ(lock->addPeer("a@t", 0)->getDCType(), 0);
  lock.Unlock();
  Make(lock, 0);
  EXPECT_EQ(lock->addPeer("a@t", 0)->getDCType(), 4);
  EXPECT_EQ(lock->getDirectConnectType("a@t"), 4);
  EXPECT_EQ(lock->getDirectConnectType("nobody"), 4);
}

TEST_F(Conference, RoleConferenceRolesAndWhatTheSenderSends) {
  ConferenceLock lock;
  Make(lock, 5, 3, "boss@t");
  EXPECT_EQ(lock->getOwnRole(), 1);
  auto sender = WithSender(lock.conference());
  lock->spotMediaStreamSendState();
  EXPECT_EQ(lock->getEffectiveFilter() & 0x300, 0u);
  EXPECT_EQ(lock->getLeaderType("boss@t"), 1);
  lock.Unlock();

  Make(lock, 5, 3);
  EXPECT_EQ(lock->getOwnRole(), 2);
  WithSender(lock.conference());
  lock->spotMediaStreamSendState();
  EXPECT_EQ(lock->getEffectiveFilter() & 0x300, 0x300u);
  EXPECT_EQ(lock->getLeaderType(kMe), 1);
}

TEST_F(Conference, RoleMediaFilterTable) {
  struct Row {
    int role;
    bool notSending;
    bool audioOnly;
    uint64_t expected;
  } rows[] = {
      {1, false, false, 0x000}, {2, false, false, 0x300}, {2, true, false, 0x000},
      {2, false, true, 0x100},  {5, false, false, 0x100}, {0, false, true, 0x100},
      {0, false, false, 0x300}, {3, true, false, 0x300},  {4, false, true, 0x100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "role " << row.role << " notSending " << row.notSending
                                    << " audio " << row.audioOnly);
    ConferenceLock lock;
    Make(lock, 5, 3, kMe, row.audioOnly);
    auto sender = WithSender(lock.conference());
    conference::RoleInfoHolder info;
    info.info =
        conference::ParticipantInfoHolder(row.role | (row.notSending ? 0x100 : 0), false, 0x10001);
    lock->onRoleEventOccured(kMe, true, row.role, 3, 0, info);
    EXPECT_EQ(lock->getOwnRole(), row.role);
    EXPECT_EQ(lock->getEffectiveFilter() & 0x300, row.expected);
    // Events other than a role change do nothing.
    info.info.role = 7;
    lock->onRoleEventOccured(kMe, true, 7, 2, 0, info);
    EXPECT_EQ(lock->getOwnRole(), row.role);
    lock.Unlock();
    cm->StorageClean();
  }
}

TEST_F(Conference, FilterChangesDriveCaptureAndThePodiumClock) {
  ConferenceLock lock;
  Make(lock, 5);
  auto sender = WithSender(lock.conference());
  // The send stream holds a real capture slot and audio connector; both switches start marked
  // with what no filter change here would set, so that a switch left alone shows.
  hx::testing::RecordingMeetingTools tools;
  auto slot = std::make_shared<HX_VideoCaptureSlotBase>();
  auto connector = std::make_shared<HX_AudioConnector>();
  tools.captureSlot = slot;
  tools.connector = connector;
  lock->initSender(sender, &tools);
  ASSERT_TRUE(sender->AcquireHardware());
  const auto roles = [&] {
    return std::make_pair(slot->GetRoleVideoCapture(), connector->GetAudioCapturerRole());
  };
  slot->OnRoleVideoCapture(true);
  connector->SetAudioCapturerRole(7);
  lock->setRoleMediaFilter(0x200, false);
  EXPECT_EQ(roles(), std::make_pair(false, 7));
  EXPECT_NE(lock->getPodiumStart(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  // With the listeners filter 0 the capture stays alone and the clock stops.
  slot->OnRoleVideoCapture(true);
  lock->setListenersFilter(0);
  EXPECT_EQ(roles(), std::make_pair(true, 0));
  EXPECT_EQ(lock->getPodiumStart(), 0u);
  EXPECT_GE(lock->getPodiumTotal(), 30u);
  connector->SetAudioCapturerRole(7);
  lock->setRoleMediaFilter(0x200, true);
  lock->setRoleMediaFilter(0x100, false);
  EXPECT_EQ(roles(), std::make_pair(true, 7));
  EXPECT_EQ(lock->getPodiumStart(), 0u);
  EXPECT_TRUE(sender->ReleaseHardware());
}

TEST_F(Conference, StatisticsFromTheStreamBlocksAbove2GiB) {
  // Only the samples given below count.
  cm->setCpuLoadMeasurer(nullptr);
  ConferenceLock lock;
  Make(lock, 5);
  lock->setSID("room@srv#1", "");
  conference::Statistics none;
  EXPECT_FALSE(lock->getConfStatistics(none));  // no sender
  auto sender = std::make_shared<FixedBlockSender>();
  lock->setSender(sender);
  EXPECT_FALSE(lock->getConfStatistics(none));  // the sender has no block
  stream::TConferenceStatistics block;
  block.durationMs = 10999;
  block.bytesSent = 0xC0000000u;  // 3 GiB
  block.videoWidth = 640;
  block.frameRate = 25.0;
  sender->setBlock(block);
  const struct {
    const char* peer;
    uint32_t bytes, jitter, lost;
  } receivers[] = {{"a@t", 2048u * 1024u, 10, 5}, {"b@t", 0xA0000000u, 20, 1}};
  for (const auto& r : receivers) {
    auto receiver = std::make_shared<FixedBlockReceiver>(r.peer, kMe);
    lock->InsertReceiver(r.peer, receiver);
    stream::TConferenceStatistics rb;
    rb.bytesRecv = r.bytes;
    rb.jitter = r.jitter;
    rb.lostPackets = r.lost;
    receiver->setBlock(rb);
  }
  lock->updateCpuLoad(10);
  lock->updateCpuLoad(21);

  conference::Statistics st;
  ASSERT_TRUE(lock->getConfStatistics(st));
  EXPECT_EQ(st.sid, "room@srv#1");
  EXPECT_EQ(st.login, kMe);
  EXPECT_EQ(st.sentKBytes, 0xC0000000u >> 10);
  const uint32_t recvKBytes = (2048u * 1024u + 0xA0000000u) >> 10;
  EXPECT_EQ(st.recvKBytes, recvKBytes);
  EXPECT_EQ(st.base.size, 64u);
  EXPECT_EQ(st.base.durationMs, 10);
  // Never on the podium, but it sent: the podium time is the duration.
  EXPECT_EQ(st.base.podiumSec, 10u);
  EXPECT_EQ(st.base.bytesSent, (0xC0000000u >> 10) * 8u / 11u);
  EXPECT_EQ(st.base.bytesRecv, recvKBytes * 8u / 11u);
  EXPECT_EQ(st.base.jitter, 15u);
  EXPECT_EQ(st.base.lostPackets, 6u);
  EXPECT_EQ(st.base.cpuLoad, (31u + 1u) / 3u);
  EXPECT_EQ(st.base.videoWidth, 640u);
  EXPECT_EQ(st.base.frameRate, 25.0);
}

TEST_F(Conference, StatisticsPodiumTimeAndOddDurations) {
  struct Row {
    const char* name;
    int32_t durationMs;
    uint32_t bytesSent;
    uint32_t senderPodium;
    uint32_t podium;
    uint32_t rate;
  } rows[] = {
      {"nothing sent keeps the sender's podium", 5000, 0, 7, 7, 0},
      {"a negative duration divides by one", -1000, 8192, 0, 0, 64},
      {"exactly 2 GiB", 2000, 0x80000000u, 0, 2, (0x80000000u >> 10) * 8u / 3u},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ConferenceLock lock;
    Make(lock, 5);
    auto sender = std::make_shared<FixedBlockSender>();
    lock->setSender(sender);
    stream::TConferenceStatistics block;
    block.durationMs = row.durationMs;
    block.bytesSent = row.bytesSent;
    block.podiumSec = row.senderPodium;
    sender->setBlock(block);
    conference::Statistics st;
    ASSERT_TRUE(lock->getConfStatistics(st));
    EXPECT_EQ(st.base.podiumSec, row.podium);
    EXPECT_EQ(st.base.bytesSent, row.rate);
    lock.Unlock();
    cm->StorageClean();
  }
}

TEST_F(Conference, ParticipantListsOfEveryType) {
  const std::string me = kMe;
  struct Row {
    const char* name;
    HX_ParticipantListType type;
    std::vector<std::string> list;
    bool result;
    std::set<std::string> changed;
    std::set<std::string> peersAfter;
    bool keyFrame;
  } rows[] = {
      {"full list",
       0,
       {"a@t", "e@t", "c@t/2", "d@t/5", me, ""},
       true,
       {"x@t", "e@t", "c@t/2", me},
       {"a@t", "c@t/2", "d@t", "e@t"},
       true},
      {"full list, no additions", 1, {"a@t"}, true, {"x@t"}, {"a@t", "c@t", "d@t"}, false},
      {"additions", 2, {"x@t", "e@t"}, true, {"e@t"}, {"a@t", "c@t", "d@t", "e@t", "x@t"}, true},
      {"removals", 3, {"a@t", "d@t", "zz@t"}, true, {"a@t"}, {"c@t", "d@t", "x@t"}, false},
      {"updates", 4, {"d@t"}, true, {"d@t"}, {"a@t", "c@t", "d@t", "x@t"}, true},
      {"unknown type", 5, {"e@t"}, false, {}, {"a@t", "c@t", "d@t", "x@t"}, false},
      {"an empty id names nobody", 2, {""}, false, {}, {"a@t", "c@t", "d@t", "x@t"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ConferenceLock lock;
    Make(lock, 5);
    auto sender = WithSender(lock.conference());
    // Key-frame requests go out through the send stream's handler.
    hx::testing::Events events;
    hx::testing::Registry registry;
    auto* handler = new hx::testing::RecordingSendHandler(&events, &registry);
    sender->setConnectionHandler(handler);
    lock->addPeer("a@t", 6);
    lock->addPeer("x@t", 6);
    lock->addPeer("c@t", 4);
    lock->addPeer("d@t", 0);
    conference::PartInfoMap list;
    for (const std::string& id : row.list) {
      conference::PartInfo part;
      part.role = 2 | 0x100;
      part.deviceStatus = 77;
      part.text = "Name";
      list.emplace(id, part);
    }
    conference::ParticipantListUpdateInfo info;
    EXPECT_EQ(lock->setConferenceIdList(list, row.type, info), row.result);
    EXPECT_EQ(info.ids, row.changed);
    std::set<std::string> peers;
    for (const auto& [id, peer] : lock->peers()) peers.insert(id);
    EXPECT_EQ(peers, row.peersAfter);
    const auto commands = handler->frames(HX_MediaStreamStatistics::kCommand);
    EXPECT_EQ(commands.size(), row.keyFrame ? 1u : 0u);
    for (const auto& frame : commands) EXPECT_EQ(frame.command().code, HX_Cmd_RequestKeyFrame);
    for (const std::string& id : row.changed) {
      if (const conference::Peer* p = lock->getPeer(id)) {
        EXPECT_EQ(p->getPeerState(), 6);
        EXPECT_EQ(p->deviceStatus, 77);
        EXPECT_EQ(p->getRole(), 2);
        EXPECT_EQ(p->text, "Name");
      }
    }
    if (row.changed.count(me) != 0) EXPECT_EQ(lock->getDeviceStatus(me), 77);
    lock.Unlock();
    cm->StorageClean();
  }
}

TEST_F(Conference, ParticipantListsOutsideARunningGroupConference) {
  ConferenceLock lock;
  Make(lock, 0);
  lock->addPeer("p@t", 4);
  conference::PartInfo part;
  part.deviceStatus = 5;
  conference::PartInfoMap list{{"p@t", part}, {"q@t", part}};
  conference::ParticipantListUpdateInfo info;
  // A call: only a type-4 list updates its first listed peer.
  EXPECT_TRUE(lock->setConferenceIdList(list, 4, info));
  EXPECT_EQ(lock->getPeer("p@t")->deviceStatus, 5);
  EXPECT_EQ(lock->getPeer("q@t"), nullptr);
  EXPECT_TRUE(lock->setConferenceIdList(list, 0, info));
  EXPECT_TRUE(info.ids.empty());
  lock->setState(lock, 3);
  EXPECT_FALSE(lock->setConferenceIdList(list, 4, info));
}

TEST_F(Conference, RenamingOntoAKnownPeerKeepsThePeerThatWasThere) {
  ConferenceLock lock;
  Make(lock, 5);
  lock->addPeer("old@t", 6)->deviceStatus = 1;
  lock->addPeer("new@t", 2)->deviceStatus = 2;
  lock->ManageInReqvs("old@t", true, false);
  lock->ManageOutgoingControls("old@t", true, false);
  conference::Peer* kept = lock->renamePeer("old@t", "new@t");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->getId(), "new@t");
  EXPECT_EQ(kept->deviceStatus, 2);
  EXPECT_EQ(lock->peers().size(), 1u);
  EXPECT_FALSE(lock->isIncomingControlRequestPending("old@t"));
  EXPECT_FALSE(lock->isUnderMyControl("old@t"));
  EXPECT_EQ(lock->renamePeer("gone@t", "x@t"), nullptr);
  EXPECT_EQ(lock->renamePeer("new@t", "new@t"), kept);
  // A plain rename moves the content and the display name.
  lock->getPeer("new@t")->setDisplayName("Shown");
  conference::Peer* moved = lock->renamePeer("new@t", "newer@t");
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->getDisplayName(), "Shown");
  EXPECT_EQ(moved->deviceStatus, 2);
}

TEST_F(Conference, CallLinkMatching) {
  struct Row {
    const char* name;
    HX_Conference_Type type;
    const char* link;
    bool expected;
  } rows[] = {
      {"call: the callee", 0, "peer@test.invalid", true},
      {"call: someone else", 0, "other@test.invalid", false},
      {"call: the own login", 0, kMe, true},
      {"call: a conference link never", 0, "\\c\\room", false},
      {"call: empty", 0, "", false},
      {"group: conference id without server", 5, "\\c\\ROOM", true},
      {"group: conference id with server", 5, "\\c\\room@SRV#1", true},
      {"group: other conference", 5, "\\c\\other", false},
      {"group: empty conference id", 5, "\\c\\", false},
      {"group: the owner", 5, "boss@test.invalid", true},
      {"group: an operator", 5, "lead@test.invalid", true},
      {"group: a participant", 5, "plain@test.invalid", false},
      {"group: unknown", 5, "who@test.invalid", false},
      {"group: the own login", 5, kMe, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ConferenceLock lock;
    Make(lock, row.type, 0, row.type == 0 ? kMe : "boss@test.invalid");
    lock->setSID("room@srv#1", "");
    lock->setCallId(row.type == 0 ? "peer@test.invalid" : "room@srv#1");
    if (row.type != 0) {
      lock->addPeer("lead@test.invalid", 6)->role = 2;
      lock->addPeer("plain@test.invalid", 6)->role = 1;
    }
    HXUriProtocol uri;
    uri.setCallId(row.link);
    EXPECT_EQ(lock->isConferenceWithCallId(uri), row.expected);
    lock.Unlock();
    cm->StorageClean();
  }
}

TEST_F(Conference, UnknownIdsAndOwnDefaults) {
  ConferenceLock lock;
  Make(lock, 5);
  EXPECT_EQ(lock->getConferenceIdRole("nobody"), -1);
  EXPECT_EQ(lock->getDeviceStatus("nobody"), 0x10001);
  EXPECT_EQ(lock->getLeaderType("nobody"), 0);
  EXPECT_EQ(lock->getConferenceIdRole(kMe), 0);
  lock->setDeviceStatus("nobody", 3);
  EXPECT_EQ(lock->peers().size(), 0u);
  // The device status is updated only while joined.
  EXPECT_EQ(lock->updateDeviceStatus(5), 5u);
  lock->setState(lock, 2);
  EXPECT_EQ(lock->updateDeviceStatus(5), 0xFFFFFFFFu);
  EXPECT_EQ(lock->updateDeviceStatus(6), 5u);
  std::set<conference::PeerId> ids;
  lock->addPeer("in@t", 6);
  lock->addPeer("out@t", 4);
  lock->getConferenceIdList(ids);
  EXPECT_EQ(ids,
            (std::set<conference::PeerId>{conference::PeerId(kMe), conference::PeerId("in@t")}));
  // Flags change by compare-exchange and answer the old word.
  const uint32_t old = lock->flags();
  EXPECT_EQ(lock->flagOr(0x40), old);
  EXPECT_TRUE(lock->isFlag(0x40 | old));
  EXPECT_EQ(lock->flagAnd(~0x40u), old | 0x40);
  EXPECT_FALSE(lock->isFlag(0x40));
}

}  // namespace
