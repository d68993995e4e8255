#pragma once
// Test support for the peer-to-peer UDP lists and their supervisor: a real conference store with
// one confirmed conference (its trial list is the recording stand-in), a real cross connector
// with one listener socket on 127.0.0.1, and plain sockets for the far ends.

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "core/conference/model/conference.h"
#include "core/conference/store/conf_store_test_util.h"
#include "core/streams/stream_stand_ins.h"
#include "core/streams/udp_connector_test_util.h"

namespace hx::streams::testing {

// A plain datagram socket on 127.0.0.1 that also reads.
class FarEnd : public Peer {
 public:
  // The next datagram's bytes; empty after 10 s without one.
  std::string receive() const {
    pollfd item{handle(), POLLIN, 0};
    if (poll(&item, 1, 10000) != 1) return std::string();
    char buffer[2048];
    const ssize_t n = recv(handle(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
};

// The SID of the fixture's conference.
inline constexpr char kSid[] = "sid-udp-1";

class UdpListFixture : public ::hx::testing::ConfStoreFixture {
 protected:

  void SetUp() override {
    ConfStoreFixture::SetUp();
    conferenceId = Confirmed(kSid);
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, conferenceId));
      lock->setUdpTrialList(trialList);
    }
    connector = std::make_unique<RecordingConnector>();
    socket = StartedSocket();
    ASSERT_NE(socket, nullptr);
    ASSERT_TRUE(AddSocket(*connector, socket));
    ASSERT_TRUE(::hx::testing::WaitFor([&] { return socket->getSocketId() != 0; }, 10000));
  }
  // Subclasses let go of what refers to the connector first.
  void TearDown() override {
    if (connector != nullptr) {
      connector->shutdown();
      EXPECT_TRUE(connector->log.waitFor("shutdown done"));
      RunOnLoop([&] { connector.reset(); });
    }
    ConfStoreFixture::TearDown();
  }

  static void RunOnLoop(const std::function<void()>& function) {
    std::atomic<bool> done{false};
    ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new ::hx::testing::FunctionTask([&] {
                                                function();
                                                done = true;
                                              }),
                                              0));
    ASSERT_TRUE(::hx::testing::WaitFor([&] { return done.load(); }, 10000));
  }

  // A default handler that records what no other handler takes.
  std::shared_ptr<RecordingHandler> registerProbe() {
    auto probe = std::make_shared<RecordingHandler>(connector.get());
    connector->registerHandler(probe, true);
    EXPECT_TRUE(probe->log.waitFor("registered 1"));
    return probe;
  }

  // Waits until every connector request made so far has run: a marker handler's registration
  // answer comes after them.
  void drain() {
    auto marker = std::make_shared<RecordingHandler>(connector.get());
    connector->registerHandler(marker, false);
    ASSERT_TRUE(marker->log.waitFor("registered 1"));
    connector->removeHandler(marker->getHandlerUdpId());
    ASSERT_TRUE(marker->log.waitFor("removed"));
  }

  int32_t conferenceId = 0;
  std::shared_ptr<UdpTrialDirectStreamList> trialList =
      std::make_shared<UdpTrialDirectStreamList>();
  std::unique_ptr<RecordingConnector> connector;
  ListenerSocketUDP* socket = nullptr;
};

}  // namespace hx::streams::testing
