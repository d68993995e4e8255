#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/common_socket.h"
#include "core/net/socket/native_socket_details.h"

namespace hx::testing {
namespace {

// A UDP socket that keeps every datagram with its sender.
class DatagramSocket : public HXZUDPSocketHandy {
 public:
  using HXZUDPSocketHandy::HXZUDPSocketHandy;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    char buffer[2048];
    HXSockAddr from;
    const size_t n = RecvFrom(buffer, sizeof buffer, 0, &from);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_datagrams.emplace_back(std::string(buffer, n), from.port());
    return 0;
  }
  void OnBoundLocal(bool ok) override { (ok ? bound : failed).fetch_add(1); }
  std::vector<std::pair<std::string, uint16_t>> datagrams() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datagrams;
  }
  std::atomic<int> bound{0};
  std::atomic<int> failed{0};

 private:
  mutable std::mutex m_mutex;
  std::vector<std::pair<std::string, uint16_t>> m_datagrams;
};

using HandySocketTest = LoopFixture;

DatagramSocket* BoundDatagramSocket() {
  auto* socket = HXZServer::implantNative<DatagramSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  EXPECT_TRUE(socket->Bind(LoopbackEndpoint(0, ip::Proto::udp)));
  EXPECT_TRUE(WaitFor([&] { return socket->bound.load() == 1; }, 10000));
  return socket;
}

TEST_F(HandySocketTest, UdpSocketsBindAndExchangeDatagrams) {
  DatagramSocket* a = BoundDatagramSocket();
  DatagramSocket* b = BoundDatagramSocket();
  const uint16_t port_a = LocalPort(*a);
  const uint16_t port_b = LocalPort(*b);
  ASSERT_NE(port_a, 0);
  ASSERT_NE(port_b, 0);

  HXSockAddr to_b = LoopbackEndpoint(port_b, ip::Proto::udp)->getSockAddr();
  HXSockAddr to_a = LoopbackEndpoint(port_a, ip::Proto::udp)->getSockAddr();
  EXPECT_EQ(a->SendTo("one", 3, to_b, 0), 3u);
  EXPECT_EQ(a->SendTo("two", 3, to_b, 0), 3u);
  EXPECT_EQ(b->SendTo("back", 4, to_a, 0), 4u);
  ASSERT_TRUE(
      WaitFor([&] { return b->datagrams().size() == 2 && a->datagrams().size() == 1; }, 10000));
  using Datagrams = std::vector<std::pair<std::string, uint16_t>>;
  EXPECT_EQ(b->datagrams(), (Datagrams{{"one", port_a}, {"two", port_a}}));
  EXPECT_EQ(a->datagrams(), (Datagrams{{"back", port_b}}));
  a->GC();
  b->GC();
}

TEST_F(HandySocketTest, SilentCloseWithoutDescriptorSendsNothing) {
  RecordingTcpSocket* socket =
      HXZServer::implantNative<RecordingTcpSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_TRUE(socket->Close(true));
  // A notified close without descriptor still reaches OnClose.
  EXPECT_TRUE(socket->Close(false));
  EXPECT_TRUE(WaitFor([&] { return socket->closed.load() == 1; }, 10000));
  OnLoop([] {});
  EXPECT_EQ(socket->closed.load(), 1);
  socket->GC();
}

TEST_F(HandySocketTest, RecvToBufferFillsUpToTheMaximum) {
  struct Case {
    uint64_t buffered;
    uint64_t max;
    uint64_t offered;
    uint64_t expected_size;
    uint64_t expected_read;
  } cases[] = {
      {0, 10, 4, 4, 4},    // reads what there is
      {3, 10, 20, 10, 7},  // never beyond the maximum
      {10, 10, 5, 10, 0},  // full: the reader is not asked
      {12, 10, 5, 12, 0},  // above the maximum already
  };
  RecordingTcpSocket* socket =
      HXZServer::implantNative<RecordingTcpSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  for (const Case& c : cases) {
    auto buffer = std::make_shared<HXNetMessage>(c.buffered);
    buffer->setSize(c.buffered);
    socket->setDataBuffer(buffer);
    uint64_t total = 100;
    int calls = 0;
    const uint64_t size = socket->RecvToBuffer(c.max, total, [&](void*, size_t length) {
      ++calls;
      return static_cast<size_t>(std::min<uint64_t>(length, c.offered));
    });
    EXPECT_EQ(size, c.expected_size);
    EXPECT_EQ(total, 100 + c.expected_read);
    EXPECT_EQ(buffer->size(), c.expected_size);
    EXPECT_EQ(calls, c.buffered < c.max ? 1 : 0);
  }
  socket->setDataBuffer(nullptr);
  socket->DeleteLater();
}

TEST_F(HandySocketTest, BufferedDataIsDeliveredBeforePolling) {
  RecordingTcpSocket* socket =
      HXZServer::implantNative<RecordingTcpSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  auto buffer = std::make_shared<HXNetMessage>(8);
  buffer->setSize(8);
  OnLoop([&] {
    socket->setDataBuffer(buffer);
    socket->SetState(true);
  });
  // The socket reads nothing from the buffer, so the loop drops it after one delivery.
  EXPECT_TRUE(WaitFor([&] { return socket->ended.load() == 1; }, 10000));
  OnLoop([] {});
  EXPECT_EQ(socket->getDataBuffer(false), nullptr);
  EXPECT_EQ(socket->GetFlags() & HXZADataHandler::kBufferedData, 0u);
  socket->DeleteLater();
}

TEST_F(HandySocketTest, CommonSocketConnectsDirectlyWithoutLayers) {
  PlainListener server;
  auto* socket = new HXZCommonSocket(new HXZNativeSocketHelper(loop), false, false);
  EXPECT_EQ(socket->GetHandle(), -1);
  EXPECT_EQ(socket->GetTlsContext(), nullptr);
  ASSERT_TRUE(socket->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return socket->GetHandle() != -1 && socket->GetState(); }, 10000));
  OnLoop([&] { EXPECT_EQ(socket->Send("abc", 3, 0), 3u); });
  char data[3];
  EXPECT_EQ(recv(peer, data, 3, MSG_WAITALL), 3);
  close(peer);
  socket->GC();
}

}  // namespace
}  // namespace hx::testing
