// The regular direct UDP connections on a recording fake of the shared direct list: what they
// pass to the list, what the list's callbacks do to them, and how each ends (the sender stops the
// list, which ends both; the receiver only leaves it).

#include "core/streams/udp_direct_media_connection.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/conference/store/conference_lock.h"
#include "core/net/address/if_addr_container.h"
#include "core/net/address/sock_addr.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_sender_base.h"

namespace hx::testing {
namespace {

// A list outside any conference (no supervisor), recording what its connections ask of it.
class RecordingDirectList : public HX_ConnectionUdpDirect {
 public:
  RecordingDirectList() : HX_ConnectionUdpDirect(m_noConference) {}
  size_t Send(const void* data, size_t size) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    sent.emplace_back(bytes, bytes + size);
    return size;
  }
  bool setSendState(bool on) override {
    states.push_back(on);
    return true;
  }
  bool startTimer(uint32_t type, uint64_t ms) override {
    timers.emplace_back(type, ms);
    return true;
  }
  uint64_t getSndBufSize() override { return 65536; }
  bool stop() override {
    ++stops;
    return HX_ConnectionUdpDirect::stop();
  }

  std::vector<std::vector<uint8_t>> sent;
  std::vector<bool> states;
  std::vector<std::pair<uint32_t, uint64_t>> timers;
  int stops = 0;

 private:
  static inline ConferenceLock m_noConference;
};

class Sink : public HX_NhpDataSink {
 public:
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t datagramSize) override {
    packets.emplace_back(packet, packet + size);
    sizes.push_back(datagramSize);
    return true;
  }
  std::vector<std::vector<uint8_t>> packets;
  std::vector<size_t> sizes;
};

class Sender : public HX_SenderUDPBase {
 public:
  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return 0; }
  void PingStream() override {}
};

class Receiver : public HX_MediaStreamNetHandler {
 public:
  bool startConnection(const std::string&) override { return true; }
};

TEST(UdpDirectMediaConnection, SenderPassesItsCallsToTheList) {
  auto list = std::make_shared<RecordingDirectList>();
  Sender handler;
  auto* connection = new HX_SenderConnectionRegularUdpDirect(&handler, list);
  EXPECT_EQ(list->sender(), connection);
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(connection->sendData(bytes, sizeof bytes), 3u);
  connection->setSendState(true);
  connection->startConnTimer(0, 25);
  EXPECT_EQ(connection->getSendBufferSize(), 65536u);
  EXPECT_FALSE(connection->isReconnectRequired(HXIfIpAddrContainer(), HXSockAddr()));
  EXPECT_EQ(list->sent, (std::vector<std::vector<uint8_t>>{{1, 2, 3}}));
  EXPECT_EQ(list->states, std::vector<bool>{true});
  EXPECT_EQ(list->timers.size(), 1u);
  connection->connRecycle();
  EXPECT_EQ(list->stops, 1);
  EXPECT_EQ(list->sender(), nullptr);
}

TEST(UdpDirectMediaConnection, ReceiverDeliversOnlyOnceStarted) {
  auto list = std::make_shared<RecordingDirectList>();
  Receiver handler;
  Sink sink;
  auto* connection = new HX_ReceiverConnectionRegularUdpDirect(&handler, &sink, list);
  EXPECT_EQ(list->receiver(), connection);
  const uint8_t early[] = {9};
  connection->onDataReceived(early, sizeof early);
  EXPECT_TRUE(sink.packets.empty());
  connection->start();
  const uint8_t packet[] = {0x30, 0, 1, 0, 7};
  connection->onDataReceived(packet, sizeof packet);
  ASSERT_EQ(sink.packets.size(), 1u);
  EXPECT_EQ(sink.packets[0], std::vector<uint8_t>(packet, packet + sizeof packet));
  EXPECT_EQ(sink.sizes[0], sizeof packet);
  connection->connRecycle();
  EXPECT_EQ(list->receiver(), nullptr);
  EXPECT_EQ(list->stops, 0);
}

// The sender's recycling stops the list: both connections end, each handler hears of a break
// and loses its connection, and the list calls neither again.
TEST(UdpDirectMediaConnection, StoppedListEndsBothConnections) {
  auto list = std::make_shared<RecordingDirectList>();
  Sender sendHandler;
  Receiver receiveHandler;
  Sink sink;
  auto* sending = new HX_SenderConnectionRegularUdpDirect(&sendHandler, list);
  auto* receiving = new HX_ReceiverConnectionRegularUdpDirect(&receiveHandler, &sink, list);
  receiveHandler.setConnection(receiving);
  sending->connRecycle();
  EXPECT_EQ(list->stops, 1);
  EXPECT_EQ(receiveHandler.connection(), nullptr);
  EXPECT_EQ(list->receiver(), nullptr);
  EXPECT_EQ(list->sender(), nullptr);
}

}  // namespace
}  // namespace hx::testing
