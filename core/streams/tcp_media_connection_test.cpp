// The TCP media connections on loopback against the fake TCP media relay (testing/media_relay):
// trials that connect out and run the stream handshake, or answer a peer's request on an accepted
// socket; their states and their one report to the handshake manager; the socket options of the
// trial and the regular connections, read back with getsockopt; breaks of a regular connection.

#include "core/streams/tcp_media_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/net/address/addr_factory.h"
#include "core/net/address/if_addr_container.h"
#include "core/net/address/if_ip_entry.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/tcp_stream_test_util.h"
#include "core/transport/direct_test_util.h"
#include "testing/hostile_peers/blocking_peer.h"
#include "testing/media_relay/tcp_relay.h"

namespace {

using hx::testing::IdStream;
using hx::testing::IntOption;
using hx::testing::TcpMediaRelay;
using hx::testing::TrialRecorder;
using hx::testing::WaitFor;
using Trial = HX_MediaConnectionTrialTCP;

constexpr int kLimitMs = 10000;

// The least net handler: it only holds the connection the test gives it.
class HoldingHandler : public HX_MediaStreamNetHandler {
 public:
  bool startConnection(const std::string&) override { return true; }
};

// Reads and drops; 2 once the far end closed (what the packet managers answer then).
class DrainingManager : public HXZADataManager {
 public:
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override {
    calls.fetch_add(1);
    char sink[256];
    const size_t n = socket->Recv(sink, sizeof sink, 0);
    return n == 0 && handler->RecvEnded() ? done : keepGoing;
  }
  std::atomic<int> calls{0};
};

class TcpMediaConnectionTest : public hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_TRUE(relay.start());
  }
  void TearDown() override {
    for (Trial* trial : trials) OnLoop([&] { trial->connRecycle(); });
    // A connection that broke has gone by itself; the handlers hold only live ones.
    for (auto& stream : streams) stream->netHandler()->closeConnection();
    LoopFixture::TearDown();
  }

  // A stream of `type` owning a holding handler.
  IdStream& Stream(HX_StreamClient_Type type) {
    streams.push_back(std::make_unique<IdStream>(type));
    streams.back()->setConnectionHandler(new HoldingHandler);
    return *streams.back();
  }

  Trial* Outgoing(IdStream& stream, Trial::ConnectTarget target) {
    Trial* trial = nullptr;
    if (stream.getMediaStreamType() == hx::testing::kSenderType) {
      trial = HX_SenderConnectionTrialTCP::create(stream.netHandler());
    } else {
      trial = HX_ReceiverConnectionTrialTCP::create(stream.netHandler());
    }
    trials.push_back(trial);
    trial->setListener(&recorder);
    EXPECT_TRUE(trial->connectPeer(target));
    return trial;
  }
  Trial::ConnectTarget RelayTarget() const { return {"127.0.0.1", relay.port()}; }

  bool WaitState(Trial* trial, int32_t state) {
    return WaitFor([&] { return trial->getTrialState() == state; }, kLimitMs);
  }

  // Once the trial reports success, the regular connection of its kind takes the socket over
  // (on the loop's thread, as the stream does it).
  void RegularOnSuccess(bool sender, DrainingManager* manager) {
    recorder.onDone = [this, sender, manager](HX_NetTrialConnection* done, bool success) {
      if (!success) return;
      auto* trial = dynamic_cast<Trial*>(done);
      HX_MediaStreamNetHandler* handler = trial->netHandler();
      HX_MediaConnectionTCP* connection = nullptr;
      if (sender) {
        connection = HX_SenderConnectionTCP::fromTrial(*trial, handler);
      } else {
        connection = HX_ReceiverConnectionTCP::fromTrial(*trial, handler);
      }
      if (connection == nullptr) return;
      connection->setDataManager(manager);
      handler->setConnection(connection);
      connection->start();
      regular.store(connection);
    };
  }

  TcpMediaRelay relay;
  // Outlives the connections that read through it.
  DrainingManager manager;
  TrialRecorder recorder;
  std::vector<std::unique_ptr<IdStream>> streams;
  std::vector<Trial*> trials;
  std::atomic<HX_MediaConnectionTCP*> regular{nullptr};
};

TEST(TcpConnectTargetTest, TextFormAndEmptiness) {
  struct Case {
    std::string host;
    uint16_t port;
    std::string text;
    bool empty;
  };
  const std::vector<Case> cases{
      {"relay.example.com", 4307, "relay.example.com:4307", false},
      {"10.1.2.3", 80, "10.1.2.3:80", false},
      {"::1", 5000, "[::1]:5000", false},
      {"fe80::1%2", 7, "[fe80::1%2]:7", false},
      {"", 5000, ":5000", true},
      {"relay", 0, "relay:0", true},
  };
  for (const Case& c : cases) {
    const Trial::ConnectTarget target{c.host, c.port};
    EXPECT_EQ(target.text(), c.text) << c.host;
    EXPECT_EQ(target.empty(), c.empty) << c.host;
  }
}

TEST_F(TcpMediaConnectionTest, SenderTrialSendsItsIdsAndGetsLargeBufferWithoutNagle) {
  IdStream& stream = Stream(hx::testing::kSenderType);
  stream.setReceiverId("receiver-9");
  Trial* trial = Outgoing(stream, RelayTarget());
  ASSERT_TRUE(trial->start());
  ASSERT_TRUE(WaitState(trial, Trial::stateDone));
  ASSERT_TRUE(WaitFor([&] { return recorder.count.load() == 1; }, kLimitMs));
  EXPECT_EQ(recorder.reports(), std::vector<bool>{true});

  const auto requests = relay.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].role, 0);  // a sender: client type 1
  EXPECT_EQ(requests[0].conference, stream.GetConferenceId());
  EXPECT_EQ(requests[0].streamId, "sender-7");
  EXPECT_EQ(requests[0].peerId, "receiver-9");
  EXPECT_EQ(requests[0].name, "sender-7");
  EXPECT_EQ(requests[0].count, 5);

  const int handle = trial->GetHandle();
  ASSERT_NE(handle, -1);
  EXPECT_GE(IntOption(handle, SOL_SOCKET, SO_SNDBUF), HX_SenderConnectionTrialTCP::kMinSendBuffer);
  EXPECT_EQ(IntOption(handle, IPPROTO_TCP, TCP_NODELAY), 1);
}

TEST_F(TcpMediaConnectionTest, ReceiverTrialNamesItselfAndTheSender) {
  IdStream& stream = Stream(hx::testing::kReceiverType);
  Trial* trial = Outgoing(stream, RelayTarget());
  ASSERT_TRUE(trial->start());
  ASSERT_TRUE(WaitState(trial, Trial::stateDone));
  const auto requests = relay.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].role, 1);  // a receiver: client type 2
  EXPECT_EQ(requests[0].streamId, "me-3");
  EXPECT_EQ(requests[0].peerId, "sender-7");
  // The receiver's trial leaves the kernel's buffer and Nagle alone.
  EXPECT_EQ(IntOption(trial->GetHandle(), IPPROTO_TCP, TCP_NODELAY), 0);
}

TEST_F(TcpMediaConnectionTest, RefusedHandshakesFailTheTrialAndReportOnce) {
  const std::vector<std::pair<const char*, TcpMediaRelay::Answer>> answers{
      {"refused", TcpMediaRelay::Answer::refuse},
      {"no mask", TcpMediaRelay::Answer::noMask},
      {"closed", TcpMediaRelay::Answer::close},
  };
  IdStream& stream = Stream(hx::testing::kSenderType);
  int reports = 0;
  for (const auto& [name, answer] : answers) {
    relay.setAnswer(answer);
    Trial* trial = Outgoing(stream, RelayTarget());
    ASSERT_TRUE(trial->start()) << name;
    EXPECT_TRUE(WaitState(trial, Trial::stateFailed)) << name;
    ++reports;
    ASSERT_TRUE(WaitFor([&] { return recorder.count.load() >= reports; }, kLimitMs)) << name;
  }
  // A little grace for a second report that must not come.
  WaitFor([] { return false; }, 100);
  EXPECT_EQ(recorder.reports(), std::vector<bool>(answers.size(), false));
}

TEST_F(TcpMediaConnectionTest, RefusedConnectFailsTheTrial) {
  // A port that was just free and has no listener.
  uint16_t closed_port = 0;
  {
    hx::hostile::LoopbackListener listener;
    closed_port = listener.port();
  }
  IdStream& stream = Stream(hx::testing::kReceiverType);
  Trial* trial = Outgoing(stream, {"127.0.0.1", closed_port});
  trial->start();
  ASSERT_TRUE(WaitState(trial, Trial::stateFailed));
  ASSERT_TRUE(WaitFor([&] { return recorder.count.load() == 1; }, kLimitMs));
  WaitFor([] { return false; }, 100);
  EXPECT_EQ(recorder.reports(), std::vector<bool>{false});
  EXPECT_EQ(relay.accepted(), 0);
}

TEST_F(TcpMediaConnectionTest, EmptyTargetTakesTheAcceptPath) {
  IdStream& stream = Stream(hx::testing::kSenderType);
  for (const Trial::ConnectTarget& target :
       {Trial::ConnectTarget{"", relay.port()}, Trial::ConnectTarget{"127.0.0.1", 0}}) {
    Trial* trial = Outgoing(stream, target);
    ASSERT_TRUE(trial->start());
    EXPECT_EQ(trial->getTrialState(), Trial::stateHandshaking) << target.text();
  }
  WaitFor([] { return false; }, 200);
  EXPECT_EQ(relay.accepted(), 0);
}

// A peer connects to the client's listener and sends its request; the accepted trial answers.
TEST_F(TcpMediaConnectionTest, AcceptedTrialStartsHandshakingAndAnswers) {
  IdStream& stream = Stream(hx::testing::kReceiverType);
  std::atomic<Trial*> accepted{nullptr};
  auto* listener = hx::testing::AcceptingListener::Make([&](HXZADataHandler* raw) {
    // Pre-sized small, to see the receive connection raise it.
    const int small = 4096;
    setsockopt(raw->GetHandle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Trial* trial = HX_ReceiverConnectionTrialTCP::adopt(*raw, stream.netHandler());
    trial->setListener(&recorder);
    trial->acceptPeer();
    trial->start();
    accepted.store(trial);
  });
  ASSERT_NE(listener, nullptr);
  RegularOnSuccess(false, &manager);

  const int peer = hx::hostile::ConnectLoopback(listener->port());
  ASSERT_NE(peer, -1);
  ASSERT_TRUE(WaitFor([&] { return accepted.load() != nullptr; }, kLimitMs));
  trials.push_back(accepted.load());
  EXPECT_EQ(accepted.load()->getTrialState(), Trial::stateHandshaking);
  EXPECT_TRUE(accepted.load()->target().empty());

  hx::hostile::StreamRequestFields request;  // a sender's request
  ASSERT_TRUE(hx::hostile::SendAll(
      peer, hx::hostile::MakeRecord("_HX_STREAMS_", 1, hx::hostile::StreamRequestBody(request))));
  const auto answer = hx::hostile::ReadRecord(peer);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->primary, "_HX_STREAMS_");
  ASSERT_TRUE(WaitState(accepted.load(), Trial::stateDone));
  ASSERT_TRUE(WaitFor([&] { return regular.load() != nullptr; }, kLimitMs));

  const int handle = regular.load()->GetHandle();
  EXPECT_EQ(IntOption(handle, SOL_SOCKET, SO_KEEPALIVE), 1);
  // 4096 reads back as 8192 on Linux; the rule raises it.
  EXPECT_GE(IntOption(handle, SOL_SOCKET, SO_RCVBUF), HX_ReceiverConnectionTCP::kMinRecvBuffer);
  close(peer);
  OnLoop([&] { listener->GC(); });
}

TEST_F(TcpMediaConnectionTest, RegularSenderGetsKeepAliveAndMediaTypeOfService) {
  IdStream& stream = Stream(hx::testing::kSenderType);
  RegularOnSuccess(true, &manager);
  Trial* trial = Outgoing(stream, RelayTarget());
  ASSERT_TRUE(trial->start());
  ASSERT_TRUE(WaitFor([&] { return regular.load() != nullptr; }, kLimitMs));
  const int handle = regular.load()->GetHandle();
  EXPECT_EQ(IntOption(handle, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(handle, IPPROTO_IP, IP_TOS), 48);
  // The trial gave its descriptor away.
  EXPECT_EQ(trial->GetHandle(), -1);
}

TEST_F(TcpMediaConnectionTest, RelayCloseBreaksTheRegularConnectionOnce) {
  IdStream& stream = Stream(hx::testing::kReceiverType);
  RegularOnSuccess(false, &manager);
  Trial* trial = Outgoing(stream, RelayTarget());
  ASSERT_TRUE(trial->start());
  ASSERT_TRUE(WaitFor([&] { return regular.load() != nullptr; }, kLimitMs));
  HX_MediaConnectionTCP* connection = regular.load();

  // Bytes that are not the end keep it up.
  relay.sendPing();
  ASSERT_TRUE(WaitFor([&] { return manager.calls.load() > 0; }, kLimitMs));
  EXPECT_EQ(stream.netHandler()->connection(), connection);

  relay.closeAll();
  ASSERT_TRUE(WaitFor([&] { return stream.connectionDone.load() > 0; }, kLimitMs));
  WaitFor([] { return false; }, 100);
  EXPECT_EQ(stream.connectionDone.load(), 1);
  EXPECT_EQ(stream.netHandler()->connection(), nullptr);
}

TEST_F(TcpMediaConnectionTest, ReconnectIsRequiredWhenTheBoundAddressLeaves) {
  IdStream& stream = Stream(hx::testing::kSenderType);
  RegularOnSuccess(true, &manager);
  Trial* trial = Outgoing(stream, RelayTarget());
  ASSERT_TRUE(trial->start());
  ASSERT_TRUE(WaitFor([&] { return regular.load() != nullptr; }, kLimitMs));

  const HXIpAddress loopback = HXAddrFactory::get("127.0.0.1");
  HXIpIfAddrSet with_loopback;
  with_loopback.insert(HXIpIfListItem(nullptr, loopback, HXNetMask()));
  HXIfIpAddrContainer present;
  present.set(with_loopback);
  const HXIfIpAddrContainer gone;
  const HXSockAddr local(ip::Proto::tcp, loopback, 0);
  EXPECT_FALSE(regular.load()->isReconnectRequired(present, local));
  EXPECT_TRUE(regular.load()->isReconnectRequired(gone, local));
}

}  // namespace
