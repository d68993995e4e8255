// The regular direct UDP list over a real cross connector: finished attempts crafted here (a
// UdpDirectHandler registered on the loopback socket and bound to a plain peer socket, with the
// round-trip time the trial would have measured) are taken from the conference's trial list, and
// the list's sends, receives and losses are watched from both ends.
#include "core/streams/udp_direct_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "core/streams/udp_direct_list_test_util.h"

namespace hx::streams {
namespace {

using testing::EventLog;
using testing::FarEnd;

constexpr char kPeerName[] = "bob@test.invalid";

// Keeps a crafted attempt's handler registered until the list takes it over.
class TrialOwner : public HandlerUDPRegistratorCallbacks {
 public:
  void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>&, bool ok) override {
    log.add("registered " + std::to_string(ok));
  }
  void assocFromAddrNotify(HandlerUDP*, bool ok) override {
    log.add("assoc " + std::to_string(ok));
  }
  EventLog log;
};

// The two media connections at once: records what the list tells them; on readiness it sends
// `payload` and stops asking.
class MediaConn : public MediaConnUdpDirectCallbacks {
 public:
  explicit MediaConn(const char* role) : m_role(role) {}
  bool getConferenceLock(ConferenceLock&) override { return false; }
  void onConnectionBreak() override { log.add(m_role + " break"); }
  void onHandlersStopped() override { log.add(m_role + " stopped"); }
  void onTimerExpired(uint32_t type) override {
    log.add(m_role + " timer " + std::to_string(type));
  }
  void onDataReceived(const uint8_t* data, size_t size) override {
    log.add(m_role + " data " + std::string(reinterpret_cast<const char*>(data), size));
  }
  bool onReadyToSend() override {
    log.add(m_role + " ready");
    if (list != nullptr) {
      sent = list->Send(payload.data(), payload.size());
      list->setSendState(false);
    }
    return true;
  }

  HX_ConnectionUdpDirect* list = nullptr;
  std::string payload = "media";
  std::atomic<size_t> sent{0};
  EventLog log;

 private:
  std::string m_role;
};

class UdpReglDirectStreamListTest : public testing::UdpListFixture {
 protected:
  void SetUp() override {
    UdpListFixture::SetUp();
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
    lock->addPeer(kPeerName, 0);
    list = std::make_shared<HX_ConnectionUdpDirect>(lock);
    list->setReceiver(&receiver);
    list->setSender(&sender);
    sender.list = list.get();
  }
  void TearDown() override {
    sender.list = nullptr;
    list.reset();
    UdpListFixture::TearDown();
  }

  // A finished attempt to `peer` with round-trip time `rtt`, handed to the trial list; returns
  // its handler id.
  uint32_t addFinishedAttempt(const FarEnd& peer, uint64_t rtt) {
    auto handler = std::make_shared<UdpDirectHandler>(connector.get(), ++m_inListId);
    handler->setRegistratorCallback(m_owner);
    connector->registerHandler(handler, socket->getSocketId(), peer.address(), false);
    EXPECT_TRUE(m_owner->log.waitFor("assoc 1", m_inListId));
    udp::TrialDirectConnection connection;
    connection.epn = static_cast<int32_t>(m_inListId);
    connection.local = socket->getBoundAddress();
    connection.remote = peer.address();
    connection.peerName = kPeerName;
    connection.socketId = socket->getSocketId();
    connection.rtt = rtt;
    const uint32_t id = handler->getHandlerUdpId();
    trialList->addFinishedAttempt(connection, std::move(handler));
    return id;
  }
  bool createConnList() {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, conferenceId));
    return list->createConnList(lock, kPeerName);
  }
  // Asks for readiness; the sender sends once. True when `peer` gets the datagram.
  bool sendReaches(const FarEnd& peer) {
    const size_t before = sender.log.count("sender ready");
    list->setSendState(true);
    if (!sender.log.waitFor("sender ready", before + 1)) return false;
    return peer.receive() == sender.payload;
  }

  MediaConn receiver{"receiver"};
  MediaConn sender{"sender"};
  std::shared_ptr<HX_ConnectionUdpDirect> list;

 private:
  std::shared_ptr<TrialOwner> m_owner = std::make_shared<TrialOwner>();
  uint32_t m_inListId = 0;
};

TEST_F(UdpReglDirectStreamListTest, LowestRoundTripTimeBecomesCurrentInEitherOrder) {
  for (const bool fastFirst : {false, true}) {
    SCOPED_TRACE(fastFirst ? "25 first" : "40 first");
    FarEnd slow, fast;
    if (fastFirst) addFinishedAttempt(fast, 25);
    addFinishedAttempt(slow, 40);
    if (!fastFirst) addFinishedAttempt(fast, 25);
    ASSERT_TRUE(createConnList());
    EXPECT_TRUE(list->isConnected());
    EXPECT_TRUE(sendReaches(fast));
    EXPECT_EQ(sender.sent.load(), sender.payload.size());
    ASSERT_TRUE(list->stop());
  }
}

TEST_F(UdpReglDirectStreamListTest, LosingTheCurrentSwitchesAndTheLastReportsOneBreak) {
  FarEnd first, second;
  const uint32_t firstId = addFinishedAttempt(first, 10);
  const uint32_t secondId = addFinishedAttempt(second, 30);
  ASSERT_TRUE(createConnList());
  ASSERT_TRUE(sendReaches(first));

  connector->untieHandler(firstId);
  drain();
  ASSERT_TRUE(sendReaches(second));
  EXPECT_EQ(receiver.log.count("receiver break"), 0u);

  connector->untieHandler(secondId);
  ASSERT_TRUE(receiver.log.waitFor("receiver break"));
  ASSERT_TRUE(sender.log.waitFor("sender break"));
  connector->removeHandler(secondId);  // a removal after the loss reports nothing more
  connector->removeHandler(firstId);
  ASSERT_TRUE(::hx::testing::WaitFor(
      [&] { return connector->getHandler(firstId) == nullptr; }, 10000));
  EXPECT_EQ(receiver.log.count("receiver break"), 1u);
  EXPECT_TRUE(list->isConnected()) << "stays connected until stopped";
}

// On the invited side the path on which the peer spoke last becomes current; the inviting side
// keeps its own choice.
TEST_F(UdpReglDirectStreamListTest, OnlyTheInvitedSideFollowsThePeersPath) {
  for (const bool invited : {false, true}) {
    SCOPED_TRACE(invited ? "invited" : "inviting");
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
      if (invited) lock->flagOr(HX_Conference::kFlagInvited);
    }
    FarEnd fast, slow;
    addFinishedAttempt(fast, 10);
    addFinishedAttempt(slow, 30);
    ASSERT_TRUE(createConnList());
    const size_t before = receiver.log.count("receiver data from slow");
    slow.sendTo(socket->getBoundAddress(), "from slow");
    ASSERT_TRUE(receiver.log.waitFor("receiver data from slow", before + 1));
    EXPECT_TRUE(sendReaches(invited ? slow : fast));
    ASSERT_TRUE(list->stop());
  }
}

TEST_F(UdpReglDirectStreamListTest, DatagramsAndTimersReachTheirMediaConnection) {
  FarEnd peer;
  addFinishedAttempt(peer, 0);
  ASSERT_TRUE(createConnList());
  peer.sendTo(socket->getBoundAddress(), "hello media");
  EXPECT_TRUE(receiver.log.waitFor("receiver data hello media"));
  list->startTimer(7, 1);
  list->startTimer(300, 1);
  EXPECT_TRUE(sender.log.waitFor("sender timer 7"));
  EXPECT_TRUE(receiver.log.waitFor("receiver timer 300"));
  EXPECT_EQ(sender.log.count("sender timer 300") + receiver.log.count("receiver timer 7"), 0u);
}

TEST_F(UdpReglDirectStreamListTest, SendBufferSizeIsTheSocketsAfterTheFirstReadiness) {
  const int wanted = 100000;
  ASSERT_EQ(setsockopt(socket->GetHandle(), SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted), 0);
  const uint64_t socketSize = static_cast<uint64_t>(socket->getSndBufSize());
  ASSERT_NE(socketSize, UdpReglDirectStreamList::kDefaultSndBufSize);
  FarEnd peer;
  addFinishedAttempt(peer, 5);
  EXPECT_EQ(list->getSndBufSize(), 32768u);
  ASSERT_TRUE(createConnList());
  EXPECT_EQ(list->getSndBufSize(), 32768u);
  ASSERT_TRUE(sendReaches(peer));
  EXPECT_EQ(list->getSndBufSize(), socketSize);
}

TEST_F(UdpReglDirectStreamListTest, NoFinishedAttemptLeavesTheListIdleAndStopStillReports) {
  EXPECT_FALSE(createConnList());
  EXPECT_FALSE(list->isConnected());
  EXPECT_TRUE(list->stop());
  EXPECT_EQ(receiver.log.count("receiver stopped"), 1u);
  EXPECT_EQ(sender.log.count("sender stopped"), 1u);
}

// A list that goes away gives its handlers back: the peer's address is free again, so its
// datagrams reach the default handler and a new handler can bind it.
TEST_F(UdpReglDirectStreamListTest, DestroyedListReleasesItsHandlers) {
  FarEnd peer;
  const uint32_t id = addFinishedAttempt(peer, 5);
  ASSERT_TRUE(createConnList());
  sender.list = nullptr;
  list.reset();
  ASSERT_TRUE(::hx::testing::WaitFor([&] { return connector->getHandler(id) == nullptr; }, 10000));
  const auto probe = registerProbe();
  peer.sendTo(socket->getBoundAddress(), "after");
  EXPECT_TRUE(probe->log.waitFor("recv after"));
  auto again = std::make_shared<testing::RecordingHandler>(connector.get());
  connector->registerHandler(again, socket->getSocketId(), peer.address(), false);
  EXPECT_TRUE(again->log.waitFor("assoc 1"));
}

}  // namespace
}  // namespace hx::streams
