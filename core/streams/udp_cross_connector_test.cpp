// The UDP cross connector on the real network loop with listener sockets on 127.0.0.1 and a plain
// datagram socket as the far end. Handlers record their notifications and datagrams; the tests
// wait for those records with generous limits.

#include "core/streams/udp_cross_connector.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/streams/udp_connector_test_util.h"

namespace hx::streams {
namespace {

using testing::AddSocket;
using testing::Peer;
using testing::StartedSocket;
using Lines = std::vector<std::string>;

using CrossConnectorTest = testing::ConnectorFixture;

TEST_F(CrossConnectorTest, HandlersAndSocketsTakeIdsFromOneCounterStartingAtOne) {
  const uint32_t socket1 = addSocket();
  auto h1 = makeHandler();
  registerAndWait(h1, 0, HXSockAddr());
  const uint32_t socket2 = addSocket();
  auto h2 = makeHandler();
  registerAndWait(h2, 0, HXSockAddr());
  EXPECT_EQ(socket1, 1u);
  EXPECT_EQ(h1->getHandlerUdpId(), 2u);
  EXPECT_EQ(socket2, 3u);
  EXPECT_EQ(h2->getHandlerUdpId(), 4u);
  EXPECT_EQ(connector->getHandler(2), h1);
  EXPECT_EQ(connector->getHandler(1), nullptr);
}

TEST_F(CrossConnectorTest, RegistrationNotifiesWhatWasAsked) {
  const uint32_t socketId = addSocket();
  struct Case {
    const char* name;
    bool withSocket;
    bool withAddress;
    Lines expected;
    uint32_t state;
  };
  const std::string connected = "connected " + std::to_string(socketId);
  const Case cases[] = {
      {"socket 0: tied to nothing", false, true, {"registered 1"}, HandlerUDP::kRegistered},
      {"socket, empty address", true, false, {"registered 1", connected}, HandlerUDP::kTied},
      {"socket and address", true, true, {"registered 1", connected, "assoc 1"}, HandlerUDP::kTied},
  };
  uint16_t port = 40000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = makeHandler();
    const HXSockAddr address = c.withAddress ? testing::Loopback(++port) : HXSockAddr();
    registerAndWait(handler, c.withSocket ? socketId : 0, address);
    drain();
    EXPECT_EQ(handler->log.lines(), c.expected);
    EXPECT_EQ(handler->getState(), c.state);
    EXPECT_EQ(handler->getSocketId(), c.withSocket ? socketId : 0u);
  }
}

TEST_F(CrossConnectorTest, TyingATiedHandlerFailsButChangeSocketMovesIt) {
  const uint32_t first = addSocket();
  ListenerSocketUDP* secondSocket = nullptr;
  const uint32_t second = addSocket(&secondSocket);
  auto handler = makeHandler();
  registerAndWait(handler, first, HXSockAddr());
  drain();
  handler->log.clear();

  connector->tieHandlerToSocket(handler->getHandlerUdpId(), second);
  drain();
  EXPECT_EQ(handler->log.lines(), Lines{"connected 0"});
  // The failed tie reports 0 but the connector keeps the handler where it was.
  handler->log.clear();
  const HXSockAddr source = peer.address();
  handler->changeSocket(second, &source);
  drain();
  EXPECT_EQ(handler->log.lines(), (Lines{"disconnected " + std::to_string(first),
                                         "connected " + std::to_string(second), "assoc 1"}));
  peer.sendTo(secondSocket->getBoundAddress(), "moved");
  EXPECT_TRUE(handler->log.waitFor("recv moved"));
}

TEST_F(CrossConnectorTest, AnAddressOwnedByAnotherHandlerIsRefused) {
  ListenerSocketUDP* socket = nullptr;
  const uint32_t socketId = addSocket(&socket);
  auto owner = makeHandler();
  auto intruder = makeHandler();
  registerAndWait(owner, socketId, peer.address());
  registerAndWait(intruder, socketId, peer.address());
  drain();
  EXPECT_EQ(owner->log.count("assoc 1"), 1u);
  EXPECT_EQ(intruder->log.count("assoc 0"), 1u);
  peer.sendTo(socket->getBoundAddress(), "mine");
  EXPECT_TRUE(owner->log.waitFor("recv mine"));
  EXPECT_EQ(intruder->log.count("recv mine"), 0u);
}

TEST_F(CrossConnectorTest, UnknownSourcesGoToTheDefaultHandlerUntilItIsRemoved) {
  ListenerSocketUDP* socket = nullptr;
  const uint32_t socketId = addSocket(&socket);
  auto fallback = makeHandler();
  auto known = makeHandler();
  Peer stranger;
  connector->registerHandler(fallback, true);
  registerAndWait(known, socketId, peer.address());
  drain();
  stranger.sendTo(socket->getBoundAddress(), "who");
  ASSERT_TRUE(fallback->log.waitFor("recv who"));

  connector->removeHandler(fallback->getHandlerUdpId());
  ASSERT_TRUE(fallback->log.waitFor("removed"));
  // The known source's datagram is sent after the stranger's: once it is in, the stranger's has
  // been dispatched too, to nobody.
  stranger.sendTo(socket->getBoundAddress(), "who again");
  peer.sendTo(socket->getBoundAddress(), "known");
  ASSERT_TRUE(known->log.waitFor("recv known"));
  EXPECT_EQ(fallback->log.count("recv who again"), 0u);
  EXPECT_EQ(known->log.count("recv who again"), 0u);
}

TEST_F(CrossConnectorTest, RequestsMadeFromANotificationRunInTheSamePass) {
  const uint32_t socketId = addSocket();
  auto handler = makeHandler();
  handler->onRegistered = [&] {
    connector->tieHandlerToSocket(handler->getHandlerUdpId(), socketId);
  };
  Lines seenAtPassEnd;
  OnLoop([&] {
    connector->registerHandler(handler, false);
    connector->processCtrlQueue();
    seenAtPassEnd = handler->log.lines();
  });
  EXPECT_EQ(seenAtPassEnd, (Lines{"registered 1", "connected " + std::to_string(socketId)}));
}

TEST_F(CrossConnectorTest, WithoutAFreeIdARegistrationIsRefusedAndNothingFollows) {
  connector->setIdLimit(2);
  const uint32_t socketId = addSocket();
  auto h1 = makeHandler();
  auto h2 = makeHandler();
  auto h3 = makeHandler();
  registerAndWait(h1, 0, HXSockAddr());
  registerAndWait(h2, 0, HXSockAddr());
  registerAndWait(h3, socketId, peer.address());
  // A later request still runs: h3's answer was the last word for it.
  connector->removeHandler(h2->getHandlerUdpId());
  ASSERT_TRUE(h2->log.waitFor("removed"));
  EXPECT_EQ(h3->log.lines(), Lines{"registered 0"});
  EXPECT_EQ(h3->getHandlerUdpId(), 0u);

  // Socket ids: 1 is taken, 2 is free, then none.
  ListenerSocketUDP* second = StartedSocket();
  ListenerSocketUDP* third = StartedSocket();
  ASSERT_NE(second, nullptr);
  ASSERT_NE(third, nullptr);
  EXPECT_TRUE(AddSocket(*connector, second));
  EXPECT_FALSE(AddSocket(*connector, third));
  third->stop();
  EXPECT_TRUE(connector->log.waitFor("added 2 ok"));
}

// Destroying a socket returns its handlers to socket 0: they can be tied elsewhere afterwards.
TEST_F(CrossConnectorTest, HandlersOfADestroyedSocketCanBeTiedToAnotherSocket) {
  const uint32_t gone = addSocket();
  ListenerSocketUDP* other = nullptr;
  const uint32_t stays = addSocket(&other);
  auto handler = makeHandler();
  registerAndWait(handler, gone, HXSockAddr());
  drain();
  {
    HXAutoLock lock(connector->getLock());
    connector->destroySocketNL(gone);
  }
  ASSERT_TRUE(connector->log.waitFor("removed " + std::to_string(gone) + " ok"));
  EXPECT_TRUE(handler->log.waitFor("disconnected " + std::to_string(gone)));
  EXPECT_EQ(handler->getSocketId(), 0u);

  handler->log.clear();
  connector->tieHandlerToSocket(handler->getHandlerUdpId(), stays);
  connector->assocFromAddr(handler->getHandlerUdpId(), peer.address());
  drain();
  EXPECT_EQ(handler->log.lines(), (Lines{"connected " + std::to_string(stays), "assoc 1"}));
  peer.sendTo(other->getBoundAddress(), "again");
  EXPECT_TRUE(handler->log.waitFor("recv again"));
}

TEST_F(CrossConnectorTest, SubstitutionMovesTheAddressToTheNewHandler) {
  ListenerSocketUDP* socket = nullptr;
  const uint32_t socketId = addSocket(&socket);
  auto old = makeHandler();
  auto replacement = makeHandler();
  registerAndWait(old, socketId, peer.address());
  connector->substHandler(replacement, old->getHandlerUdpId(), true);
  ASSERT_TRUE(old->log.waitFor("removed"));
  EXPECT_EQ(replacement->log.lines(),
            (Lines{"registered 1", "connected " + std::to_string(socketId), "assoc 1"}));
  peer.sendTo(socket->getBoundAddress(), "to the new one");
  EXPECT_TRUE(replacement->log.waitFor("recv to the new one"));
  EXPECT_EQ(old->log.count("recv to the new one"), 0u);
}

TEST_F(CrossConnectorTest, ShutdownUntiesRemovesAndStopsEverything) {
  const uint32_t socketId = addSocket();
  auto tied = makeHandler();
  auto loose = makeHandler();
  registerAndWait(tied, socketId, peer.address());
  registerAndWait(loose, 0, HXSockAddr());
  shutdownAndWait();
  EXPECT_EQ(tied->log.lines(),
            (Lines{"registered 1", "connected " + std::to_string(socketId), "assoc 1",
                   "disconnected " + std::to_string(socketId), "removed"}));
  EXPECT_EQ(loose->log.lines(), (Lines{"registered 1", "removed"}));
  EXPECT_EQ(connector->getHandler(tied->getHandlerUdpId()), nullptr);
  EXPECT_EQ(tied->getState(), HandlerUDP::kNotRegistered);
}

// The listener takes the queue lock inside the table lock when it re-binds on another thread;
// the end of a shutdown pass must therefore not hold the queue lock while it needs the table
// lock, nor while it tells the listener.
TEST_F(CrossConnectorTest, TheEndOfAShutdownHoldsNoQueueLock) {
  addSocket();
  std::atomic<bool> rebindFinished{false};
  std::thread rebind;
  bool finishedInTime = false;
  connector->onShutdownDone = [&] {
    rebind = std::thread([&] {
      HXAutoLock lock(connector->getLock());
      connector->destroySocketNL(999);
      rebindFinished.store(true);
    });
    finishedInTime = ::hx::testing::WaitFor([&] { return rebindFinished.load(); }, 10000);
  };
  shutdownAndWait();
  // Joined here, not in the notification: a re-bind stuck behind the pass ends with the pass.
  rebind.join();
  connector->onShutdownDone = nullptr;  // it refers to this frame
  EXPECT_TRUE(finishedInTime);
  EXPECT_TRUE(connector->log.waitFor("removed 999 refused"));
}

// The queue's job may wait in the loop twice (a pass ran the queue before it) when the connector
// is destroyed: both runs must find nothing to do, and the last one has the job deleted.
TEST_F(CrossConnectorTest, ADestroyedConnectorLeavesItsWaitingQueueJobsHarmless) {
  auto* doomed = new testing::RecordingConnector();
  OnLoop([&] {
    doomed->removeHandler(7);  // the queue was empty: the job goes to the loop
    doomed->processCtrlQueue();
    doomed->removeHandler(7);  // empty again: the job goes to the loop a second time
    delete doomed;
  });
  // Both waiting runs come before this job, which the loop runs after them.
  OnLoop([] {});
}

}  // namespace
}  // namespace hx::streams
