#pragma once
// Test support for the media streams, shared by the stream, conference and client tests: the far
// side of a stream's life cycle, scripted. A supplier hands the real handshake manager fake trial
// connections, the test ends them on the loop thread (where real trials report), a recording net
// handler builds fake regular connections from them and takes the stream lock as the real handlers
// do, and connections are destroyed on the loop after their recycling, as real sockets are. The
// send and receive forms of the handler record what the stream hands them and answer what the test
// set. StreamRig wires one stream to all of it.
//
// Needs the network loop running (LoopFixture).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/receiver_base.h"
#include "core/streams/send_video_header.h"
#include "core/streams/sender_base.h"
#include "core/streams/stream_command.h"
#include "core/transport/handshake_manager.h"
#include "core/wire/media_format.h"

namespace hx::testing {

// Waits up to 10 s for `done`.
inline bool WaitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `function` on the loop thread and waits for it; false when it did not run in 10 s.
inline bool RunOnLoop(const std::function<void()>& function) {
  auto state = std::make_shared<std::pair<std::mutex, bool>>();
  auto cv = std::make_shared<std::condition_variable>();
  if (!HXZServer::ScheduleNetworkJob(new FunctionTask([=] {
                                       function();
                                       std::lock_guard<std::mutex> lock(state->first);
                                       state->second = true;
                                       cv->notify_all();
                                     }),
                                     0)) {
    return false;
  }
  std::unique_lock<std::mutex> lock(state->first);
  return cv->wait_for(lock, std::chrono::seconds(10), [&] { return state->second; });
}

class Events {
 public:
  void add(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(event);
  }
  std::vector<std::string> snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  size_t count(const std::string& event) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count(m_events.begin(), m_events.end(), event));
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_events;
};

// Live connections, touched only on the loop thread (creation aside), so that the test can pick one
// there without racing its destruction.
struct Registry {
  std::mutex mutex;
  std::set<HX_NetConnectionBase*> live;
  void add(HX_NetConnectionBase* c) {
    std::lock_guard<std::mutex> lock(mutex);
    live.insert(c);
  }
  void remove(HX_NetConnectionBase* c) {
    std::lock_guard<std::mutex> lock(mutex);
    live.erase(c);
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return live.size();
  }
  // Recycled connections are destroyed on the loop, shortly after, as closed sockets are; while
  // held, their destruction waits for release().
  void destroyOnLoop(HX_NetConnectionBase* connection) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (hold) {
        held.push_back(connection);
        return;
      }
    }
    HXZServer::ScheduleNetworkJob(new FunctionTask([this, connection] {
                                    remove(connection);
                                    delete connection;
                                  }),
                                  0);
  }
  void release() {
    std::vector<HX_NetConnectionBase*> list;
    {
      std::lock_guard<std::mutex> lock(mutex);
      hold = false;
      list.swap(held);
    }
    for (HX_NetConnectionBase* c : list) destroyOnLoop(c);
  }
  bool hold = false;
  std::vector<HX_NetConnectionBase*> held;
};

class FakeRegular : public HX_MediaStreamRegularConnection {
 public:
  FakeRegular(HX_MediaStreamNetHandler* handler, Events* events, Registry* registry)
      : HX_MediaStreamRegularConnection(handler), m_events(events), m_registry(registry) {
    registry->add(this);
  }
  void connRecycle() override {
    m_events->add("recycle regular");
    m_registry->destroyOnLoop(this);
  }
  void start() override { m_events->add("runConnection"); }
  void setSendState(bool) override {}
  void startConnTimer(uint32_t, uint64_t) override {}
  bool isReconnectRequired(const HXIfIpAddrContainer&, const HXSockAddr&) override { return false; }

 private:
  Events* const m_events;
  Registry* const m_registry;
};

class FakeTrial : public HX_MediaStreamTrialConnection {
 public:
  FakeTrial(HX_MediaStreamNetHandler* handler, Registry* registry)
      : HX_MediaStreamTrialConnection(handler), m_registry(registry) {
    registry->add(this);
  }
  bool start() override { return true; }
  void connRecycle() override { m_registry->destroyOnLoop(this); }
  void setSendState(bool) override {}
  void startConnTimer(uint32_t, uint64_t) override {}
  void finish(bool success) { reportTrialDone(success); }

 private:
  Registry* const m_registry;
};

// The hooks every recording handler shares, on top of the handler base `Base`.
template <class Base>
class RecordingNetHandlerT : public Base {
 public:
  RecordingNetHandlerT(Events* events, Registry* registry)
      : m_events(events), m_registry(registry) {}
  bool beforeAcquireHardware() override { return note("before acquire"); }
  bool afterAcquireHardware() override { return note("after acquire"); }
  bool beforeReleaseHardware() override { return note("before release"); }
  bool afterReleaseHardware() override { return note("after release"); }
  void onNetConnectionDone() override {
    m_events->add("handler connection done");
    if (onDone) onDone();
  }
  bool startConnection(const std::string& key) override { return note("startConnection " + key); }
  HX_MediaStreamRegularConnection* createRegularFromTrial(HX_MediaStreamTrialConnection*) override {
    // The real handlers build their connection under the stream lock.
    HXAutoLock lock(this->owner()->getStreamLock());
    return new FakeRegular(this, m_events, m_registry);
  }
  // Runs inside onNetConnectionDone (the stream's shutdown calls it when it closes a connection).
  std::function<void()> onDone;

 protected:
  bool note(const std::string& event) {
    m_events->add(event);
    return true;
  }
  Events* const m_events;
  Registry* const m_registry;
};

using RecordingNetHandler = RecordingNetHandlerT<HX_MediaStreamNetHandler>;

// One hand-over to a send handler.
struct SentFrame {
  int track = 0;
  int priority = 0;
  std::vector<uint8_t> bytes;
  bool header = false;
  // The command it carries (track 254).
  HX_MiscCommand command() const { return HX_MiscCommand(bytes.data(), bytes.size()); }
};

// The send form: records every frame, ping and bit-rate limit; answers the liveness, ping period,
// queue statistics and bandwidth the test set. AddFrame takes the stream lock, as the real handlers
// do.
class RecordingSendHandler : public RecordingNetHandlerT<HX_SenderStreamNetHandler> {
 public:
  using RecordingNetHandlerT::RecordingNetHandlerT;
  bool AddFrame(int track, size_t size, const void* data, const HX_SendNhpVideoHeader* header,
                int priority) override {
    HXAutoLock lock(owner()->getStreamLock());
    std::lock_guard<std::mutex> guard(m_mutex);
    SentFrame frame;
    frame.track = track;
    frame.priority = priority;
    const auto* bytes = static_cast<const uint8_t*>(data);
    frame.bytes.assign(bytes, bytes + size);
    frame.header = header != nullptr;
    m_frames.push_back(std::move(frame));
    return accept.load();
  }
  bool checkConnectionAlive() override { return alive.load(); }
  uint32_t getPingPeriod() override { return pingPeriod.load(); }
  void GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    oldest = queueOldest;
    since = queueSince;
    count = queueCount;
  }
  uint32_t GetVideoBandwidth(uint32_t uploadLimit) override {
    lastUploadLimit.store(uploadLimit);
    return bandwidth.load();
  }
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_controlBand.push_back(command.code);
    return controlBandTakes.load();
  }
  void PingStream() override { pings.fetch_add(1); }
  void setBitrateLimit(uint64_t limit) override {
    m_events->add("setBitrateLimit " + std::to_string(limit));
  }

  void setQueue(uint32_t oldest, uint64_t since, int count) {
    std::lock_guard<std::mutex> guard(m_mutex);
    queueOldest = oldest;
    queueSince = since;
    queueCount = count;
  }
  std::vector<SentFrame> frames() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_frames;
  }
  // The frames of one track, in order.
  std::vector<SentFrame> frames(int track) const {
    std::vector<SentFrame> out;
    for (SentFrame& f : frames()) {
      if (f.track == track) out.push_back(std::move(f));
    }
    return out;
  }
  void clearFrames() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_frames.clear();
  }
  std::vector<uint8_t> controlBand() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_controlBand;
  }

  std::atomic<bool> accept{true};
  std::atomic<bool> alive{true};
  std::atomic<bool> controlBandTakes{false};
  std::atomic<uint32_t> pingPeriod{0};
  std::atomic<uint32_t> bandwidth{256};
  std::atomic<uint32_t> lastUploadLimit{0};
  std::atomic<int> pings{0};

 private:
  mutable std::mutex m_mutex;
  std::vector<SentFrame> m_frames;
  std::vector<uint8_t> m_controlBand;
  uint32_t queueOldest = 0;
  uint64_t queueSince = 0;
  int queueCount = 0;
};

// The receive form: answers the jitter and loss the test set and records format changes.
class RecordingReceiveHandler : public RecordingNetHandlerT<HX_ReceiverStreamNetHandler> {
 public:
  using RecordingNetHandlerT::RecordingNetHandlerT;
  void getRecvHandlerStatistics(int& j, int& lost) override {
    j = jitter.load();
    lost = lostPackets.load();
  }
  void onVideoChangeFormat(const HX_MediaFormat& format) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_formats.push_back(format);
  }
  std::vector<HX_MediaFormat> formats() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_formats;
  }
  std::atomic<int> jitter{0};
  std::atomic<int> lostPackets{0};

 private:
  mutable std::mutex m_mutex;
  std::vector<HX_MediaFormat> m_formats;
};

// Hands out a new trial on every call.
class TrialSupplier : public HXHandshakeManager::ConnectionSupplier {
 public:
  explicit TrialSupplier(Registry* registry) : m_registry(registry) {}
  void setHandler(HX_MediaStreamNetHandler* handler) { m_handler.store(handler); }
  int createStream(HXHandshakeManagerBase::CreateStreamResult& result) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_calls.push_back(hx::GetTickCount());
    }
    if (refuse.load()) return -1;
    result.kind = HXHandshakeManagerBase::kNewTrial;
    result.trial = new FakeTrial(m_handler.load(), m_registry);
    return 0;
  }
  // While set, no trial can be made: a search for a connection fails at once.
  std::atomic<bool> refuse{false};
  std::vector<int64_t> calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }

 private:
  Registry* const m_registry;
  std::atomic<HX_MediaStreamNetHandler*> m_handler{nullptr};
  std::mutex m_mutex;
  std::vector<int64_t> m_calls;
};

// Wires one stream to a recording handler of type `Handler`, a trial supplier and a real handshake
// manager (one trial at a time, 800 ms apart). The stream is the caller's; Finish shuts it down and
// waits until everything it recycled is gone, so that it may be destroyed.
template <class Handler>
class StreamRig {
 public:
  explicit StreamRig(HX_MediaStreamBase* stream) : m_stream(stream) {
    supplier = std::make_unique<TrialSupplier>(&registry);
    handler = new Handler(&events, &registry);
    supplier->setHandler(handler);
    stream->setConnectionHandler(handler);
    manager = std::make_shared<HXHandshakeManager>(1, 800, 60000);
    manager->setConnectionSupplier(supplier.get());
    stream->setConnectionManager(manager);
  }
  ~StreamRig() { Finish(); }

  // Starts the connection and lets its first trial succeed: the stream acquires its hardware and
  // starts data transfer. False when that did not happen in time.
  bool Connect() {
    if (!m_stream->startConnection("key", 0) || !FinishTrial(true)) return false;
    const uint32_t busy = HX_MediaStreamBase::kAcquireScheduled | HX_MediaStreamBase::kAcquiring;
    return WaitFor([&] { return transfers() >= 1 && (m_stream->getStateFlags() & busy) == 0; });
  }
  // Ends a trial that the manager still runs, on the loop thread; false when there was none.
  bool FinishTrial(bool success) {
    bool found = false;
    RunOnLoop([&] {
      FakeTrial* running = RunningTrial();
      found = running != nullptr;
      if (running != nullptr) running->finish(success);
    });
    return found;
  }
  // Whether the manager runs a trial now.
  bool TrialRunning() {
    bool found = false;
    RunOnLoop([&] { found = RunningTrial() != nullptr; });
    return found;
  }
  // Breaks the established connection on the loop thread, as a socket error would.
  void Break() {
    RunOnLoop([&] {
      HX_MediaStreamRegularConnection* c = handler->connection();
      if (c != nullptr && handler->onConnectionBreak(c)) c->connRecycle();
    });
  }
  // Shuts the stream down and waits for the end of everything it started.
  void Finish() {
    if (m_finished) return;
    m_finished = true;
    registry.release();
    m_stream->shutdownStream();
    WaitFor([&] { return m_stream->getStateFlags() == 0; });
    WaitFor([&] { return manager->isDone(); });
    RunOnLoop([] {});
    m_stream->setConnectionManager(nullptr);
    manager.reset();
    RunOnLoop([] {});
    // The stream may live on: it forgets the handler, whose records die with the rig.
    m_stream->setConnectionHandler(nullptr);
    delete handler;
    handler = nullptr;
  }
  // "runConnection" counts the data transfers the handler saw start.
  size_t transfers() const { return events.count("runConnection"); }

  Events events;
  Registry registry;
  std::unique_ptr<TrialSupplier> supplier;
  Handler* handler = nullptr;
  std::shared_ptr<HXHandshakeManager> manager;

 private:
  // On the loop thread, where connections are destroyed: a trial its manager still runs, or null.
  FakeTrial* RunningTrial() {
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (HX_NetConnectionBase* c : registry.live) {
      auto* trial = dynamic_cast<FakeTrial*>(c);
      if (trial != nullptr && trial->getListener() != nullptr) return trial;
    }
    return nullptr;
  }

  HX_MediaStreamBase* const m_stream;
  bool m_finished = false;
};

// Streams whose statistics block is what the test set (false before one is set), for tests of what
// the conference makes of the blocks.
template <class Stream>
class FixedBlockStream : public Stream {
 public:
  using Stream::Stream;
  bool getStreamConfStat(stream::TConferenceStatistics& out) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_set) return false;
    out = m_block;
    return true;
  }
  void setBlock(const stream::TConferenceStatistics& block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_block = block;
    m_set = true;
  }

 private:
  std::mutex m_mutex;
  stream::TConferenceStatistics m_block;
  bool m_set = false;
};
using FixedBlockSender = FixedBlockStream<HX_SenderBase>;
using FixedBlockReceiver = FixedBlockStream<HX_ReceiverBase>;

}  // namespace hx::testing
