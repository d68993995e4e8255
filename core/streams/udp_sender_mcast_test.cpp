// A relayed (multicast) stream end to end on real sockets over 127.0.0.1: a multicast send
// handler on a real stream, its connection built from a real sender trial, the fake multicast
// relay in between, and a receiving multicast connection whose packets are deciphered and put
// back together by the real NHP receive queue. The relay drops, duplicates, reorders and delays;
// the sender's redundancy makes up for it, and every frame that comes out is whole.

#include "core/streams/udp_sender_mcast.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <vector>

#include "core/net/address/if_list.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/security/stream_crypter.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/udp_mcast_connection.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/streams/udp_nhp_sink.h"
#include "core/streams/udp_test_util.h"
#include "testing/media_relay/mcast_relay.h"

namespace hx::testing {
namespace {

constexpr char kKey[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
constexpr uint32_t kSenderKey = 0x11111111;
constexpr uint32_t kReceiverKey = 0x22222222;
constexpr char kSenderGroup[] = "239.255.78.1";
constexpr char kReceiverGroup[] = "239.255.78.2";

// Deciphers, queues and collects the video frames that come out whole.
class FrameCollector : public HX_NhpDataSink {
 public:
  FrameCollector() : m_queue(false, 2, false) { m_crypter.Init(kKey); }
  bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint8_t> plain(size + 64);
    uint32_t n = static_cast<uint32_t>(plain.size());
    if (!m_crypter.Decrypt(packet, static_cast<uint32_t>(size), plain.data(), n)) return false;
    const bool added = m_queue.Add(plain.data(), n);
    std::vector<uint8_t> frame(1 << 20);
    size_t length = 0;
    int type = 0;
    while (m_queue.Get(frame.data(), frame.size(), length, type)) {
      if (type == 2) m_frames.emplace_back(frame.begin(), frame.begin() + length);
    }
    return added;
  }
  std::vector<std::vector<uint8_t>> frames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
  }

 private:
  mutable std::mutex m_mutex;
  HX_StreamCrypter m_crypter;
  HX_ReceiveFrameQueueNhp m_queue;
  std::vector<std::vector<uint8_t>> m_frames;
};

class Listener : public HX_NetTrialConnection::ListenerCallback {
 public:
  void onTrialConnectDone(HX_NetTrialConnection*, bool success) override {
    (success ? succeeded : failed).fetch_add(1);
  }
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
};

HXIpIfListItem Loopback() {
  HXIfList list;
  list.gather();
  HXIpIfAddrSet items;
  list.getIfAddrList(items);
  for (const HXIpIfListItem& item : items) {
    if (item.str() == "127.0.0.1") return item;
  }
  return {};
}

HX_MediaConnectionTrialUDPMcast::ConnectTarget Target(const char* group, uint16_t port,
                                                      uint32_t key) {
  HX_MediaConnectionTrialUDPMcast::ConnectTarget target;
  HXIpAddress ip;
  ip.set(group);
  target.group = HXSockAddr(ip::Proto::udp, ip, port);
  target.local = Loopback();
  target.udpKey = key;
  return target;
}

HX_UdpMcastSocket* NewSocket() {
  return HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}

// A video frame as the encoder hands it over: counter, frame type, u32 timestamp, picture.
std::vector<uint8_t> VideoFrame(int index, size_t size) {
  std::vector<uint8_t> frame(6 + size);
  frame[0] = static_cast<uint8_t>(index);
  frame[1] = index % 10 == 0 ? 0 : 1;
  const uint32_t timestamp = 1000 + 40 * static_cast<uint32_t>(index);
  for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<uint8_t>(timestamp >> (8 * i));
  for (size_t i = 6; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 31 + index);
  return frame;
}

class UdpSenderMcast : public LoopFixture {
 protected:
  void TearDown() override {
    OnLoop([] {});
    OnLoop([] {});
    LoopFixture::TearDown();
  }
};

TEST_F(UdpSenderMcast, FramesCrossTheRelayWhole) {
  ASSERT_FALSE(Loopback().empty());
  const uint16_t senderPort = FreeUdpPort();
  uint16_t receiverPort = FreeUdpPort();
  while (receiverPort == senderPort) receiverPort = FreeUdpPort();

  McastRelay relay;
  McastRelay::Faults faults;
  faults.drop = 0.15;
  faults.duplicate = 0.1;
  faults.reorder = 0.15;
  faults.delayMs = 5;
  faults.seed = 7;
  relay.setFaults(faults);
  ASSERT_TRUE(relay.joinSenderGroup(kSenderGroup, senderPort, "127.0.0.1"));
  ASSERT_TRUE(relay.addReceiverGroup(kReceiverGroup, receiverPort, kReceiverKey, "127.0.0.1"));

  // The receiving end.
  FrameCollector collector;
  Listener receiverListener;
  auto* receiverTrial = new HX_ReceiverConnectionTrialUDPMcast(nullptr, NewSocket());
  receiverTrial->setListener(&receiverListener);
  receiverTrial->connectPeer(Target(kReceiverGroup, receiverPort, kReceiverKey));
  ASSERT_TRUE(receiverTrial->start());
  ASSERT_TRUE(WaitUntil([&] { return receiverListener.succeeded == 1; }));
  auto* receiving = new HX_ReceiverConnectionUDPMulticast(
      nullptr, &collector, HXZServer::inheritNative<HX_UdpMcastSocket>(receiverTrial->socket()),
      kReceiverKey);
  receiverTrial->connRecycle();
  receiving->start();

  // The sending stream: three copies of every packet, 20 ms apart.
  auto conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
  conference->setMcastRedundancy(3, 20);
  auto stream = std::make_unique<UdpTestStream>(1);
  auto* sender = new HX_SenderUDPMCast();
  stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
  stream->setConnectionHandler(sender);
  ASSERT_TRUE(sender->startConnection(kKey));
  Listener senderListener;
  auto* senderTrial = new HX_SenderConnectionTrialUDPMcast(sender, NewSocket());
  senderTrial->setListener(&senderListener);
  senderTrial->connectPeer(Target(kSenderGroup, senderPort, kSenderKey));
  ASSERT_TRUE(senderTrial->start());
  ASSERT_TRUE(WaitUntil([&] { return senderListener.succeeded == 1; }));
  stream->onHMTrialConnectDone(senderTrial, hx::NetHandshakeConnected, false);
  ASSERT_TRUE(
      WaitUntil([&] { return (stream->getStateFlags() & HX_MediaStreamBase::kAcquired) != 0; }));
  senderTrial->connRecycle();
  ASSERT_NE(sender->connection(), nullptr);
  EXPECT_TRUE(sender->multicastHead());
  EXPECT_EQ(sender->sendQueue()->RedundancyCount(), 3u);

  std::map<uint32_t, std::vector<uint8_t>> sent;
  // Paced so that the receiving socket's buffer never overflows on a loaded machine: what is
  // lost is lost to the relay only.
  constexpr int kFrames = 50;
  for (int i = 0; i < kFrames; ++i) {
    const std::vector<uint8_t> frame = VideoFrame(i, 900 + 700 * (i % 3));
    sent[1000 + 40 * static_cast<uint32_t>(i)] = frame;
    ASSERT_TRUE(sender->AddFrame(2, frame.size(), frame.data(), nullptr, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(WaitUntil([&] { return collector.frames().size() >= kFrames * 8 / 10; }));
  for (const auto& frame : collector.frames()) {
    ASSERT_GE(frame.size(), 6u);
    const uint32_t timestamp =
        frame[2] | (frame[3] << 8) | (frame[4] << 16) | (static_cast<uint32_t>(frame[5]) << 24);
    ASSERT_EQ(sent.count(timestamp), 1u) << timestamp;
    EXPECT_EQ(frame, sent[timestamp]) << timestamp;
  }
  EXPECT_GT(relay.counters().received, static_cast<uint64_t>(kFrames));
  EXPECT_EQ(relay.counters().malformed, 0u);

  EXPECT_TRUE(ShutDownStream(stream.get()));
  stream.reset();
  receiving->connRecycle();
}

}  // namespace
}  // namespace hx::testing
