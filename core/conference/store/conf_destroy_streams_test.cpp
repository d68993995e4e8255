// The end of a conference that has a stream, against the fake conferencing server: alice's
// conference service (HX_ConfManager over her real transport) creates a room at the server, the
// room gets a real send stream and, in one case, a real receive stream of bob's, their connection
// trials held so that they still run when the room ends. The server answers the end with "ConferenceDeleted"; the room must then stay
// undestroyed until its streams stop, and only then report its statistics to the server's "LOG"
// service, once, before the destroyed signal.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/streams/stream_test_util.h"

namespace hx::testing {
namespace {


// Records the destroyed signal with how many statistics reports had been made by then.
struct DestroyOrder {
  void On(int id, const char* sid) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(id, sid != nullptr ? sid : "");
    reportsBefore.push_back(manager->sentStatistics().size());
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
  }
  HX_ConfManager* manager = nullptr;
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> seen;
  std::vector<size_t> reportsBefore;
};

class ConfDestroyStreams : public ConfServiceFixture {
 protected:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    // The server answers well within the delete timer; the destroy retries come quickly.
    cm->setDelaysForTest(HX_ConfStorage::kDeleteTimerMs, 20);
    order.manager = cm.get();
    cm->conferenceDestroyed.Connect(&order, &DestroyOrder::On);
  }
  void TearDown() override {
    cm->conferenceDestroyed.Disconnect(&order, &DestroyOrder::On);
    // The rigs finish on the network loop, which the services fixture stops.
    rig.reset();
    receiveRig.reset();
    ExpectServerSatisfied();
    ConfServiceFixture::TearDown();
  }

  // A room created at the server and joined; its id, its SID in `sid`.
  int32_t Room(std::string* sid) {
    const size_t before = m_conference->Sids().size();
    EXPECT_TRUE(cm->CreateConference("room", "", 16, 0, 5, 0, 0, false));
    EXPECT_TRUE(WaitUntil([&] { return m_conference->Sids().size() == before + 1; }));
    ConferenceLock lock;
    EXPECT_TRUE(WaitUntil([&] {
      HXAutoLock guard(cm->StorageLock());
      const std::string last = cm->lastConferenceSID();
      HX_Conference* c = last.empty() ? nullptr : cm->getConferenceNL(last);
      return c != nullptr && c->isVerified();
    }));
    *sid = cm->lastConferenceSID();
    if (!cm->getConferenceLock(lock, *sid)) return 0;
    lock->setState(lock, ::conference::kStateJoined);
    return lock->getId();
  }

  // Gives the room a send stream with 50 KiB sent over 9 s that runs until rig->registry.release().
  void RunningSender(int32_t id) {
    // The rigs of an earlier room work on that room's streams: they go first.
    rig.reset();
    receiveRig.reset();
    receiver.reset();
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->mediaStandIn().setAnswer("createSender", true);
    sender = lock->createSender(kAlice, "");
    lock.Unlock();
    ASSERT_NE(sender, nullptr);
    sender->setStreamConfStat(1000, 2, 20 * 1024);
    sender->setStreamConfStat(10000, 2, 30 * 1024);
    rig = std::make_unique<StreamRig<RecordingSendHandler>>(sender.get());
    rig->registry.hold = true;
    ASSERT_TRUE(sender->startConnection("key", 0));
  }

  // Gives the room bob's receive stream: 80 KiB received, jitter 7 and 3 packets lost as its
  // handler reports them; it runs until receiveRig->registry.release().
  void RunningReceiver(int32_t id) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->mediaStandIn().setAnswer("createReceiver", true);
    receiver = lock->createReceiver(kAlice, kBob);
    lock.Unlock();
    ASSERT_NE(receiver, nullptr);
    receiver->setStreamConfStat(1000, 2, 80 * 1024);
    receiveRig = std::make_unique<StreamRig<RecordingReceiveHandler>>(receiver.get());
    receiveRig->handler->jitter = 7;
    receiveRig->handler->lostPackets = 3;
    receiveRig->registry.hold = true;
    ASSERT_TRUE(receiver->startConnection("key", 0));
  }

  bool InTable(int32_t id) {
    HXAutoLock guard(cm->StorageLock());
    return cm->getConferenceNL(id) != nullptr;
  }
  size_t DestroyListSize() {
    HXAutoLock guard(cm->StorageLock());
    return cm->destroyListSizeNL();
  }

  DestroyOrder order;
  std::shared_ptr<HX_SenderBase> sender;
  std::unique_ptr<StreamRig<RecordingSendHandler>> rig;
  std::shared_ptr<HX_ReceiverBase> receiver;
  std::unique_ptr<StreamRig<RecordingReceiveHandler>> receiveRig;
};

struct EndRow {
  const char* label;
  std::function<bool(HX_ConfManager&, const std::string& sid)> end;
  const char* method;  // what reaches the server
  const char* sidKey;  // where it names the room
  bool withReceiver;
};

TEST_F(ConfDestroyStreams, DestroyedOnlyAfterTheStreamsStopThenReportedOnce) {
  const std::vector<EndRow> rows = {
      {"hang-up", [](HX_ConfManager& m, const std::string& sid) {
         return m.Hangup(sid.c_str(), nullptr, false);
       }, "Hangup", "Conference", true},
      {"deleted, server told", [](HX_ConfManager& m, const std::string& sid) {
         return m.DeleteConference(sid.c_str(), true);
       }, "DeleteConference", "Name", true},
      // Nobody else sent: no receive stream, and the jitter of none is 0.
      {"send stream only", [](HX_ConfManager& m, const std::string& sid) {
         return m.DeleteConference(sid.c_str(), true);
       }, "DeleteConference", "Name", false},
  };
  for (const EndRow& row : rows) {
    SCOPED_TRACE(row.label);
    std::string sid;
    const int32_t id = Room(&sid);
    ASSERT_NE(id, 0);
    RunningSender(id);
    if (row.withReceiver) RunningReceiver(id);
    const size_t destroyedBefore = order.count();
    const size_t logsBefore = m_conference->Logged().size();

    ASSERT_TRUE(row.end(*cm, sid));
    ReceivedMessage told;
    ASSERT_TRUE(m_server->WaitForMessage(
        [&](const ReceivedMessage& m) {
          return m.method == row.method && TextOf(m.body, row.sidKey) == sid;
        },
        kTransportWaitMs, &told));
    // The server's "ConferenceDeleted" removes the room long before the delete timer would.
    ASSERT_TRUE(WaitUntil([&] { return !InTable(id); }));
    EXPECT_TRUE(sender->isRunning());
    if (receiver) EXPECT_TRUE(receiver->isRunning());

    // Several destroy retries pass while the streams run: nothing is destroyed or reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(order.count(), destroyedBefore);
    EXPECT_EQ(DestroyListSize(), 1u);
    EXPECT_EQ(m_conference->Logged().size(), logsBefore);

    rig->registry.release();
    if (receiveRig) receiveRig->registry.release();
    ASSERT_TRUE(WaitUntil([&] { return order.count() == destroyedBefore + 1; }));
    ASSERT_TRUE(WaitUntil([&] { return m_conference->Logged().size() == logsBefore + 1; }));
    // Later retries find nothing more to do.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_conference->Logged().size(), logsBefore + 1);
    EXPECT_EQ(DestroyListSize(), 0u);
    {
      std::lock_guard<std::mutex> lock(order.mutex);
      EXPECT_EQ(order.seen.back(), std::make_pair(static_cast<int>(id), sid));
      EXPECT_EQ(order.reportsBefore.back(), cm->sentStatistics().size());
    }

    const HX_Container logged = m_conference->Logged().back();
    EXPECT_EQ(TextOf(logged, "Method"), "LogPartStat");
    EXPECT_EQ(TextOf(logged, "Conference"), sid);
    EXPECT_EQ(TextOf(logged, "CallId"), kAlice);
    EXPECT_EQ(IntOf(logged, "BytesSent"), 50);
    EXPECT_EQ(IntOf(logged, "BytesRcvd"), row.withReceiver ? 80 : 0);
    stream::TConferenceStatistics block;
    size_t size = sizeof(block);
    ASSERT_TRUE(logged.GetValue("ConferenceBaseStat", HX_CNT_BINARY_VT, &block, size));
    ASSERT_EQ(size, sizeof(block));
    EXPECT_EQ(block.size, 64u);
    EXPECT_EQ(block.durationMs, 9);
    EXPECT_EQ(block.jitter, row.withReceiver ? 7u : 0u);
    EXPECT_EQ(block.lostPackets, row.withReceiver ? 3u : 0u);
    const stream::TConferenceStatistics kept = cm->sentStatistics().back().base;
    EXPECT_EQ(std::memcmp(&block, &kept, sizeof(block)), 0);
  }
}

}  // namespace
}  // namespace hx::testing
