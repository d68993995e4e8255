// The two stream-control bases of a conference, with real streams: filters and capture switches
// (on a send stream holding a real capture slot and audio connector), the receive pool's
// bookkeeping, disconnection and pool statistics. Streams that are busy or will not stop are real
// ones whose connection trial is still running, on the network loop.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "core/conference/control/recording_meeting_tools.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/video/video_capture_slot.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/stream_test_util.h"

namespace hx::testing {
namespace {

using StreamCtl = LoopFixture;
using ReceiveRig = StreamRig<RecordingReceiveHandler>;

std::shared_ptr<HX_Conference> MakeConference() {
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
  conference->setConferenceType(5, 0, 0, false);
  return conference;
}

std::shared_ptr<HX_ReceiverBase> Receiver(const std::string& peer) {
  return std::make_shared<HX_ReceiverBase>(peer, "me@t");
}

// Puts the rig's stream in a shutdown that cannot complete while its trial is held (0x20 set).
void HoldInShutdown(ReceiveRig& rig, HX_MediaStreamBase& stream) {
  rig.registry.hold = true;
  ASSERT_TRUE(stream.startConnection("key", 0));
  ASSERT_FALSE(stream.shutdownStream());
  ASSERT_EQ(stream.getStateFlags(), HX_MediaStreamBase::kShuttingDown);
}

TEST_F(StreamCtl, WithoutStreamsEverythingIsDown) {
  auto conference = MakeConference();
  ConferenceLock lock;
  EXPECT_TRUE(conference->DisconnectSender(lock));
  EXPECT_TRUE(conference->DisconnectReceivers(lock));
  EXPECT_TRUE(conference->disconnectStreams(lock));
  EXPECT_EQ(conference->RequestKeyFrame(), 0);
  stream::TConferenceStatistics block;
  block.jitter = 5;
  EXPECT_TRUE(conference->getRcvPoolStatistics(block));
  const stream::TConferenceStatistics zero;
  EXPECT_EQ(std::memcmp(&block, &zero, sizeof(block)), 0);
  EXPECT_EQ(conference->getRunningReceiversCount(), 0u);
  EXPECT_EQ(conference->GetFltrEnabled(nullptr), 0u);
  EXPECT_EQ(conference->getListenersFilter(), 0xF00u);
  EXPECT_EQ(conference->getSendFilter(), 0xF00u);
}

TEST_F(StreamCtl, SenderCaptureFollowsTheChangedBitsOnly) {
  auto conference = MakeConference();
  RecordingMeetingTools tools;
  auto slot = std::make_shared<HX_VideoCaptureSlotBase>();
  auto connector = std::make_shared<HX_AudioConnector>();
  tools.captureSlot = slot;
  tools.connector = connector;
  auto sender = std::make_shared<HX_SenderBase>();
  sender->SetStreamCapabilites(nullptr, nullptr, nullptr, "me@t", "srv");
  conference->initSender(sender, &tools);
  ASSERT_TRUE(sender->AcquireHardware());
  const auto roles = [&] {
    return std::make_pair(slot->GetRoleVideoCapture(), connector->GetAudioCapturerRole());
  };
  // Marks both switches with the opposite of what the filter says, so that a switch that is
  // left alone shows.
  const auto mark = [&](bool video, int audio) {
    slot->OnRoleVideoCapture(video);
    connector->SetAudioCapturerRole(audio);
  };
  mark(false, 0);
  conference->onSenderStart();
  EXPECT_EQ(roles(), std::make_pair(true, 1));
  // Lifting the video bit while audio stays switches only the video capture.
  mark(true, 0);
  conference->setRoleMediaFilter(0x200, false);
  EXPECT_EQ(roles(), std::make_pair(false, 0));
  // The server lets only video through: audio goes off, video is left alone.
  mark(true, 1);
  conference->setListenersFilter(0x200);
  EXPECT_EQ(roles(), std::make_pair(true, 0));
  EXPECT_EQ(conference->getEffectiveFilter(), 0u);
  mark(false, 1);
  conference->setRoleMediaFilter(0x300, true);
  EXPECT_EQ(roles(), std::make_pair(true, 1));
  HXCapabilites caps;
  caps.sndWidth = 640;
  EXPECT_TRUE(conference->SetMyCaps(caps));
  EXPECT_EQ(conference->getMyCaps().sndWidth, 640u);
  EXPECT_TRUE(sender->ReleaseHardware());
}

TEST_F(StreamCtl, ReceivePoolBookkeeping) {
  auto conference = MakeConference();
  auto first = Receiver("a@t");
  EXPECT_EQ(conference->InsertReceiver("a@t", first), first);
  EXPECT_EQ(conference->InsertReceiver("a@t", Receiver("a@t")), first);  // the earlier one wins
  std::shared_ptr<HX_ReceiverBase> out;
  EXPECT_TRUE(conference->getReceiver("a@t", out));
  EXPECT_EQ(out, first);
  EXPECT_FALSE(conference->getReceiver("b@t", out));
  // A busy stream saves the start information; an idle one applies the filter.
  {
    ReceiveRig rig(first.get());
    HoldInShutdown(rig, *first);
    EXPECT_FALSE(conference->initReceiverCheck(first, "a@t", {"net", "key", 0xD00}));
    EXPECT_TRUE(conference->deferredReceiver("a@t"));
    EXPECT_EQ(conference->getRunningReceiversCount(), 1u);
  }
  ASSERT_EQ(first->getStateFlags(), 0u);
  HX_ReceiversStreamPoolCtl::NextReceiverInfoHolder saved;
  EXPECT_TRUE(conference->getSavedReceiver("a@t", saved));
  EXPECT_EQ(saved.networkId, "net");
  EXPECT_EQ(saved.target, "key");
  EXPECT_EQ(saved.filter, 0xD00u);
  EXPECT_FALSE(conference->getSavedReceiver("a@t", saved));
  EXPECT_TRUE(conference->initReceiverCheck(first, "a@t", {"net", "key", 0xF00}));
  EXPECT_EQ(conference->GetFltrEnabled("a@t"), 0xF00u);
  // Renaming moves the stream and names its peer anew.
  EXPECT_TRUE(conference->renameReceiver("a@t", "a@t/2"));
  EXPECT_EQ(conference->Receiver("a@t"), nullptr);
  EXPECT_EQ(conference->Receiver("a@t/2"), first);
  EXPECT_EQ(first->GetSenderId(), "a@t/2");  // the peer, as the receive side reads it
  EXPECT_EQ(first->GetReceiverId(), "me@t");
  EXPECT_FALSE(conference->renameReceiver("gone", "x"));
  conference->InsertReceiver("b@t", Receiver("b@t"));
  EXPECT_FALSE(conference->renameReceiver("b@t", "a@t/2"));  // taken: the moved one is dropped
  EXPECT_EQ(conference->Receiver("a@t/2"), first);
  EXPECT_EQ(conference->receiverCount(), 1u);
  // DisconnectReceiver keeps the stream for reuse and asks for a saved start.
  EXPECT_TRUE(conference->DisconnectReceiver("a@t/2", false));
  EXPECT_EQ(conference->receiverCount(), 1u);
  EXPECT_EQ(conference->mediaStandIn().calls(),
            std::vector<std::string>{"scheduleCheckSavedReceiver a@t/2"});
  EXPECT_TRUE(conference->DisconnectReceiver("nobody", true));
}

TEST_F(StreamCtl, DisconnectReceiversKeepsTheOnesThatStayUpAndSumsTheOthers) {
  auto conference = MakeConference();
  auto up = Receiver("a@t");
  auto down = Receiver("b@t");
  ReceiveRig upRig(up.get());
  ReceiveRig downRig(down.get());
  up->setStreamConfStat(1000, 1, 1000);
  upRig.handler->jitter = 30;
  upRig.handler->lostPackets = 3;
  down->setStreamConfStat(1000, 1, 500);
  downRig.handler->jitter = 10;
  downRig.handler->lostPackets = 1;
  HoldInShutdown(upRig, *up);
  conference->InsertReceiver("a@t", up);
  conference->InsertReceiver("b@t", down);
  ConferenceLock lock;
  EXPECT_FALSE(conference->DisconnectReceivers(lock));
  EXPECT_EQ(conference->receiverCount(), 1u);
  EXPECT_EQ(conference->Receiver("a@t"), up);
  // The finished stream's figures stay in the totals; the jitter is the mean of both.
  stream::TConferenceStatistics total;
  ASSERT_TRUE(conference->getRcvPoolStatistics(total));
  EXPECT_EQ(total.bytesRecv, 1500u);
  EXPECT_EQ(total.lostPackets, 4u);
  EXPECT_EQ(total.jitter, 20u);
  upRig.Finish();
  conference->destroyResources();
  EXPECT_EQ(conference->receiverCount(), 0u);
}

TEST_F(StreamCtl, DisconnectReceiversFollowsAMapThatChangesWhileUnlocked) {
  auto conference = MakeConference();
  auto a = Receiver("a@t");
  auto c = Receiver("c@t");
  auto late = Receiver("aa@t");
  ReceiveRig rig(a.get());
  ASSERT_TRUE(rig.Connect());
  // While the conference lock is released around a's shutdown (which closes its connection),
  // a stream is added right after a and c is renamed to d.
  bool changed = false;
  rig.handler->onDone = [&] {
    if (std::exchange(changed, true)) return;
    conference->InsertReceiver("aa@t", late);
    conference->renameReceiver("c@t", "d@t");
  };
  // Each stream counts a different number of bytes, so the totals show who was collected.
  a->setStreamConfStat(1000, 1, 1);
  late->setStreamConfStat(1000, 1, 10);
  c->setStreamConfStat(1000, 1, 100);
  auto b = Receiver("b@t");
  b->setStreamConfStat(1000, 1, 1000);
  conference->InsertReceiver("a@t", a);
  conference->InsertReceiver("b@t", b);
  conference->InsertReceiver("c@t", c);
  ConferenceLock lock;
  // a goes on shutting down in jobs and stays; the others leave, each collected once.
  EXPECT_FALSE(conference->DisconnectReceivers(lock));
  EXPECT_EQ(conference->receiverCount(), 1u);
  EXPECT_EQ(conference->Receiver("a@t"), a);
  stream::TConferenceStatistics total;
  ASSERT_TRUE(conference->getRcvPoolStatistics(total));
  EXPECT_EQ(total.bytesRecv, 1111u);
}

}  // namespace
}  // namespace hx::testing
