// The UDP send handler's path from AddFrame to the socket: the multicast head byte by byte, the
// cipher (and its absence), partial sends and pacing. The stream is a real stream on the real
// loop, connected as a handshake manager would connect it; the connection records what leaves
// and its socket can be told to take only part of a datagram. Pacing runs on a hand-driven clock.

#include "core/streams/udp_sender_base.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/security/stream_crypter.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_test_util.h"
#include "testing/media_relay/mcast_relay.h"

namespace hx::testing {
namespace {

constexpr char kKey[] = "00112233445566778899aabbccddeeff";
constexpr uint32_t kUdpKey = 0xA1B2C3D4;

// The base with the multicast or direct datagram shape, as its subclasses set it up.
class TestSender : public HX_SenderUDPBase {
 public:
  TestSender(HX_TickSource clock, bool head) : HX_SenderUDPBase(std::move(clock)), m_head(head) {}
  bool checkConnectionAlive() override { return true; }
  uint32_t getPingPeriod() override { return 0; }
  void PingStream() override {}
  void prepare() {
    HXAutoLock lock(owner()->getStreamLock());
    setupQueues(0, 0, !m_head);
    setupSending(m_head, kIpv4Overhead);
  }

 private:
  const bool m_head;
};

class UdpSenderBase : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    conference = std::make_shared<HX_Conference>(nullptr, 1, ::conference::DefaultParams());
  }
  void TearDown() override {
    if (stream) EXPECT_TRUE(ShutDownStream(stream.get()));
    stream.reset();
    LoopFixture::TearDown();
  }
  // A connected stream whose handler sends with or without the head and key.
  void Start(bool head, const std::string& key, uint64_t sendBuffer = 212992) {
    stream = std::make_unique<UdpTestStream>(1);
    sender = new TestSender(clock.source(), head);
    stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
    stream->setConnectionHandler(sender);
    ASSERT_TRUE(sender->startConnection(key));
    linkOwner = std::make_unique<RecordingSendConnection>(sender, kUdpKey, sendBuffer);
    link = linkOwner.get();
    ASSERT_TRUE(ConnectStream(stream.get(), link));
    sender->prepare();
  }
  // The queue's head packet as it stands now.
  std::vector<uint8_t> HeadPacket() {
    HXAutoLock lock(stream->getStreamLock());
    const HX_BinBuff& packet = sender->sendQueue()->Queue().front().packet;
    return {packet.Data(), packet.Data() + packet.Size()};
  }
  size_t Queued() {
    HXAutoLock lock(stream->getStreamLock());
    return sender->sendQueue()->QueuedPackets();
  }

  ManualClock clock;
  std::shared_ptr<HX_Conference> conference;
  std::unique_ptr<UdpTestStream> stream;
  TestSender* sender = nullptr;
  // Its recycling only counts: the fixture owns it, past the stream.
  std::unique_ptr<RecordingSendConnection> linkOwner;
  RecordingSendConnection* link = nullptr;
};

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

TEST(UdpMulticastTrack, NhpTypeToTrack) {
  const std::pair<unsigned, uint8_t> cases[] = {{0, 254}, {1, 1},   {2, 2},
                                                {3, 5},   {4, 254}, {255, 254}};
  for (const auto& [type, track] : cases) {
    EXPECT_EQ(hx::streams::convertTrackUdp(type), track) << type;
  }
}

// Every packet type, with and without key: the head's fields and the payload behind it.
TEST_F(UdpSenderBase, HeadBytesForEachTrackWithAndWithoutKey) {
  struct Case {
    int track;  // AddFrame's track
    uint8_t udpTrack;
    size_t size;
  };
  const Case cases[] = {{1, 1, 160}, {2, 2, 700}, {5, 5, 33}, {254, 254, 6}};
  for (const bool keyed : {false, true}) {
    Start(true, keyed ? kKey : "");
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.track) + (keyed ? " keyed" : " plain"));
      link->clear();
      std::vector<uint8_t> frame(c.size);
      for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + c.track);
      ASSERT_TRUE(sender->AddFrame(c.track, frame.size(), frame.data(), nullptr, 1));
      const std::vector<uint8_t> packet = HeadPacket();
      sender->onReadySend(link);
      const auto sent = link->datagrams();
      ASSERT_EQ(sent.size(), 1u);
      const std::vector<uint8_t>& d = sent[0];
      ASSERT_GE(d.size(), HX_UdpMulticastHead::kSize);
      const size_t length = d[0] | (d[1] << 8);
      EXPECT_EQ(length, d.size() - HX_UdpMulticastHead::kSize);
      EXPECT_EQ(Le32(d.data() + 2), static_cast<uint32_t>(clock.now->load()));
      EXPECT_EQ(d[6], c.udpTrack);
      EXPECT_EQ(d[7], McastRelay::Checksum(d.data() + 14, length));
      EXPECT_EQ(d[8], 14);
      EXPECT_EQ(d[9], 1);
      EXPECT_EQ(Le32(d.data() + 10), kUdpKey);
      std::vector<uint8_t> payload(d.begin() + 14, d.end());
      if (keyed) {
        EXPECT_EQ(length, 16 * (packet.size() / 16 + 1));
        HX_StreamCrypter crypter;
        ASSERT_TRUE(crypter.Init(kKey));
        std::vector<uint8_t> plain(length + 64);
        uint32_t n = static_cast<uint32_t>(plain.size());
        ASSERT_TRUE(
            crypter.Decrypt(payload.data(), static_cast<uint32_t>(length), plain.data(), n));
        plain.resize(n);
        EXPECT_EQ(plain, packet);
      } else {
        EXPECT_EQ(payload, packet);
      }
      EXPECT_EQ(Queued(), 0u);
    }
    ASSERT_TRUE(ShutDownStream(stream.get()));
    stream.reset();
  }
}

TEST_F(UdpSenderBase, DirectDatagramIsTheBarePacket) {
  Start(false, "");
  const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7};
  ASSERT_TRUE(sender->AddFrame(5, sizeof data, data, nullptr, 1));
  const std::vector<uint8_t> packet = HeadPacket();
  sender->onReadySend(link);
  ASSERT_EQ(link->datagrams().size(), 1u);
  EXPECT_EQ(link->datagrams()[0], packet);
}

// The audio tick goes into the packet, never into the caller's frame.
TEST_F(UdpSenderBase, AudioFrameCarriesTheCurrentTick) {
  Start(false, "");
  std::vector<uint8_t> frame = {9, 9, 9, 9, 0x11, 0x22, 0x33};
  const std::vector<uint8_t> original = frame;
  ASSERT_TRUE(sender->AddFrame(1, frame.size(), frame.data(), nullptr, 1));
  EXPECT_EQ(frame, original);
  const std::vector<uint8_t> packet = HeadPacket();
  ASSERT_EQ(packet.size(), 8u + 3u);
  EXPECT_EQ(Le32(packet.data() + 4), static_cast<uint32_t>(clock.now->load()));
}

// A socket that takes part of a datagram, or none of it, leaves the packet at the head; it goes
// again whole.
TEST_F(UdpSenderBase, PartialSendKeepsThePacketWhole) {
  Start(true, "");
  for (const int taken : {0, 5}) {
    SCOPED_TRACE(taken);
    link->clear();
    std::vector<uint8_t> frame(300, static_cast<uint8_t>(taken));
    ASSERT_TRUE(sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1));
    const std::vector<uint8_t> packet = HeadPacket();
    link->accept = taken;
    sender->onReadySend(link);
    sender->onReadySend(link);
    EXPECT_TRUE(link->datagrams().empty());
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(HeadPacket(), packet);
    link->accept = -1;
    sender->onReadySend(link);
    ASSERT_EQ(link->datagrams().size(), 1u);
    const std::vector<uint8_t> d = link->datagrams()[0];
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 14, d.end()), packet);
    EXPECT_EQ(Queued(), 0u);
  }
}

// With a rate limit a delayed packet arms one timer; writability is asked for only while
// packets wait, and given up when the queue is empty.
TEST_F(UdpSenderBase, PacingArmsOneTimerAndNeverSpins) {
  // 80 kbit/s drains 10 bytes a ms; the bucket is half of the 4000-byte send buffer. Each
  // datagram costs 14 + 904 + 20 = 938 bytes: two fit, the third waits (814 bytes) 82 ms.
  Start(true, "", 4000);
  sender->setBitrateLimit(80000);
  EXPECT_EQ(sender->pacingPipe().bucketSize(), 2000u);
  link->clear();
  const std::vector<uint8_t> frame(900, 3);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1));
  EXPECT_EQ(link->sendStates(), std::vector<bool>(3, true));

  sender->onReadySend(link);
  sender->onReadySend(link);
  EXPECT_EQ(link->datagrams().size(), 2u);
  sender->onReadySend(link);
  sender->onReadySend(link);  // a notification that was already on its way
  EXPECT_EQ(link->datagrams().size(), 2u);
  using Timer = std::pair<uint32_t, uint64_t>;
  EXPECT_EQ(link->timers(), std::vector<Timer>{Timer(0, 82)});
  EXPECT_TRUE(sender->pacingTimerArmed());
  EXPECT_EQ(link->sendStates().back(), false);

  // While the timer is armed a new frame does not ask for writability.
  const size_t states = link->sendStates().size();
  ASSERT_TRUE(sender->AddFrame(5, frame.size(), frame.data(), nullptr, 1));
  EXPECT_EQ(link->sendStates().size(), states);

  clock.advance(100);
  sender->onBandwidthDelayTimer();
  EXPECT_FALSE(sender->pacingTimerArmed());
  EXPECT_EQ(link->sendStates().back(), true);
  sender->onReadySend(link);
  EXPECT_EQ(link->datagrams().size(), 3u);
  sender->onReadySend(link);
  EXPECT_EQ(link->timers().size(), 2u);

  clock.advance(1000);
  sender->onBandwidthDelayTimer();
  sender->onReadySend(link);
  EXPECT_EQ(link->datagrams().size(), 4u);
  sender->onReadySend(link);
  EXPECT_EQ(link->sendStates().back(), false);
  EXPECT_EQ(link->timers().size(), 2u);
  EXPECT_FALSE(sender->pacingTimerArmed());
}

// Audio and video from two threads while a third plays the loop's writable notifications:
// every packet leaves once and whole (under ThreadSanitizer: without a race).
TEST_F(UdpSenderBase, AddFrameFromTwoThreads) {
  Start(true, kKey);
  constexpr int kFrames = 200;
  std::atomic<int> producing{2};
  auto produce = [&](int track, size_t size) {
    std::vector<uint8_t> frame(size, static_cast<uint8_t>(track));
    for (int i = 0; i < kFrames; ++i) {
      frame[0] = static_cast<uint8_t>(i);
      EXPECT_TRUE(sender->AddFrame(track, frame.size(), frame.data(), nullptr, 1));
    }
    producing.fetch_sub(1);
  };
  std::thread audio(produce, 1, 160);
  std::thread video(produce, 2, 3000);
  std::thread writable([&] {
    while (producing.load() > 0 || Queued() > 0) sender->onReadySend(link);
  });
  audio.join();
  video.join();
  writable.join();
  // Audio: one packet a frame; video: 3000 bytes in packets of at most 1400.
  EXPECT_EQ(link->datagrams().size(), static_cast<size_t>(kFrames + kFrames * 3));
  EXPECT_EQ(link->attempts().size(), link->datagrams().size());
}

// Before the stream is connected, and while it shuts down, frames are dropped as delivered.
TEST_F(UdpSenderBase, FramesBeforeConnectionAreDropped) {
  stream = std::make_unique<UdpTestStream>(1);
  sender = new TestSender(clock.source(), true);
  stream->setStreamCapabilites(nullptr, conference.get(), "alice", "bob");
  stream->setConnectionHandler(sender);
  const uint8_t data[] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(sender->AddFrame(5, sizeof data, data, nullptr, 1));
  EXPECT_EQ(sender->sendQueue(), nullptr);
  EXPECT_FALSE(sender->kickSend());
}

}  // namespace
}  // namespace hx::testing
