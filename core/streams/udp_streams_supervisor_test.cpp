// The UDP streams supervisor on a real conference store and a real cross connector with one
// loopback socket: datagrams from a plain socket that no handler owns reach the bottom handler,
// and only readable hellos for a known conference, while direct connections are allowed, reach
// that conference's trial list.
#include "core/streams/udp_streams_supervisor.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/client/fsm_shared.h"
#include "core/streams/udp_direct_hello.h"
#include "core/streams/udp_direct_list_test_util.h"

namespace hx::streams {
namespace {

using testing::Peer;

using testing::kSid;

// A hello as a peer sends it, naming `conference`.
std::string Hello(const std::string& conference, const std::string& participant) {
  udp::HelloRequestData fields;
  fields.conferenceName = conference;
  fields.participantName = participant;
  fields.connectedParticipantName = "me";
  HX_Container body;
  udp::addCommonReqFields(fields, body);
  udp::addCtrlNum(body, 77);
  HXNetMessage message;
  EXPECT_TRUE(udp::fillMsg(message, body, udp::kHelloText, udp::kHelloHeaderSize));
  return std::string(reinterpret_cast<const char*>(message.buffer()), message.size());
}

class UdpStreamsSupervisorTest : public testing::UdpListFixture {
 protected:
  void SetUp() override {
    UdpListFixture::SetUp();
    supervisor = std::make_shared<HX_UdpStreamsSupervisor>(cm, connector.get());
  }
  void TearDown() override {
    supervisor.reset();
    UdpListFixture::TearDown();
  }

  void send(const std::string& payload) { peer.sendTo(socket->getBoundAddress(), payload); }
  // Hellos handed to the trial list, as "<participant> <source>".
  std::vector<std::string> handed() const {
    std::vector<std::string> out;
    for (const std::string& call : trialList->calls()) {
      const std::string prefix = "onHelloFromUnknownSource ";
      if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call.substr(prefix.size()));
    }
    return out;
  }
  // Sends a good hello from "marker" and waits for it: everything sent before it has been
  // dispatched (one source, one socket, in order).
  void sendMarkerAndWait() {
    const size_t before = handed().size();
    send(Hello(kSid, "marker"));
    ASSERT_TRUE(::hx::testing::WaitFor([&] { return handed().size() > before; }, 10000));
  }
  std::string fromPeer(const std::string& participant) const {
    return participant + " " + peer.address().strBind();
  }

  std::shared_ptr<HX_UdpStreamsSupervisor> supervisor;
  Peer peer;
};

TEST_F(UdpStreamsSupervisorTest, HelloFromUnknownSourceReachesTheNamedConferencesTrialList) {
  send(Hello(kSid, "bob"));
  ASSERT_TRUE(::hx::testing::WaitFor([&] { return !handed().empty(); }, 10000));
  EXPECT_EQ(handed(), std::vector<std::string>{fromPeer("bob")});
}

TEST_F(UdpStreamsSupervisorTest, DropsWhatIsNotAReadableHelloForAKnownConference) {
  const std::string hello = Hello(kSid, "bob");
  const std::string lowerCase = "udp_direct_connect" + hello.substr(18);
  const std::vector<std::string> dropped = {
      hello.substr(0, 18),                 // the hello text without its NUL
      hello.substr(0, 19),                 // a header without length
      Hello("no-such-sid", "bob"),         // a conference this client does not have
      Hello("", "bob"),                    // no conference name
      std::string("UDP_CONN_OK\0", 12) + hello.substr(19),  // an OK reply
      "plain media bytes",
  };
  for (const std::string& datagram : dropped) send(datagram);
  send(lowerCase);  // the header is matched without regard to case
  sendMarkerAndWait();
  EXPECT_EQ(handed(), (std::vector<std::string>{fromPeer("bob"), fromPeer("marker")}));
}

TEST_F(UdpStreamsSupervisorTest, EveryHelloIsDroppedWhileDirectConnectionsAreForbidden) {
  // A handler of its own for a second far end: once it has the second end's datagram, the
  // socket has dispatched everything sent before it.
  testing::FarEnd witness;
  const auto bound = std::make_shared<testing::RecordingHandler>(connector.get());
  connector->registerHandler(bound, socket->getSocketId(), witness.address(), false);
  ASSERT_TRUE(bound->log.waitFor("assoc 1"));
  auto sendAndSettle = [&](const char* mark) {
    send(Hello(kSid, "bob"));
    witness.sendTo(socket->getBoundAddress(), mark);
    ASSERT_TRUE(bound->log.waitFor(std::string("recv ") + mark));
  };

  cm->getFSMShared()->SetForceDisableDirectConnection(true);
  sendAndSettle("forbidden");
  EXPECT_TRUE(handed().empty());
  cm->getFSMShared()->SetForceDisableDirectConnection(false);
  sendAndSettle("allowed");
  EXPECT_EQ(handed(), std::vector<std::string>{fromPeer("bob")});
}

// A supervisor let go while the connector lives takes its handler out, so that the connector
// holds nothing that points to it.
TEST_F(UdpStreamsSupervisorTest, ReleasedSupervisorLeavesTheConnector) {
  uint32_t bottomId = 0;
  ASSERT_TRUE(::hx::testing::WaitFor(
      [&] {
        RunOnLoop([&] {
          HandlerUDP* handler = connector->defaultHandler();
          bottomId = handler != nullptr ? handler->getHandlerUdpId() : 0;
        });
        return bottomId != 0;
      },
      10000));
  supervisor.reset();
  EXPECT_TRUE(::hx::testing::WaitFor([&] { return connector->getHandler(bottomId) == nullptr; },
                                     10000));
  send(Hello(kSid, "bob"));  // no owner and no default handler: nowhere
  const auto probe = registerProbe();
  send("marker");
  ASSERT_TRUE(probe->log.waitFor("recv marker"));
  EXPECT_TRUE(handed().empty());
}

}  // namespace
}  // namespace hx::streams
