// The two stream-control bases of a conference, with the stream stand-ins: filters and capture
// switches, the receive pool's bookkeeping, disconnection and pool statistics.
#include <gtest/gtest.h>

#include <cstring>

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/stream_stand_ins.h"

namespace {

std::shared_ptr<HX_Conference> MakeConference() {
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  conference->setConferenceType(5, 0, 0, false);
  return conference;
}

std::shared_ptr<HX_ReceiverBase> Receiver(const std::string& peer) {
  return std::make_shared<HX_ReceiverBase>(peer, "me@t");
}

TEST(StreamCtl, WithoutStreamsEverythingIsDown) {
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

TEST(StreamCtl, SenderCaptureFollowsTheChangedBitsOnly) {
  auto conference = MakeConference();
  auto sender = std::make_shared<HX_SenderBase>();
  conference->setSender(sender);
  conference->onSenderStart();
  EXPECT_EQ(sender->calls(),
            (std::vector<std::string>{"SetRoleVideoCapture 1", "SetRoleAudioCapturer 1"}));
  // Lifting the video bit while audio stays switches only the video capture.
  conference->setRoleMediaFilter(0x200, false);
  EXPECT_EQ(sender->calls().back(), "SetRoleVideoCapture 0");
  EXPECT_EQ(sender->calls().size(), 3u);
  // The server lets only video through: audio goes off, video stays off.
  conference->setListenersFilter(0x200);
  EXPECT_EQ(sender->calls().back(), "SetRoleAudioCapturer 0");
  EXPECT_EQ(conference->getEffectiveFilter(), 0u);
  conference->setRoleMediaFilter(0x300, true);
  EXPECT_EQ(sender->calls().back(), "SetRoleVideoCapture 1");
  EXPECT_EQ(sender->calls().size(), 5u);
  HXCapabilites caps;
  caps.sndWidth = 640;
  EXPECT_TRUE(conference->SetMyCaps(caps));
  EXPECT_EQ(conference->getMyCaps().sndWidth, 640u);
}

TEST(StreamCtl, ReceivePoolBookkeeping) {
  auto conference = MakeConference();
  auto first = Receiver("a@t");
  EXPECT_EQ(conference->InsertReceiver("a@t", first), first);
  EXPECT_EQ(conference->InsertReceiver("a@t", Receiver("a@t")), first);  // the earlier one wins
  std::shared_ptr<HX_ReceiverBase> out;
  EXPECT_TRUE(conference->getReceiver("a@t", out));
  EXPECT_EQ(out, first);
  EXPECT_FALSE(conference->getReceiver("b@t", out));
  // A busy stream saves the start information; an idle one applies the filter.
  first->setStateFlags(4);
  EXPECT_FALSE(conference->initReceiverCheck(first, "a@t", {"net", "key", 0xD00}));
  EXPECT_TRUE(conference->deferredReceiver("a@t"));
  EXPECT_EQ(conference->getRunningReceiversCount(), 1u);
  first->setStateFlags(0);
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

TEST(StreamCtl, DisconnectReceiversKeepsTheOnesThatStayUpAndSumsTheOthers) {
  auto conference = MakeConference();
  auto up = Receiver("a@t");
  auto down = Receiver("b@t");
  stream::TConferenceStatistics upBlock;
  upBlock.bytesRecv = 1000;
  upBlock.jitter = 30;
  upBlock.lostPackets = 3;
  up->setStreamConfStatBlock(upBlock);
  stream::TConferenceStatistics downBlock;
  downBlock.bytesRecv = 500;
  downBlock.jitter = 10;
  downBlock.lostPackets = 1;
  down->setStreamConfStatBlock(downBlock);
  up->setShutdownAnswer(false);
  up->setStateFlags(1);
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
  conference->destroyResources();
  EXPECT_EQ(conference->receiverCount(), 0u);
}

TEST(StreamCtl, DisconnectReceiversFollowsAMapThatChangesWhileUnlocked) {
  auto conference = MakeConference();
  auto a = Receiver("a@t");
  auto c = Receiver("c@t");
  auto late = Receiver("aa@t");
  // While the conference lock is released around a's shutdown, a stream is added right after a
  // and c is renamed to d.
  a->setShutdownHook([&] {
    conference->InsertReceiver("aa@t", late);
    conference->renameReceiver("c@t", "d@t");
  });
  conference->InsertReceiver("a@t", a);
  conference->InsertReceiver("b@t", Receiver("b@t"));
  conference->InsertReceiver("c@t", c);
  ConferenceLock lock;
  EXPECT_TRUE(conference->DisconnectReceivers(lock));
  EXPECT_EQ(conference->receiverCount(), 0u);
  EXPECT_EQ(late->callCount("shutdownStream"), 1u);
  EXPECT_EQ(c->callCount("shutdownStream"), 1u);  // visited once, under its new name
}

}  // namespace
