// The media stream's life cycle on the network loop's real worker pool, with the real handshake
// manager and conference lock. The far side is scripted: a supplier hands the manager fake trial
// connections, the test ends them (on the loop thread, where real trials report), a recording net
// handler builds fake regular connections from them and takes the stream lock as the real
// handlers do, and connections are destroyed on the loop after their recycling, as real sockets
// are. The test stream guards its hardware with a compare-exchange as the real streams do.

#include "core/streams/media_stream_base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/ios_log.h"
#include "core/base/tick_clock.h"
#include "core/conference/model/conference.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/stream_test_util.h"

namespace hx::testing {
namespace {

class TestStream : public HX_MediaStreamBase {
 public:
  explicit TestStream(Events* events) : m_events(events) {}
  ~TestStream() override { shutdownJobs(); }
  bool getStreamConfStat(stream::TConferenceStatistics& out) override {
    out.clear();
    return true;
  }
  HX_StreamClient_Type getMediaStreamType() const override { return 1; }
  void onStreamUnavailable(HX_NetTrialConnection*, hx::NetHandshakeConnectResult result) override {
    m_events->add("unavailable " + std::to_string(result));
  }
  bool AcquireHardware() override {
    m_events->add("AcquireHardware");
    if (gate) gate();
    uint32_t expected = 0;
    if (held.compare_exchange_strong(expected, 1)) acquisitions.fetch_add(1);
    return true;
  }
  bool ReleaseHardware() override {
    m_events->add("ReleaseHardware");
    uint32_t expected = 1;
    if (held.compare_exchange_strong(expected, 0)) releases.fetch_add(1);
    return true;
  }
  void notifyStreamShuttedDown() override {
    m_events->add("shutted down");
    notifications.fetch_add(1);
  }
  void onStartDataTransfer() override { m_events->add("onStartDataTransfer"); }
  void onNetConnectionDone() override { m_events->add("stream connection done"); }

  std::function<void()> gate;
  std::atomic<uint32_t> held{0};
  std::atomic<int> acquisitions{0};
  std::atomic<int> releases{0};
  std::atomic<int> notifications{0};

 private:
  Events* const m_events;
};

class MediaStreamLifeCycle : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
    Make();
  }
  void TearDown() override {
    Destroy();
    LoopFixture::TearDown();
  }
  void Make() {
    events = std::make_unique<Events>();
    supplier = std::make_unique<TrialSupplier>(&registry);
    stream = std::make_unique<TestStream>(events.get());
    auto* handler = new RecordingNetHandler(events.get(), &registry);
    supplier->setHandler(handler);
    stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
    stream->setConnectionHandler(handler);
    manager = std::make_shared<HXHandshakeManager>(1, 800, 60000);
    manager->setConnectionSupplier(supplier.get());
    stream->setConnectionManager(manager);
  }
  // After a completed shutdown: lets the loop destroy what was recycled, then drops everything.
  void Destroy() {
    if (!stream) return;
    stream->shutdownStream();
    EXPECT_TRUE(WaitFor([&] { return stream->getStateFlags() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return manager->isDone(); }));
    RunOnLoop([] {});
    stream.reset();
    manager.reset();
    RunOnLoop([] {});
    supplier.reset();
  }
  // Ends a trial that its manager still runs, on the loop thread (where connections are also
  // destroyed, so the one picked stays alive); false when there was none.
  bool FinishTrial(bool success) {
    bool found = false;
    RunOnLoop([&] {
      FakeTrial* running = nullptr;
      {
        std::lock_guard<std::mutex> lock(registry.mutex);
        for (HX_NetConnectionBase* c : registry.live) {
          auto* trial = dynamic_cast<FakeTrial*>(c);
          if (trial != nullptr && trial->getListener() != nullptr) running = trial;
        }
      }
      found = running != nullptr;
      if (running != nullptr) running->finish(success);
    });
    return found;
  }
  // Breaks the established connection on the loop thread, as a socket error would; the broken
  // connection then recycles itself.
  void Break() {
    RunOnLoop([&] {
      HX_MediaStreamNetHandler* handler = stream->netHandler();
      HX_MediaStreamRegularConnection* c = handler->connection();
      if (c != nullptr && handler->onConnectionBreak(c)) c->connRecycle();
    });
  }
  bool WaitEvent(const std::string& event, size_t n = 1) {
    return WaitFor([&] { return events->count(event) >= n; });
  }

  Registry registry;
  std::shared_ptr<HX_Conference> conference;
  std::unique_ptr<Events> events;
  std::unique_ptr<TrialSupplier> supplier;
  std::unique_ptr<TestStream> stream;
  std::shared_ptr<HXHandshakeManager> manager;
};

TEST_F(MediaStreamLifeCycle, ConnectsAcquiresReconnectsAfterTheDelayAndShutsDown) {
  ASSERT_TRUE(stream->startConnection("key", 0));
  EXPECT_EQ(stream->getReconnectDelay(), 800u);
  ASSERT_EQ(supplier->calls().size(), 1u);  // the first attempt at once
  EXPECT_TRUE(stream->reconnectRequired(HXIfIpAddrContainer(), HXSockAddr()));  // not connected

  ASSERT_TRUE(FinishTrial(true));
  ASSERT_TRUE(WaitEvent("onStartDataTransfer"));
  EXPECT_TRUE(WaitFor([&] { return stream->getStateFlags() == 0x12; }));
  const std::vector<std::string> expected = {"startConnection key", "before acquire",
                                             "AcquireHardware",     "after acquire",
                                             "runConnection",       "onStartDataTransfer"};
  EXPECT_EQ(events->snapshot(), expected);
  EXPECT_FALSE(stream->reconnectOnAcceptAllowed());  // connected just now

  const int64_t brokeAt = hx::GetTickCount();
  Break();
  EXPECT_EQ(stream->getStateFlags(), 0x10u);  // the hardware stays acquired
  EXPECT_EQ(events->count("stream connection done"), 1u);
  EXPECT_EQ(events->count("handler connection done"), 1u);
  EXPECT_TRUE(stream->reconnectOnAcceptAllowed());
  ASSERT_TRUE(WaitFor([&] { return supplier->calls().size() == 2; }));
  EXPECT_GE(supplier->calls()[1] - brokeAt, 750);

  ASSERT_TRUE(FinishTrial(true));
  ASSERT_TRUE(WaitEvent("onStartDataTransfer", 2));
  EXPECT_EQ(events->count("before acquire"), 2u);  // the acquire job ran again ...
  EXPECT_EQ(stream->acquisitions.load(), 1);       // ... as a no-op of the stream's guard

  registry.hold = true;                    // the closed connection lingers a while
  EXPECT_FALSE(stream->shutdownStream());  // the connection is closed first
  EXPECT_FALSE(stream->shutdownStream());  // already under way
  EXPECT_FALSE(stream->reconnectServer());
  registry.release();
  ASSERT_TRUE(WaitEvent("shutted down"));
  EXPECT_EQ(stream->getStateFlags(), 0u);
  EXPECT_EQ(stream->releases.load(), 1);
  RunOnLoop([] {});
  EXPECT_EQ(events->count("shutted down"), 1u);
  EXPECT_EQ(registry.size(), 0u);
}

TEST_F(MediaStreamLifeCycle, ShutdownBeforeAnyStartIsImmediateAndSilent) {
  EXPECT_TRUE(stream->shutdownStream());
  RunOnLoop([] {});
  EXPECT_EQ(stream->notifications.load(), 0);
  EXPECT_EQ(stream->getStateFlags(), 0u);
}

TEST_F(MediaStreamLifeCycle, ShutdownWithTrialsRunningEndsInOneNotification) {
  ASSERT_TRUE(stream->startConnection("key", 0));
  ASSERT_EQ(registry.size(), 1u);
  registry.hold = true;  // the stopped trial outlives the call, as a closing socket does
  EXPECT_FALSE(stream->shutdownStream());
  EXPECT_EQ(stream->getStateFlags(), 0x20u);
  registry.release();
  ASSERT_TRUE(WaitFor([&] { return stream->notifications.load() == 1; }));
  EXPECT_EQ(stream->getStateFlags(), 0u);
  EXPECT_EQ(events->count("AcquireHardware"), 0u);
  EXPECT_FALSE(stream->reconnectServer());  // the manager is stopped
  RunOnLoop([] {});
  EXPECT_EQ(stream->notifications.load(), 1);
}

TEST_F(MediaStreamLifeCycle, FailedAttemptsGoUpAsUnavailable) {
  ASSERT_TRUE(stream->startConnection("key", 0));
  stream->onHMTrialConnectDone(nullptr, hx::NetHandshakeTimeout, false);
  EXPECT_EQ(events->count("unavailable 1"), 1u);
  EXPECT_EQ(stream->getStateFlags(), 0u);
}

TEST_F(MediaStreamLifeCycle, ShutdownWhileAcquiringWaitsForTheJobAndRecyclesLateConnections) {
  auto lines = std::make_shared<std::pair<std::mutex, std::vector<std::string>>>();
  SetLogSink([lines](const std::string& line) {
    std::lock_guard<std::mutex> lock(lines->first);
    lines->second.push_back(line);
  });
  struct SinkReset {
    ~SinkReset() { SetLogSink(nullptr); }
  } sinkReset;
  auto logged = [lines](const std::string& text) {
    std::lock_guard<std::mutex> lock(lines->first);
    return std::find(lines->second.begin(), lines->second.end(), text) != lines->second.end();
  };
  std::atomic<bool> open{false};
  stream->gate = [&] { WaitFor([&] { return open.load(); }); };

  ASSERT_TRUE(stream->startConnection("key", 0));
  ASSERT_TRUE(FinishTrial(true));
  ASSERT_TRUE(WaitEvent("AcquireHardware"));  // the job now waits inside the hardware step
  EXPECT_EQ(stream->getStateFlags(), 0x0Au);

  EXPECT_FALSE(stream->shutdownStream());
  // A regular connection that arrives now is recycled at once.
  FakeRegular* late = nullptr;
  RunOnLoop([&] {
    late = new FakeRegular(stream->netHandler(), events.get(), &registry);
    stream->onHMTrialConnectDone(late, hx::NetHandshakeConnected, true);
  });
  EXPECT_EQ(events->count("recycle regular"), 2u);  // the held one and the late one

  ASSERT_TRUE(WaitFor([&] { return logged("HW acquiring while shutting down stream sender"); }));
  EXPECT_EQ(stream->notifications.load(), 0);  // the release waits for the acquisition
  open.store(true);
  ASSERT_TRUE(WaitFor([&] { return stream->notifications.load() == 1; }));
  EXPECT_EQ(stream->acquisitions.load(), 1);
  EXPECT_EQ(stream->releases.load(), 1);
  EXPECT_EQ(events->count("runConnection"), 0u);
  EXPECT_EQ(events->count("onStartDataTransfer"), 0u);
}

// Connection found, break, reconnectServer and shutdownStream from several threads at once.
TEST_F(MediaStreamLifeCycle, RacedPathsReleaseOnceAndNotifyOnce) {
  for (int round = 0; round < 300; ++round) {
    Destroy();
    Make();
    ASSERT_TRUE(stream->startConnection("key", 2));
    std::atomic<int> ready{0};
    auto together = [&] {
      ready.fetch_add(1);
      while (ready.load() < 4) std::this_thread::yield();
    };
    std::atomic<int> firstAnswer{-1};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      together();
      for (int i = 0; i < 3; ++i) FinishTrial(true);
    });
    threads.emplace_back([&] {
      together();
      for (int i = 0; i < 3; ++i) Break();
    });
    threads.emplace_back([&] {
      together();
      for (int i = 0; i < 3; ++i) stream->reconnectServer();
    });
    threads.emplace_back([&] {
      together();
      std::this_thread::sleep_for(std::chrono::microseconds(round * 20));
      firstAnswer.store(stream->shutdownStream() ? 1 : 0);
    });
    for (auto& t : threads) t.join();
    const auto state = [&] {
      return "round " + std::to_string(round) + " flags " + std::to_string(stream->getStateFlags()) +
             " manager " + std::to_string(manager->getState()) + " live " +
             std::to_string(registry.size()) + " first answer " +
             std::to_string(firstAnswer.load());
    };
    ASSERT_TRUE(WaitFor([&] { return stream->getStateFlags() == 0; })) << state();
    ASSERT_TRUE(WaitFor([&] { return manager->isDone(); })) << state();
    // The flags clear just before the notification.
    if (firstAnswer.load() == 0) WaitFor([&] { return stream->notifications.load() != 0; });
    RunOnLoop([] {});
    EXPECT_EQ(stream->notifications.load(), firstAnswer.load() == 0 ? 1 : 0) << "round " << round;
    EXPECT_EQ(stream->acquisitions.load(), stream->releases.load()) << "round " << round;
    EXPECT_LE(stream->acquisitions.load(), 1) << "round " << round;
  }
}

}  // namespace
}  // namespace hx::testing
