// The cross connector under concurrent use, meant to run under ThreadSanitizer and
// AddressSanitizer: requests from three threads, a listener-style re-bind thread (table lock,
// then socket requests) and datagram traffic, while the connector shuts down and is destroyed
// from another thread, many times over.

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "core/base/event.h"
#include "core/streams/udp_connector_test_util.h"

namespace hx::streams {
namespace {

using testing::AddSocket;
using testing::Peer;
using testing::RecordingConnector;
using testing::StartedSocket;

// A handler that answers every datagram and send opportunity without logging (the traffic is
// large) and asks for its own removal at random.
class BusyHandler : public HandlerUDP {
 public:
  using HandlerUDP::HandlerUDP;
  void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor&) override {
    received.fetch_add(1, std::memory_order_relaxed);
    setSendState(descriptor, true);
  }
  void onReadySend(UDPListenerSocketDescriptor* descriptor) override {
    setSendState(descriptor, false);
    startTimer(descriptor, 1, 1);
  }
  std::atomic<int> received{0};
};

class ConnectorStressTest : public ::hx::testing::LoopFixture {
 protected:
  // One round: returns when the connector has been shut down and destroyed on the loop.
  void runRound(Peer& peer, uint32_t seed) {
    auto* connector = new RecordingConnector();
    std::vector<HXSockAddr> targets;
    for (int i = 0; i < 2; ++i) {
      ListenerSocketUDP* socket = StartedSocket();
      ASSERT_NE(socket, nullptr);
      targets.push_back(socket->getBoundAddress());
      ASSERT_TRUE(AddSocket(*connector, socket));
    }
    // Ends threads on every way out, a failed assertion included; the traffic ends last, after
    // the connector is gone.
    struct Joiner {
      std::atomic<bool> stop{false};
      std::vector<std::thread> threads;
      ~Joiner() { join(); }
      void join() {
        stop.store(true);
        for (auto& thread : threads) {
          if (thread.joinable()) thread.join();
        }
      }
    };
    Joiner traffic;
    Joiner users;
    std::atomic<bool>& stop = users.stop;
    std::vector<std::thread>& threads = users.threads;
    traffic.threads.emplace_back([&] {
      while (!traffic.stop.load()) {
        for (const auto& target : targets) peer.sendTo(target, "x");
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
    for (uint32_t t = 0; t < 3; ++t) {
      threads.emplace_back([&, t] {  // requests
        std::mt19937 random(seed * 7 + t);
        std::vector<std::shared_ptr<BusyHandler>> mine;
        while (!stop.load()) {
          auto handler = std::make_shared<BusyHandler>(connector);
          const uint32_t socketId = 1 + random() % 4;
          connector->registerHandler(handler, socketId, peer.address(), random() % 5 == 0);
          mine.push_back(handler);
          auto& some = mine[random() % mine.size()];
          some->setSendStateAsync(random() % 2 == 0);
          some->startTimer(random() % 3, random() % 5);
          if (random() % 3 == 0) some->DeleteLater();
          some->changeSocket(1 + random() % 4, nullptr);
          connector->getHandler(random() % 16);
          // Paced, so that the loop's pass can catch up and end: a shutdown completes at the
          // end of the pass that ran it.
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
      });
    }
    threads.emplace_back([&] {  // re-binds, as the listener makes them
      std::mt19937 random(seed);
      while (!stop.load()) {
        ListenerSocketUDP* socket = StartedSocket();
        if (socket == nullptr) continue;
        {
          HXAutoLock lock(connector->getLock());
          connector->destroySocketNL(1 + random() % 8);
          if (!connector->addSocketNL(socket)) socket->stop();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });

    const size_t before = connector->log.count("shutdown done");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let traffic and requests run
    connector->shutdown();
    ASSERT_TRUE(connector->log.waitFor("shutdown done", before + 1));
    users.join();
    // What the threads added after the shutdown goes with a second one; then the connector is
    // destroyed by a network job, from this thread, while datagrams may still arrive.
    connector->shutdown();
    ASSERT_TRUE(connector->log.waitFor("shutdown done", before + 2));
    HXEvent destroyed{false};
    ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new ::hx::testing::FunctionTask([&] {
                                                delete connector;
                                                destroyed.Set();
                                              }),
                                              0));
    ASSERT_TRUE(destroyed.Wait(10000));
  }
};

TEST_F(ConnectorStressTest, ShutdownsAndDestructionDuringRequestsRebindsAndTraffic) {
  Peer peer;
  for (uint32_t round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    runRound(peer, round);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace hx::streams
