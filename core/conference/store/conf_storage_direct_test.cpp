// The conference store's direct-connection events on a real store and a fresh network loop per
// test: a peer's endpoints from the server (filtered against the client's own acceptors, then
// pinged by the call's TCP streams supervisor at real listeners on loopback, and ended by the
// "DC check timer(2)" job), peers' probes reaching an accepting listener, and the peers'
// extra-video state with its "ExtraVideo timeo" job.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "core/base/tick_clock.h"
#include "core/client/fsm_shared.h"
#include "core/client/service_test_util.h"
#include "core/conference/store/conference_lock.h"
#include "core/conference/store/direct_store_test_util.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/ip_iface.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/streams/net_listener.h"
#include "core/streams/tcp_streams_supervisor.h"
#include "core/transport/direct_test_util.h"
#include "core/transport/ping_record.h"
#include "core/transport/zero_handshake_ping.h"

namespace hx::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct EpSpec {
  int type;
  std::string host;
  uint16_t port;
};

HX_TransportEndpointList Eps(const std::vector<EpSpec>& specs) {
  HX_TransportEndpointList list;
  for (const EpSpec& spec : specs) {
    auto ep = std::make_shared<HX_Endpoint>("ep", static_cast<hx::EpType>(spec.type));
    ep->SetHost(spec.host);
    ep->SetPort(spec.port);
    ep->SetFamily(AF_INET);
    list.push_back(ep);
  }
  return list;
}

HXSockAddr SockAddr(const std::string& host, uint16_t port, ip::Proto::type proto) {
  HXSockAddr address;
  EXPECT_TRUE(address.set(proto, host.c_str(), std::to_string(port).c_str(), 0, 0)) << host;
  return address;
}

// A plain listening socket that the test never accepts from: a ping connects (the kernel
// completes it) and waits for an answer that never comes. Closing it ends such pings.
class SilentListener {
 public:
  explicit SilentListener(const char* address) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    socklen_t length = sizeof sa;
    EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(m_fd, 8), 0);
    EXPECT_EQ(::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &length), 0);
    port = ntohs(sa.sin_port);
  }
  ~SilentListener() { close(); }
  void close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  uint16_t port = 0;

 private:
  int m_fd = -1;
};

// Each test: a fresh loop, a store whose network listener accepts TCP at 192.0.2.10:5000 and
// whose interface is 192.0.2.10, and a verified private call (state 1) with the peer bob.
class DirectStore : public LoopFixture {
 protected:
  static constexpr const char* kMe = "alice@test.invalid/1";
  static constexpr const char* kSid = "call-1@test.invalid";
  static constexpr const char* kPeer = "bob@test.invalid/2";

  void SetUp() override {
    LoopFixture::SetUp();
    if (HasFatalFailure()) return;
    fsm = std::make_unique<HXFSMShared>();
    session = std::make_shared<LoginSession>();
    session->SetLogin(kMe);
    netListener = std::make_shared<FixedAcceptorsListener>();
    HXZAcceptorInfo acceptors;
    acceptors.tcpAcceptors.push_back(SockAddr("192.0.2.10", 5000, ip::Proto::tcp));
    netListener->setAcceptorInfo(acceptors);
    session->setNetListener(netListener);
    cm = std::make_unique<PingStore>(session, fsm.get());
    HXIpIfAddrSet interfaces;
    HXIpAddress own;
    ASSERT_TRUE(own.set("192.0.2.10"));
    interfaces.insert(HXIpIfListItem(std::make_shared<HXIpIface>("eth0", 2, ip::IfType::ethernet),
                                     own, HXNetMask(own.family(), 24)));
    HXIfIpAddrContainer container;
    container.set(interfaces);
    cm->setNetworkType(1, container);
    callId = AddCall(kSid, {kPeer});
  }
  void TearDown() override {
    cm.reset();
    LoopFixture::TearDown();
  }

  // A verified private call of the own user in state 1 with these peers.
  int32_t AddCall(const std::string& sid, const std::vector<std::string>& peers) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->storageRequestCreateConferenceLock(lock, "call", "", kMe, 2, 0, 0, 0, 0,
                                                       nullptr, false));
    if (!lock) return 0;
    const int32_t id = lock->getId();
    EXPECT_TRUE(cm->storageCreateConferenceCommit(lock, sid.c_str(), 1));
    lock.Unlock();
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    EXPECT_EQ(lock->getState(), ::conference::kStateRequested);
    EXPECT_TRUE(lock->isVerified());
    for (const std::string& peer : peers) lock->addPeer(peer, 4);
    return id;
  }

  // Runs `f` on the call under its lock.
  template <typename F>
  auto WithCall(F f, int32_t id = 0) {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, id != 0 ? id : callId));
    return f(*lock.conference());
  }
  ::conference::Peer& Bob(HX_Conference& call) { return *call.getPeer(kPeer); }
  // One of bob's readings in the call, under its lock.
  template <typename R>
  R BobReads(R (::conference::Peer::*read)()) {
    return WithCall([&](HX_Conference& call) { return (Bob(call).*read)(); });
  }
  template <typename R>
  R BobReads(R (::conference::Peer::*read)() const) {
    return WithCall([&](HX_Conference& call) { return (Bob(call).*read)(); });
  }
  void SetState(int32_t id, ::conference::State state) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, id));
    lock->setState(lock, state);
  }

  std::unique_ptr<HXFSMShared> fsm;
  std::shared_ptr<LoginSession> session;
  std::shared_ptr<FixedAcceptorsListener> netListener;
  std::unique_ptr<PingStore> cm;
  int32_t callId = 0;
};

TEST_F(DirectStore, EndpointListsFilteredToNothingTouchNoConference) {
  struct Case {
    const char* name;
    std::vector<EpSpec> endpoints;
    bool udpAcceptor;
    bool result;
    bool begun;
  } cases[] = {
      {"empty list", {}, true, true, false},
      {"this device, the own acceptor, no host",
       {{0, "127.0.0.1", 4000}, {0, "192.0.2.10", 5000}, {1, "", 4000}},
       true,
       true,
       false},
      // The contrast: a peer address on loopback other than this device's (tests begin; their
      // ping fails at once, since nothing listens there).
      {"a peer address", {{0, "127.0.0.2", 1}}, false, true, true},
      {"a UDP endpoint", {{2, "192.0.2.20", 6000}}, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.udpAcceptor) {
      HXZAcceptorInfo acceptors = netListener->getAcceptorInfo();
      acceptors.udpAcceptors.push_back(SockAddr("0.0.0.0", 7000, ip::Proto::udp));
      netListener->setAcceptorInfo(acceptors);
    }
    EXPECT_EQ(cm->onPeerEndpointsUpdate(kPeer, Eps(c.endpoints), false), c.result);
    WithCall([&](HX_Conference& call) {
      EXPECT_EQ(Bob(call).hasDCEndpoints(), c.begun);
      EXPECT_EQ(Bob(call).getEndpointsList().empty(), !c.begun);
      EXPECT_EQ(call.getTcpStreamsSupervisor() != nullptr, c.begun);
      return 0;
    });
    // A refused ping must have reported before the store goes.
    if (c.begun && c.endpoints[0].type == 0) {
      EXPECT_TRUE(
          WaitFor([&] { return BobReads(&::conference::Peer::connectTestDoneAll); }, 10000));
    }
  }
}

TEST_F(DirectStore, OnlyVerifiedPrivateCallsInStateOneTakeAPeersEndpoints) {
  AnsweringPingListener answerer("127.0.0.2");
  ASSERT_NE(answerer.port, 0);
  // A joined call and a group conference with the same peer stay untouched.
  const int32_t joined = AddCall("call-2@test.invalid", {kPeer});
  SetState(joined, ::conference::kStateJoined);
  EXPECT_TRUE(cm->onPeerEndpointsUpdate(kPeer, Eps({{0, "127.0.0.2", answerer.port}}), false));
  EXPECT_TRUE(WithCall([&](HX_Conference& call) { return Bob(call).hasDCEndpoints(); }));
  EXPECT_FALSE(WithCall([&](HX_Conference& call) { return Bob(call).hasDCEndpoints(); }, joined));
  // The ping reaches the answering listener: the path works, the peer's type is 2, the tests end.
  ASSERT_TRUE(
      WaitFor([&] { return BobReads(&::conference::Peer::getSuccessfulTests) == 1; }, 10000));
  WithCall([&](HX_Conference& call) {
    EXPECT_EQ(Bob(call).getDCType(), 2);
    EXPECT_TRUE(call.isFlag(HX_Conference::kFlagDCTestsEnded));
    EXPECT_NE(Bob(call).getDCFlags() & ::conference::Peer::kDCAnnounced, 0u);
    return 0;
  });
  // No call waits any more: nothing takes the endpoints.
  SetState(callId, ::conference::kStateJoined);
  EXPECT_FALSE(cm->onPeerEndpointsUpdate(kPeer, Eps({{0, "127.0.0.2", answerer.port}}), false));
}

TEST_F(DirectStore, TestsStillOpenEndWithTheCheckTimer) {
  SilentListener silent("127.0.0.3");
  const auto start = Clock::now();
  EXPECT_TRUE(cm->onPeerEndpointsUpdate(kPeer, Eps({{0, "127.0.0.3", silent.port}}), false));
  ASSERT_TRUE(WaitFor(
      [&] {
        return WithCall([](HX_Conference& call) {
          return call.isFlag(HX_Conference::kFlagDCTestsEnded);
        });
      },
      30000));
  EXPECT_GE(Clock::now() - start,
            std::chrono::milliseconds(HX_Conference::kDirectConnectCheckMs - 100));
  WithCall([&](HX_Conference& call) {
    // Ended without forcing a type; the supervisor is gone; the ping is still open.
    EXPECT_EQ(Bob(call).getDCType(), 4);
    EXPECT_NE(Bob(call).getDCFlags() & ::conference::Peer::kDCTestsDone, 0u);
    EXPECT_EQ(call.getTcpStreamsSupervisor(), nullptr);
    EXPECT_EQ(Bob(call).getSuccessfulTests(), 0);
    return 0;
  });
  // The silent peer goes away: the ping ends and reports (the endpoint fails) before the store
  // goes, since the ping holds the store.
  silent.close();
  EXPECT_TRUE(WaitFor(
      [&] {
        return WithCall([&](HX_Conference& call) {
          return Bob(call).getEndpointsList().list().front().state;
        }) == ::conference::kEpStateFailed;
      },
      20000));
}

// Probes from "bob" reach an accepting listener whose pings ask the store, as the TCP listener
// does; each decision is recorded with the probe's version.
class ProbeStore : public DirectStore {
 protected:
  void SetUp() override {
    DirectStore::SetUp();
    if (HasFatalFailure()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      decisions.clear();
      results.clear();
    }
    listener = AcceptingListener::Make([this](HXZADataHandler* accepted) {
      auto* ping = HXZServer::inheritNative<HXZeroHandshakeSimple>(accepted);
      ping->fireWantAccept.Connect(this, &ProbeStore::onWant);
      ping->fireZeroHSDone.Connect(this, &ProbeStore::onAccepted);
      ping->Accept();
    });
    ASSERT_NE(listener, nullptr);
  }
  void TearDown() override {
    if (listener != nullptr) listener->GC();
    listener = nullptr;
    DirectStore::TearDown();
  }
  void onWant(const HXZeroHandshakeSimple* probe, bool& accept) {
    cm->onWantAcceptDirectRequest(probe, accept);
    std::lock_guard<std::mutex> lock(mutex);
    decisions.emplace_back(probe->GetContentVersion(), accept);
  }
  void onAccepted(const HXZeroHandshakeSimple* probe) { cm->onDirectAcceptAvailable(probe); }
  void onPingDone(const HXZeroHandshakeSimple* ping) {
    std::lock_guard<std::mutex> lock(mutex);
    results.push_back(ping->GetResult());
  }

  // Sends a probe of `version` from bob for `sid` and waits until it ended; the first decision.
  std::tuple<int, bool> Probe(int32_t version, const std::string& sid) {
    auto* ping =
        HXZServer::implantNative<HXZeroHandshakeSimple>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ping->fireZeroHSDone.Connect(this, &ProbeStore::onPingDone);
    ping->setContentVersion(version);
    EXPECT_TRUE(ping->Ping(1, sid, kPeer, kMe, HXIpSockTarget{"127.0.0.1", listener->port()}));
    EXPECT_TRUE(WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return !results.empty();
        },
        10000));
    std::lock_guard<std::mutex> lock(mutex);
    return decisions.empty() ? std::make_tuple(-1, false) : decisions.front();
  }

  AcceptingListener* listener = nullptr;
  std::mutex mutex;
  std::vector<std::tuple<int, bool>> decisions;
  std::vector<int32_t> results;
};

TEST_F(ProbeStore, ProbesAreAcceptedOnlyByAWaitingCallThatKnowsThePeer) {
  struct Case {
    const char* name;
    int32_t version;
    std::string sid;
    bool withPeer;  // the call has bob
    bool joined;    // the call is in state 2
    bool forbidden;
    bool accepted;
  } cases[] = {
      {"version 1, the call has the peer", 1, kSid, true, false, false, true},
      {"version 1, the call lacks the peer", 1, kSid, false, false, false, false},
      {"version 1, unknown conference", 1, "other@test.invalid", true, false, false, false},
      {"version 1, the call is joined", 1, kSid, true, true, false, false},
      {"version 0, any waiting call", 0, "", false, false, false, true},
      {"version 0, no waiting call", 0, "", true, true, false, false},
      {"direct connections forbidden", 1, kSid, true, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    fsm->SetForceDisableDirectConnection(c.forbidden);
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, callId));
    if (!c.withPeer) lock->removePeer(kPeer);
    if (c.joined) lock->setState(lock, ::conference::kStateJoined);
    lock.Unlock();
    const auto [version, accepted] = Probe(c.version, c.sid);
    EXPECT_EQ(version, c.version);
    EXPECT_EQ(accepted, c.accepted);
  }
}

TEST_F(ProbeStore, AnAcceptedProbeDecidesThePeersType) {
  WithCall([&](HX_Conference& call) {
    Bob(call).setDCFlags(::conference::Peer::kDCEndpointsKnown);
    return 0;
  });
  Probe(1, kSid);
  // The accepting side ends after its answer went out; the store hears of it then.
  ASSERT_TRUE(WaitFor([&] { return BobReads(&::conference::Peer::getDCType) == 1; }, 10000));
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], hx::ping::kResultSuccess);
  }
  WithCall([&](HX_Conference& call) {
    EXPECT_NE(Bob(call).getDCFlags() & ::conference::Peer::kDCAnnounced, 0u);
    return 0;
  });
}

// Records the extra-video signal.
struct ExtraVideoRecorder {
  void onSignal(const std::string& sid, const char* peer, int state) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(sid + " " + peer + " " + std::to_string(state));
    stamps.push_back(Clock::now());
  }
  std::vector<std::string> all() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
  }
  std::mutex mutex;
  std::vector<std::string> seen;
  std::vector<Clock::time_point> stamps;
};

TEST_F(DirectStore, ExtraVideoStateChangesAreSignalledAndRepeatsRenewTheTime) {
  ExtraVideoRecorder recorder;
  cm->extraVideoSignal.Connect(&recorder, &ExtraVideoRecorder::onSignal);
  const auto state = [&] {
    return WithCall([&](HX_Conference& call) {
      return std::make_tuple(Bob(call).getExtraVideoState(), Bob(call).getExtraVideoJob(),
                             Bob(call).getExtraVideoTime());
    });
  };
  const std::string prefix = std::string(kSid) + " " + kPeer + " ";

  cm->onExtraVideoFlowNotify(kPeer, kSid, false, false);  // 2 to 2: nothing
  EXPECT_TRUE(recorder.all().empty());
  cm->onExtraVideoFlowNotify(kPeer, kSid, true, false);
  const auto [s1, job1, t1] = state();
  EXPECT_EQ(s1, 1);
  EXPECT_NE(job1, 0u);
  // Without a SID the conference that has the peer is found.
  cm->onExtraVideoFlowNotify(kPeer, "", true, true);
  ASSERT_TRUE(WaitFor([&] { return hx::GetTickCount() > static_cast<int64_t>(t1) + 5; }, 1000));
  cm->onExtraVideoFlowNotify(kPeer, kSid, true, true);  // a repeat: no signal, a newer time
  const auto [s2, job2, t2] = state();
  EXPECT_EQ(s2, 0);
  EXPECT_EQ(job2, job1);
  EXPECT_GT(t2, t1);
  // The timeout right after a notice keeps the state.
  cm->onExtraVideoTimeout(callId, kPeer);
  EXPECT_EQ(std::get<0>(state()), 0);
  cm->onExtraVideoFlowNotify(kPeer, kSid, false, true);
  EXPECT_EQ(state(), std::make_tuple(2, 0u, t2));
  cm->onExtraVideoFlowNotify("nobody", kSid, true, true);
  cm->onExtraVideoFlowNotify(kPeer, "other@test.invalid", true, true);
  EXPECT_EQ(recorder.all(), (std::vector<std::string>{prefix + "1", prefix + "0", prefix + "2"}));
}

TEST_F(DirectStore, ExtraVideoNotRenewedExpiresBetweenOneAndTwoPeriods) {
  constexpr uint32_t kPeriodMs = 300;
  cm->setExtraVideoTimeoutForTest(kPeriodMs);
  ExtraVideoRecorder recorder;
  cm->extraVideoSignal.Connect(&recorder, &ExtraVideoRecorder::onSignal);
  cm->onExtraVideoFlowNotify(kPeer, kSid, true, true);
  // Renewed half a period later: the first run of the job finds it fresh and looks again.
  std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs / 2));
  cm->onExtraVideoFlowNotify(kPeer, kSid, true, true);
  const auto renewed = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return recorder.all().size() == 2; }, 20000));
  const std::string prefix = std::string(kSid) + " " + kPeer + " ";
  EXPECT_EQ(recorder.all(), (std::vector<std::string>{prefix + "0", prefix + "2"}));
  EXPECT_GE(recorder.stamps[1] - renewed, std::chrono::milliseconds(kPeriodMs));
  WithCall([&](HX_Conference& call) {
    EXPECT_EQ(Bob(call).getExtraVideoState(), 2);
    EXPECT_EQ(Bob(call).getExtraVideoJob(), 0u);
    return 0;
  });
  // The job is gone: a late run of the timeout changes nothing.
  cm->onExtraVideoTimeout(callId, kPeer);
  EXPECT_EQ(recorder.all().size(), 2u);
}

}  // namespace
}  // namespace hx::testing
