// The TCP handshake manager over a real conference model. Its steps are called directly on a
// hand-driven clock to show the order of candidates and the rests between attempts; whole
// attempts run on the network loop's real worker pool with shortened limits, the trials scripted
// (they never answer unless told to).

#include "core/conference/tcp_handshake_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/stored_task.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/peer.h"
#include "core/conference/model/peer_endpoints.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/udp_test_util.h"
#include "core/wire/endpoint_record.h"

namespace hx::testing {
namespace {

// A trial that starts and then waits for the test; deleted on the loop after its recycling.
class ScriptedTrial : public HX_MediaStreamTrialConnection {
 public:
  ScriptedTrial() : HX_MediaStreamTrialConnection(nullptr) {}
  bool start() override { return true; }
  void connRecycle() override {
    if (!HXZServer::ScheduleNetworkJob(HXCallback::Save(this, &ScriptedTrial::destroy), 0)) {
      destroy();
    }
  }
  void setSendState(bool) override {}
  void startConnTimer(uint32_t, uint64_t) override {}

 private:
  void destroy() { delete this; }
};

class TestManager : public ConfHandshakeManagerDC {
 public:
  TestManager(HX_MediaStreamBase* stream, uint32_t stepMs, HX_TickSource clock)
      : ConfHandshakeManagerDC(stream, 1, stepMs, 5000, std::move(clock)) {}
  ~TestManager() override { shutdownJobs(); }
  int createStream(CreateStreamResult& result) override { return createStreamInt(result, 1); }
  HX_MediaStreamTrialConnection* createTrialStream() override { return new ScriptedTrial(); }
  bool connectTrial(HX_MediaStreamTrialConnection*, const std::string& host,
                    uint16_t port) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tried.push_back(host + ":" + std::to_string(port));
    return true;
  }
  std::vector<std::string> tried() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tried;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_tried;
};

class RecordingListener : public HXHandshakeManagerBase::ListenerCallback {
 public:
  void onHMTrialConnectDone(HX_NetConnectionBase*, hx::NetHandshakeConnectResult result,
                            bool) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.push_back(result);
  }
  void onHandshakeManagerDone() override {}
  std::vector<int> results() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
  }

 private:
  std::mutex m_mutex;
  std::vector<int> m_results;
};

std::shared_ptr<HX_Endpoint> Ep(const std::string& host, uint16_t port) {
  auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(0));
  ep->SetHost(host);
  ep->SetPort(port);
  return ep;
}

class TcpHandshakeManager : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
    stream = std::make_unique<UdpTestStream>(1);
    stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
  }
  void TearDown() override {
    if (manager) manager->stop();
    manager.reset();
    OnLoop([] {});
    LoopFixture::TearDown();
  }
  // A call whose selected peer has a working direct TCP connection (type 2).
  ::conference::Peer* Call() {
    conference->setConferenceType(0, 0, 0, false);
    ::conference::Peer* peer = conference->addPeer("bob", 0);
    ConferenceLock lock;
    conference->selectPeerInstance(lock, "bob");
    peer->setDCType(2);
    return peer;
  }
  ::conference::PeerEndpoint& AddConnect(::conference::PeerEndpointsList& list, int kind,
                                         uint16_t port) {
    std::unique_ptr<::conference::PeerEpAttr> attribute;
    if (kind == ::conference::kEpClientConnect) {
      attribute = std::make_unique<::conference::PeerClientConnectEpAttr>(Ep("10.0.0.2", port));
    } else {
      attribute = std::make_unique<::conference::PeerServerConnectEpAttr>(Ep("10.0.0.9", port));
    }
    ::conference::PeerEndpoint& ep = list.add(1, std::move(attribute));
    ep.state = ::conference::kEpStateNotProven;
    return ep;
  }
  HXHandshakeManagerBase::CreateStreamResult Step() {
    HXHandshakeManagerBase::CreateStreamResult result;
    EXPECT_EQ(manager->createStream(result), 0);
    if (result.trial != nullptr) result.trial->connRecycle();
    return result;
  }

  ManualClock clock;
  std::shared_ptr<HX_Conference> conference;
  std::unique_ptr<UdpTestStream> stream;
  std::unique_ptr<TestManager> manager;
};

// First endpoint, the second a step later, then a rest until the first is 5000 ms old; the
// server's endpoint is never tried in such a call.
TEST_F(TcpHandshakeManager, StepsTakeEndpointsInTurnAndRest) {
  ::conference::Peer* peer = Call();
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1001);
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1002);
  AddConnect(conference->getEndpointsList(), ::conference::kEpServerConnect, 2001);
  manager = std::make_unique<TestManager>(stream.get(), 800, clock.source());

  EXPECT_EQ(Step().kind, HXHandshakeManagerBase::kNewTrial);
  clock.advance(800);
  EXPECT_EQ(Step().kind, HXHandshakeManagerBase::kNewTrial);
  clock.advance(800);
  const auto rest = Step();
  EXPECT_EQ(rest.kind, HXHandshakeManagerBase::kAskLater);
  EXPECT_EQ(rest.delay, 3400u);
  clock.advance(3400);
  EXPECT_EQ(Step().kind, HXHandshakeManagerBase::kNewTrial);
  EXPECT_EQ(manager->tried(),
            (std::vector<std::string>{"10.0.0.2:1001", "10.0.0.2:1002", "10.0.0.2:1001"}));
}

// A live accepted connection goes first, and its endpoint goes with it.
TEST_F(TcpHandshakeManager, LiveAcceptedConnectionIsTakenFirst) {
  ::conference::Peer* peer = Call();
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1001);
  auto* accepted = new ScriptedTrial();
  ::conference::PeerEndpoint& live = peer->getEndpointsList().add(
      1, std::make_unique<::conference::PeerClientAcceptLiveEpAttr>(accepted));
  const int32_t liveId = live.id;
  manager = std::make_unique<TestManager>(stream.get(), 800, clock.source());

  HXHandshakeManagerBase::CreateStreamResult result;
  ASSERT_EQ(manager->createStream(result), 0);
  EXPECT_EQ(result.kind, HXHandshakeManagerBase::kNewTrial);
  EXPECT_EQ(result.trial, accepted);
  EXPECT_EQ(peer->getEndpointsList().lookup(liveId), nullptr);
  EXPECT_EQ(manager->lastTried(), -1);
  EXPECT_TRUE(manager->tried().empty());
  accepted->connRecycle();
}

// A success marks the endpoint as working: the next attempt starts there.
TEST_F(TcpHandshakeManager, SuccessMarksTheEndpointAndReconnectStartsThere) {
  ::conference::Peer* peer = Call();
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1001);
  const int32_t second =
      AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1002).id;
  manager = std::make_unique<TestManager>(stream.get(), 800, clock.source());
  Step();
  clock.advance(800);
  Step();
  manager->onHandshakeFinished(nullptr, hx::NetHandshakeConnected, false);
  EXPECT_EQ(peer->getEndpointsList().lookup(second)->state, ::conference::kEpStateWorked);
  clock.advance(6000);
  Step();
  EXPECT_EQ(manager->tried().back(), "10.0.0.2:1002");
}

// The tick starts at 0 with the process: endpoints never tried are tried at once even then.
TEST_F(TcpHandshakeManager, FreshEndpointsAreTriedInAYoungProcess) {
  ::conference::Peer* peer = Call();
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1001);
  clock.now->store(1200);
  manager = std::make_unique<TestManager>(stream.get(), 800, clock.source());
  EXPECT_EQ(Step().kind, HXHandshakeManagerBase::kNewTrial);
  EXPECT_EQ(manager->tried(), std::vector<std::string>{"10.0.0.2:1001"});
}

// Whole attempts on the real worker pool: without a server candidate the attempt ends at once
// with result 2; with peer endpoints that never answer it ends at the overall limit with result
// 1, having tried only the peer's endpoints.
TEST_F(TcpHandshakeManager, AttemptsEndWithNoCandidateOrAtTheLimit) {
  conference->setConferenceType(5, 0, 0, false);
  manager = std::make_unique<TestManager>(stream.get(), 100, HX_CoreTickSource());
  RecordingListener listener;
  manager->setListenerCallback(&listener);
  ASSERT_TRUE(manager->start(20000, 1));
  ASSERT_TRUE(WaitUntil([&] { return !listener.results().empty(); }));
  EXPECT_EQ(listener.results(), std::vector<int>{hx::NetHandshakeNoConnection});
  manager->stop();

  ::conference::Peer* peer = Call();
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1001);
  AddConnect(peer->getEndpointsList(), ::conference::kEpClientConnect, 1002);
  AddConnect(conference->getEndpointsList(), ::conference::kEpServerConnect, 2001);
  manager = std::make_unique<TestManager>(stream.get(), 100, HX_CoreTickSource());
  RecordingListener limited;
  manager->setListenerCallback(&limited);
  ASSERT_TRUE(manager->start(1500, 1));
  ASSERT_TRUE(WaitUntil([&] { return !limited.results().empty(); }));
  EXPECT_EQ(limited.results(), std::vector<int>{hx::NetHandshakeTimeout});
  const std::vector<std::string> tried = manager->tried();
  ASSERT_FALSE(tried.empty());
  for (const std::string& target : tried) EXPECT_NE(target, "10.0.0.9:2001");
}

}  // namespace
}  // namespace hx::testing
