// The socket descriptor and the handlers' redirectors on real listener sockets of the network
// loop (127.0.0.1), with plain datagram sockets as the far end. Where an event cannot be made to
// happen on a real socket (a socket error, a refused timer), the test calls the descriptor on the
// loop's thread or gives the socket a helper that refuses.

#include "core/streams/udp_socket_descriptor.h"

#include <gtest/gtest.h>

#include "core/streams/udp_connector_test_util.h"

namespace hx::streams {
namespace {

using testing::AddSocket;
using testing::EventLog;
using testing::Peer;
using testing::RecordingHandler;
using Lines = std::vector<std::string>;

class DescriptorTest : public testing::ConnectorFixture {
 protected:
  void SetUp() override {
    ConnectorFixture::SetUp();
    socketId = addSocket(&socket);
  }
  std::shared_ptr<RecordingHandler> boundHandler(const HXSockAddr& source) {
    auto handler = makeHandler();
    registerAndWait(handler, socketId, source);
    return handler;
  }
  void send(const Peer& from, const std::string& payload) {
    from.sendTo(socket->getBoundAddress(), payload);
  }

  ListenerSocketUDP* socket = nullptr;
  uint32_t socketId = 0;
};

TEST_F(DescriptorTest, TheCacheFollowsTheSourceAndForgetsWhatGoes) {
  Peer other;
  Peer stranger;
  auto first = boundHandler(peer.address());
  auto second = boundHandler(other.address());
  auto fallback = makeHandler();
  connector->registerHandler(fallback, true);
  drain();

  for (const char* payload : {"a1", "a2"}) send(peer, payload);
  send(other, "b1");
  send(peer, "a3");
  send(stranger, "s1");
  ASSERT_TRUE(fallback->log.waitFor("recv s1"));
  EXPECT_EQ(first->log.lines(), (Lines{"registered 1", "connected " + std::to_string(socketId),
                                       "assoc 1", "recv a1", "recv a2", "recv a3"}));
  EXPECT_EQ(second->log.count("recv b1"), 1u);

  // The cached handler goes: its source is unknown from then on, and nothing reaches the
  // destroyed object.
  send(peer, "a4");
  ASSERT_TRUE(first->log.waitFor("recv a4"));
  std::weak_ptr<RecordingHandler> gone = first;
  first->DeleteLater();
  ASSERT_TRUE(first->log.waitFor("removed"));
  first.reset();
  EXPECT_TRUE(gone.expired());
  send(peer, "a5");
  EXPECT_TRUE(fallback->log.waitFor("recv a5"));

  // A handler that gives up its source inside its own dispatch leaves no stale cache entry.
  second->onRecv = [&](UDPListenerSocketDescriptor* descriptor, const HandlerUDP::MsgDescriptor&) {
    second->assocFromAddr(descriptor, stranger.address(), true);
  };
  send(other, "b2");
  ASSERT_TRUE(second->log.waitFor("recv b2"));
  send(other, "b3");
  EXPECT_TRUE(fallback->log.waitFor("recv b3"));
  send(stranger, "s2");
  EXPECT_TRUE(second->log.waitFor("recv s2"));
}

TEST_F(DescriptorTest, SendOpportunitiesServeTheAskingHandlersInTurn) {
  struct Case {
    const char* name;
    int leavesAfter[3];  // turns after which each handler stops asking
    Lines expected;
  };
  const Case cases[] = {
      {"all stay three turns", {3, 3, 3}, {"h0", "h1", "h2", "h0", "h1", "h2", "h0", "h1", "h2"}},
      // h1 leaves in its first turn: h2 still comes next.
      {"one leaves in its turn", {3, 1, 3}, {"h0", "h1", "h2", "h0", "h2", "h0", "h2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EventLog turns;
    std::vector<std::shared_ptr<RecordingHandler>> handlers;
    for (int i = 0; i < 3; ++i) {
      auto handler = makeHandler();
      const std::string name = "h" + std::to_string(i);
      const int limit = c.leavesAfter[i];
      auto served = std::make_shared<int>(0);
      RecordingHandler* raw = handler.get();
      handler->onSend = [&turns, name, limit, served, raw](UDPListenerSocketDescriptor* d) {
        turns.add(name);
        if (++*served >= limit) raw->setSendState(d, false);
      };
      registerAndWait(handler, socketId, HXSockAddr());
      handlers.push_back(handler);
    }
    // All three ask in one pass, so the first opportunity finds all of them.
    OnLoop([&] {
      for (auto& handler : handlers) handler->setSendStateAsync(true);
    });
    ASSERT_TRUE(
        ::hx::testing::WaitFor([&] { return turns.lines().size() >= c.expected.size(); }, 10000));
    drain();
    EXPECT_EQ(turns.lines(), c.expected);
    for (auto& handler : handlers) handler->DeleteLater();
    drain();
  }
}

TEST_F(DescriptorTest, OneTimerTypeStartedTwiceKeepsOneSocketTimer) {
  auto handler = boundHandler(HXSockAddr());
  OnLoop([&] {
    handler->startTimer(7, 20);
    handler->startTimer(7, 600000);  // restarts the same socket timer far away
    handler->startTimer(8, 300);
  });
  ASSERT_TRUE(handler->log.waitFor("timer 8"));
  // The loop runs due timers in order: a second socket timer for type 7 would have come first.
  EXPECT_EQ(handler->log.count("timer 7"), 0u);
  handler->startTimer(7, 1);
  EXPECT_TRUE(handler->log.waitFor("timer 7"));
}

// A native helper whose socket timers can be refused, and which counts the stops it is asked for.
class RefusingTimerHelper : public HXZNativeSocketHelper {
 public:
  using HXZNativeSocketHelper::HXZNativeSocketHelper;
  bool StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                     uint32_t delay_ms) override {
    if (refuse.load()) return false;
    return HXZNativeSocketHelper::StartTimerImp(socket, handler, id, delay_ms);
  }
  bool StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) override {
    stops.fetch_add(1);
    return HXZNativeSocketHelper::StopTimerImp(socket, handler, id);
  }
  static inline std::atomic<bool> refuse{false};
  static inline std::atomic<int> stops{0};
};

TEST_F(DescriptorTest, ARefusedTimerLeavesNoRecord) {
  auto* refusing = HXZServer::implantNative<ListenerSocketUDP, RefusingTimerHelper>(
      -1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_TRUE(refusing->start(testing::Loopback(0)));
  ASSERT_TRUE(AddSocket(*connector, refusing));
  ASSERT_TRUE(::hx::testing::WaitFor([&] { return refusing->getSocketId() != 0; }, 10000));
  auto handler = makeHandler();
  registerAndWait(handler, refusing->getSocketId(), HXSockAddr());
  drain();

  RefusingTimerHelper::refuse.store(true);
  RefusingTimerHelper::stops.store(0);
  handler->startTimer(7, 1);
  drain();
  // Stopping a timer that has no record asks the socket for nothing.
  handler->stopTimer(7);
  drain();
  EXPECT_EQ(RefusingTimerHelper::stops.load(), 0);
  RefusingTimerHelper::refuse.store(false);
  handler->startTimer(7, 1);
  EXPECT_TRUE(handler->log.waitFor("timer 7"));
}

TEST_F(DescriptorTest, ASocketErrorReachesEveryHandlerOfThatSocketOnly) {
  auto a = boundHandler(peer.address());
  auto b = boundHandler(HXSockAddr());
  const uint32_t otherSocket = addSocket();
  auto elsewhere = makeHandler();
  registerAndWait(elsewhere, otherSocket, HXSockAddr());
  send(peer, "hello");
  ASSERT_TRUE(a->log.waitFor("recv hello"));
  OnLoop([&] { a->lastDescriptor.load()->OnError(); });
  EXPECT_EQ(a->log.count("error"), 1u);
  EXPECT_EQ(b->log.count("error"), 1u);
  EXPECT_EQ(elsewhere->log.count("error"), 0u);
}

// A socket event that runs a queued shutdown destroys its own descriptor; the descriptor must
// outlive the callback that it is running.
TEST_F(DescriptorTest, AShutdownRunByTheDescriptorsOwnCallbackLetsItFinish) {
  auto handler = boundHandler(peer.address());
  send(peer, "first");
  ASSERT_TRUE(handler->log.waitFor("recv first"));
  UDPListenerSocketDescriptor* descriptor = handler->lastDescriptor.load();
  OnLoop([&] {
    connector->shutdown();
    // The queue waits: the receive runs it first (nothing is there to read afterwards).
    descriptor->OnReadyRecvImp(socket, socket);
  });
  EXPECT_TRUE(connector->log.waitFor("shutdown done"));
  EXPECT_EQ(handler->log.count("disconnected " + std::to_string(socketId)), 1u);
}

// ---- Redirectors ----

class RecordingOwner : public HandlerUDPDataCallbacks, public HandlerUDPRegistratorCallbacks {
 public:
  void onRecvMsgImp(HandlerUDP* handler, UDPListenerSocketDescriptor*,
                    const HandlerUDP::MsgDescriptor& message) override {
    log.add("recv " + std::to_string(handler->getHandlerUdpId()) + " " +
            std::string(reinterpret_cast<const char*>(message.data), message.size));
  }
  void onReadySendImp(HandlerUDP*, UDPListenerSocketDescriptor*) override { log.add("send"); }
  void onTimerImp(HandlerUDP*, uint32_t type) override { log.add("timer " + std::to_string(type)); }
  void registeredByCcnNotify(const std::shared_ptr<HandlerUDP>&, bool ok) override {
    log.add("registered " + std::to_string(ok));
  }
  void connectedToSocketNotify(HandlerUDP* handler) override {
    log.add("connected " + std::to_string(handler->getSocketId()));
  }
  EventLog log;
};

TEST_F(DescriptorTest, RedirectorsReachALiveOwnerAndDropEventsForAGoneOne) {
  auto owner = std::make_shared<RecordingOwner>();
  auto direct = std::make_shared<UdpDirectHandler>(connector.get(), 42);
  direct->setDataCallback(owner);
  direct->setRegistratorCallback(owner);
  connector->registerHandler(direct, socketId, peer.address(), false);
  ASSERT_TRUE(owner->log.waitFor("connected " + std::to_string(socketId)));
  EXPECT_EQ(direct->getInListId(), 42u);
  send(peer, "p1");
  const std::string id = std::to_string(direct->getHandlerUdpId());
  ASSERT_TRUE(owner->log.waitFor("recv " + id + " p1"));
  direct->startTimer(3, 1);
  ASSERT_TRUE(owner->log.waitFor("timer 3"));

  // The owner goes while the connector still holds the handler: its events are dropped.
  std::weak_ptr<RecordingOwner> weakOwner = owner;
  owner.reset();
  EXPECT_TRUE(weakOwner.expired());
  EXPECT_EQ(direct->getDataCallback(), nullptr);
  Peer other;
  auto witness = boundHandler(other.address());
  send(peer, "p2");
  send(other, "after");
  EXPECT_TRUE(witness->log.waitFor("recv after"));
  EXPECT_EQ(direct->getState(), HandlerUDP::kTied);
}

TEST_F(DescriptorTest, AHandlerRegisteredAfterItsOwnerDiedIsRemoved) {
  struct Case {
    const char* name;
    bool ownerAlive;
    uint32_t finalState;
  };
  const Case cases[] = {{"owner alive", true, HandlerUDP::kTied},
                        {"owner gone", false, HandlerUDP::kNotRegistered}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto owner = std::make_shared<RecordingOwner>();
    auto direct = std::make_shared<UdpDirectHandler>(connector.get(), 1);
    direct->setRegistratorCallback(owner);
    if (!c.ownerAlive) owner.reset();
    connector->registerHandler(direct, socketId, HXSockAddr(), false);
    drain();
    drain();  // the removal the redirector asks for is queued behind the registration
    EXPECT_EQ(direct->getState(), c.finalState);
    EXPECT_EQ(connector->getHandler(direct->getHandlerUdpId()) != nullptr, c.ownerAlive);
    if (c.ownerAlive) EXPECT_EQ(owner->log.count("registered 1"), 1u);
  }
}

}  // namespace
}  // namespace hx::streams
