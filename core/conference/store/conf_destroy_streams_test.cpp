// The end of a conference that has streams, against the fake conferencing server: alice's
// conference service (HX_ConfManager over her real transport) creates a room at the server, the
// room gets a send stream and, in most cases, a receive stream of bob's, both still running when
// the room ends. The server answers the end with "ConferenceDeleted"; the room must then stay
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
#include "core/streams/stream_stand_ins.h"

namespace hx::testing {
namespace {

constexpr uint32_t kRunning = 0x12;  // connected, hardware acquired

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

  // Gives the room running streams whose shutdown goes on after the call returns.
  void RunningStreams(int32_t id, bool withReceiver) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->mediaStandIn().setAnswer("createSender", true);
    lock->mediaStandIn().setAnswer("createReceiver", true);
    sender = lock->createSender(kAlice, "");
    ASSERT_NE(sender, nullptr);
    stream::TConferenceStatistics sent;
    sent.durationMs = 9000;
    sent.bytesSent = 50 * 1024;
    sent.videoWidth = 640;
    sent.videoHeight = 360;
    sender->setStreamConfStatBlock(sent);
    sender->setShutdownAnswer(false);
    sender->setStateFlags(kRunning);
    receiver.reset();
    if (!withReceiver) return;
    receiver = lock->createReceiver(kAlice, kBob);
    ASSERT_NE(receiver, nullptr);
    stream::TConferenceStatistics received;
    received.bytesRecv = 80 * 1024;
    received.jitter = 7;
    received.lostPackets = 3;
    receiver->setStreamConfStatBlock(received);
    receiver->setShutdownAnswer(false);
    receiver->setStateFlags(kRunning);
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
  std::shared_ptr<HX_ReceiverBase> receiver;
};

struct EndRow {
  const char* label;
  std::function<bool(HX_ConfManager&, const std::string& sid)> end;
  const char* method;  // what reaches the server
  const char* sidKey;  // where it names the room
  bool withReceiver;
  uint32_t jitter;  // reported
  uint32_t recvKBytes;
};

TEST_F(ConfDestroyStreams, DestroyedOnlyAfterTheStreamsStopThenReportedOnce) {
  const std::vector<EndRow> rows = {
      {"hang-up", [](HX_ConfManager& m, const std::string& sid) {
         return m.Hangup(sid.c_str(), nullptr, false);
       }, "Hangup", "Conference", true, 7, 80},
      {"deleted, server told", [](HX_ConfManager& m, const std::string& sid) {
         return m.DeleteConference(sid.c_str(), true);
       }, "DeleteConference", "Name", true, 7, 80},
      // Nobody else ever sent: no receive stream, and the jitter of none is 0.
      {"send stream only", [](HX_ConfManager& m, const std::string& sid) {
         return m.DeleteConference(sid.c_str(), true);
       }, "DeleteConference", "Name", false, 0, 0},
  };
  for (const EndRow& row : rows) {
    SCOPED_TRACE(row.label);
    std::string sid;
    const int32_t id = Room(&sid);
    ASSERT_NE(id, 0);
    RunningStreams(id, row.withReceiver);
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
    EXPECT_GE(sender->callCount("shutdownStream"), 1u);
    if (receiver) EXPECT_GE(receiver->callCount("shutdownStream"), 1u);

    // Several destroy retries pass while the streams run: nothing is destroyed or reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(order.count(), destroyedBefore);
    EXPECT_EQ(DestroyListSize(), 1u);
    EXPECT_EQ(m_conference->Logged().size(), logsBefore);

    sender->setStateFlags(0);
    if (receiver) receiver->setStateFlags(0);
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
    EXPECT_EQ(IntOf(logged, "BytesRcvd"), static_cast<int32_t>(row.recvKBytes));
    stream::TConferenceStatistics block;
    size_t size = sizeof(block);
    ASSERT_TRUE(logged.GetValue("ConferenceBaseStat", HX_CNT_BINARY_VT, &block, size));
    ASSERT_EQ(size, sizeof(block));
    EXPECT_EQ(block.size, 64u);
    EXPECT_EQ(block.durationMs, 9);
    EXPECT_EQ(block.videoWidth, 640u);
    EXPECT_EQ(block.videoHeight, 360u);
    EXPECT_EQ(block.jitter, row.jitter);
    EXPECT_EQ(block.lostPackets, row.withReceiver ? 3u : 0u);
    const stream::TConferenceStatistics kept = cm->sentStatistics().back().base;
    EXPECT_EQ(std::memcmp(&block, &kept, sizeof(block)), 0);
  }
}

}  // namespace
}  // namespace hx::testing
