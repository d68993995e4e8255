// The UDP receive handler on a real receive stream: packets go through the cipher (or past it,
// when they do not decipher), the real NHP receive queue and the stream's data path, whose
// signal the test listens to. The multicast handler's queue mode follows the peer's codec.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/security/stream_crypter.h"
#include "core/streams/receiver_base.h"
#include "core/streams/udp_receiver_handlers.h"
#include "core/streams/udp_test_util.h"
#include "core/wire/media_format.h"

namespace hx::testing {
namespace {

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

class DataRecorder {
 public:
  void onData(int channel, const uint8_t* bytes, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data.emplace_back(bytes, bytes + size);
    (void)channel;
  }
  std::vector<std::vector<uint8_t>> data() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_data;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::vector<uint8_t>> m_data;
};

// One whole data packet: first and last fragment, type 3, its sequence number, then the payload
// (a 16-bit value the stream reads first, then the bytes it hands on).
std::vector<uint8_t> DataPacket(uint16_t sequence, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> packet = {
      0x33, 0, static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8), 7, 0};
  packet.insert(packet.end(), bytes.begin(), bytes.end());
  return packet;
}

std::vector<uint8_t> Encrypt(const std::vector<uint8_t>& plain) {
  HX_StreamCrypter crypter;
  EXPECT_TRUE(crypter.Init(kKey));
  std::vector<uint8_t> out(plain.size() + 32);
  uint32_t n = static_cast<uint32_t>(out.size());
  EXPECT_TRUE(crypter.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), n));
  out.resize(n);
  return out;
}

using UdpReceiverHandler = LoopFixture;

TEST_F(UdpReceiverHandler, CipheredAndUndecipherablePacketsReachTheStream) {
  DataRecorder recorder;
  ManualClock clock;
  {
    HX_ReceiverBase stream("bob", "alice");
    auto* handler = new HX_ReceiverUDPMCast(clock.source());
    stream.setConnectionHandler(handler);  // the stream owns it from here
    stream.dataReceivedSignal.Connect(&recorder, &DataRecorder::onData);
    ASSERT_TRUE(handler->startConnection(kKey));
    handler->setRecvQueue(
        std::make_unique<HX_ReceiveFrameQueueNhp>(false, 2, false, clock.source()),
        HX_ReceiverUDPBase::kPacketBufferSize);

    const std::vector<uint8_t> first = {'o', 'n', 'e'};
    const std::vector<uint8_t> ciphered = Encrypt(DataPacket(1, first));
    EXPECT_TRUE(handler->onNHPDataReceived(ciphered.data(), ciphered.size(), ciphered.size() + 14));
    // Not a whole number of cipher blocks: it cannot decipher and goes on as it came.
    const std::vector<uint8_t> second = {'t', 'w', 'o', '!'};
    const std::vector<uint8_t> plain = DataPacket(2, second);
    ASSERT_NE(plain.size() % 16, 0u);
    EXPECT_TRUE(handler->onNHPDataReceived(plain.data(), plain.size(), plain.size()));
    // The queue holds data for its delay; a packet after it releases what is due. This one is
    // shorter than any packet header: refused, it adds nothing of its own.
    EXPECT_TRUE(recorder.data().empty());
    clock.advance(1000);
    const uint8_t runt[] = {0x33, 0};
    EXPECT_FALSE(handler->onNHPDataReceived(runt, sizeof runt, sizeof runt));

    EXPECT_EQ(recorder.data(), (std::vector<std::vector<uint8_t>>{first, second}));
  }
}

TEST(UdpReceiverMCast, QueueModeFollowsTheCodec) {
  const std::pair<uint32_t, int> cases[] = {
      {HX_MediaFormat::kCodecVP8, 2},
      {HX_MediaFormat::kCodecVP8Stereo, 2},
      {0x64687670, 2},
      {HX_MediaFormat::kCodecH264, 2},
      {HX_MediaFormat::kCodecH263, 0},
      {HX_MediaFormat::kCodecH265, 0},
      {HX_MediaFormat::kCodecVP9, 0},
  };
  for (const auto& [codec, mode] : cases) {
    EXPECT_EQ(HX_ReceiverUDPMCast::videoModeOf(codec), mode) << std::hex << codec;
  }
}

}  // namespace
}  // namespace hx::testing
