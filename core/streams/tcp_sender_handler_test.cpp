// The TCP send handler on loopback against the fake TCP media relay: its trial, its regular
// connection, the frames the relay sees (plain or enciphered), partial writes while the relay
// does not read, the liveness check on a socket that stopped draining, and frames added from
// several threads while the loop writes.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/streams/send_video_header.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_media_connection.h"
#include "core/streams/nhp_send_queue.h"
#include "core/streams/tcp_send_queue.h"
#include "core/streams/tcp_stream_handlers.h"
#include "core/streams/tcp_stream_test_util.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/transport/secure_shield.h"
#include "core/transport/stream_helper_secure.h"
#include "testing/media_relay/tcp_relay.h"

namespace {

using hx::testing::IdStream;
using hx::testing::TcpMediaRelay;
using hx::testing::TrialRecorder;
using hx::testing::WaitFor;
using Bytes = std::vector<uint8_t>;

constexpr int kLimitMs = 20000;
// A key the stream cipher takes (see HX_StreamCrypter::Init).
constexpr const char* kKey = "0123456789abcdef0123456789abcdef";

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// Audio input: a 4-byte tick prefix, then the codec bytes (here a sequence number and filler).
Bytes Audio(uint8_t sequence, size_t size = 40) {
  Bytes input(4, 0);
  Bytes body = Pattern(size, sequence);
  body[0] = sequence;
  input.insert(input.end(), body.begin(), body.end());
  return input;
}

// Video input: counter, type, u32 timestamp, then the bitstream.
Bytes Video(uint8_t counter, size_t size) {
  Bytes input = Pattern(size, counter);
  input[0] = counter;
  input[1] = 0;
  return input;
}

class TcpSenderHandlerTest : public hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_TRUE(relay.start());
    stream = std::make_unique<IdStream>(hx::testing::kSenderType);
    handler = new HX_SenderTCP(clock);
    stream->setConnectionHandler(handler);
  }
  void TearDown() override {
    handler->closeConnection();
    for (HX_MediaConnectionTrialTCP* trial : trials) trial->connRecycle();
    LoopFixture::TearDown();
  }

  // Runs a trial to the relay and lets the handler take the connection over, as the stream does.
  void Connect(const std::string& key) {
    ASSERT_TRUE(handler->startConnection(key));
    auto* trial = HX_SenderConnectionTrialTCP::create(handler);
    trials.push_back(trial);
    trial->setListener(&recorder);
    recorder.onDone = [this](HX_NetTrialConnection* done, bool success) {
      if (!success) return;
      handler->createStreamFromConnected(static_cast<HX_MediaStreamTrialConnection*>(
          static_cast<HX_MediaConnectionTrialTCP*>(done)));
      handler->runConnection();
      handler->afterAcquireHardware();
    };
    ASSERT_TRUE(trial->connectPeer({"127.0.0.1", relay.port()}));
    ASSERT_TRUE(trial->start());
    ASSERT_TRUE(WaitFor([&] { return handler->connection() != nullptr; }, kLimitMs));
  }

  // Until the socket's unsent bytes stop growing: the relay's window and the send buffer are full.
  bool WaitSocketFull() {
    uint64_t last = 0;
    return WaitFor(
        [&] {
          const uint64_t queued = handler->getSocketSendQueueSizeNL();
          const bool steady = queued > 0 && queued == last;
          last = queued;
          if (!steady) std::this_thread::sleep_for(std::chrono::milliseconds(50));
          return steady;
        },
        kLimitMs);
  }

  std::vector<TcpMediaRelay::Frame> WaitFrames(size_t count) {
    WaitFor([&] { return relay.frames().size() >= count; }, kLimitMs);
    return relay.frames();
  }

  std::atomic<int64_t> now{100000};
  HX_TickSource clock = [this] { return now.load(); };
  TcpMediaRelay relay;
  TrialRecorder recorder;
  std::unique_ptr<IdStream> stream;
  HX_SenderTCP* handler = nullptr;
  std::vector<HX_MediaConnectionTrialTCP*> trials;
};

// The payload bytes of the relay's frames of `track`, deciphered with `key` when there is one.
std::vector<Bytes> Payloads(const std::vector<TcpMediaRelay::Frame>& frames, uint8_t track,
                            const char* key) {
  HXHelperStreamSecure secure;
  if (key != nullptr) {
    EXPECT_TRUE(secure.SetCryptoKey(key));
  }
  std::vector<Bytes> payloads;
  for (const auto& frame : frames) {
    if (frame.track != track) continue;
    if (key == nullptr) {
      payloads.push_back(frame.payload);
      continue;
    }
    Bytes whole = TcpMediaRelay::MakeFrame(frame.track, frame.payload, frame.tick);
    uint32_t size = 0;
    const uint8_t* plain = secure.Decrypt(whole.data(), static_cast<uint32_t>(whole.size()),
                                          nullptr, size, true);
    EXPECT_NE(plain, nullptr);
    if (plain == nullptr) continue;
    payloads.emplace_back(plain + HX_StreamFrameHead::kSize, plain + size);
  }
  return payloads;
}

// Video parts back to a frame: the chunks without their 3-byte trailers, after the 5-byte
// key-flag and interval prefix of the first part; equals the input after its 6-byte prefix.
Bytes JoinVideo(const std::vector<Bytes>& parts) {
  Bytes joined;
  for (const Bytes& part : parts) {
    if (part.size() < HX_TcpVideoTrailerSize) return {};
    joined.insert(joined.end(), part.begin(), part.end() - HX_TcpVideoTrailerSize);
  }
  if (joined.size() < 5) return {};
  return Bytes(joined.begin() + 5, joined.end());
}

struct KeyCase {
  const char* name;
  std::string key;
  bool enciphered;
};

class TcpSenderKeyTest : public TcpSenderHandlerTest,
                         public ::testing::WithParamInterface<KeyCase> {};

TEST_P(TcpSenderKeyTest, FramesReachTheRelayIntactAndInTrackOrder) {
  const KeyCase& c = GetParam();
  {
    Connect(c.key);
    const Bytes video = Video(9, 20000);  // three parts
    const Bytes command = Pattern(30, 77);
    Bytes data_frame(HX_StreamFrameHead::kSize);
    const Bytes data = Pattern(64, 5);
    reinterpret_cast<HX_StreamFrameHead*>(data_frame.data())->Set(data.data(), 64, 1, 5);
    data_frame.insert(data_frame.end(), data.begin(), data.end());

    for (uint8_t i = 0; i < 5; ++i) {
      const Bytes audio = Audio(i);
      ASSERT_TRUE(handler->AddFrame(1, audio.size(), audio.data(), nullptr, 2));
    }
    HX_SendNhpVideoHeader header;
    header.frameCounter = 9;
    ASSERT_TRUE(handler->AddFrame(2, video.size(), video.data(), &header, 3));
    ASSERT_TRUE(handler->AddFrame(254, command.size(), command.data(), nullptr, 1));
    ASSERT_TRUE(handler->PostFrame(reinterpret_cast<const HX_StreamFrameHead*>(data_frame.data())));

    const auto frames = WaitFrames(5 + 3 + 1 + 1);
    ASSERT_EQ(frames.size(), 10u);
    const char* key = c.enciphered ? kKey : nullptr;
    const auto audio = Payloads(frames, 1, key);
    ASSERT_EQ(audio.size(), 5u);
    for (uint8_t i = 0; i < 5; ++i) {
      const Bytes input = Audio(i);
      EXPECT_EQ(audio[i], Bytes(input.begin() + 4, input.end())) << int(i);
    }
    EXPECT_EQ(JoinVideo(Payloads(frames, 2, key)), Bytes(video.begin() + 6, video.end()));
    EXPECT_EQ(Payloads(frames, 254, key), std::vector<Bytes>{command});
    EXPECT_EQ(Payloads(frames, 5, key), std::vector<Bytes>{data});
    // What the relay itself sees: the payload bytes differ from the plain ones only with a key.
    for (const auto& frame : frames) {
      if (frame.track != 254) continue;
      EXPECT_EQ(frame.payload != command, c.enciphered);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, TcpSenderKeyTest,
                         ::testing::Values(KeyCase{"plain", "", false},
                                           KeyCase{"keyed", kKey, true},
                                           KeyCase{"refused", "short", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpSenderHandlerTest, PingIsAnEmptyControlFrame) {
  Connect("");
  now.store(0x1234567890LL);
  handler->PingStream();
  const auto frames = WaitFrames(1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].track, 255);
  EXPECT_TRUE(frames[0].payload.empty());
  EXPECT_EQ(frames[0].checksum, 172);
  EXPECT_EQ(handler->getPingPeriod(), 2000u);
}

// Counts the parts it enciphers and hands them to the shield the handler chose.
class CountingShield : public HXSecureShield {
 public:
  explicit CountingShield(HXSecureShield* inner) : m_inner(inner) {}
  const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                         uint32_t& size) override {
    encryptions.fetch_add(1);
    return m_inner->Encrypt(data, length, out, size);
  }
  const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last) override {
    return m_inner->Decrypt(data, length, out, size, last);
  }
  uint32_t GetSymCryptBlockSize() override { return m_inner->GetSymCryptBlockSize(); }
  std::atomic<int> encryptions{0};

 private:
  HXSecureShield* const m_inner;
};

// The relay stops reading on a small receive buffer while far more than both socket buffers hold
// is queued: the socket takes parts in pieces. Each part must still arrive whole and decipher as
// one, and be enciphered exactly once however many writes it took.
TEST_F(TcpSenderHandlerTest, PartialWritesResumeWithoutEncipheringAgain) {
  relay.setRecvBuffer(4096);
  Connect(kKey);
  HXSecureShield* const chosen = handler->packetManager().shield();
  CountingShield counting(chosen);
  OnLoop([&] { handler->packetManager().setShield(&counting); });
  relay.setReading(false);
  const int kFrames = 300;
  for (int i = 0; i < kFrames; ++i) {
    const Bytes audio = Audio(static_cast<uint8_t>(i), 3997);
    ASSERT_TRUE(handler->AddFrame(1, audio.size(), audio.data(), nullptr, 2));
  }
  // The socket is full and the loop waits for writability with parts still queued.
  ASSERT_TRUE(WaitSocketFull());
  relay.setReading(true);
  const auto frames = WaitFrames(kFrames);
  const auto audio = Payloads(frames, 1, kKey);
  ASSERT_EQ(audio.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    const Bytes input = Audio(static_cast<uint8_t>(i), 3997);
    ASSERT_EQ(audio[i], Bytes(input.begin() + 4, input.end())) << i;
  }
  EXPECT_EQ(counting.encryptions.load(), kFrames);
  QueueStatistics statistics;
  handler->sendQueue().GetQueueStatistics(256, statistics);
  EXPECT_EQ(statistics.frames, 0u);
  // The counting shield goes with this test.
  OnLoop([&] { handler->packetManager().setShield(chosen); });
}

// The exact case: a socket that takes 100 bytes of a 1000-byte enciphered part gets the other 900
// at the next notification, from the same encipherment; the queue moves on only then.
TEST(TcpSenderPartTest, SocketTakingPartOfAPartGetsTheRestWithoutEncipheringAgain) {
  HX_SenderTCP handler;
  ASSERT_TRUE(handler.startConnection(kKey));
  HXSecureShield* const chosen = handler.packetManager().shield();
  CountingShield counting(chosen);
  handler.packetManager().setShield(&counting);
  // 976 codec bytes encipher (with a full block of padding) to 992: a part of 1000 bytes.
  const Bytes audio = Audio(1, 976);
  ASSERT_TRUE(handler.AddFrame(1, audio.size(), audio.data(), nullptr, 2));

  hx::testing::ScriptedSocket socket;
  socket.LimitSend(100);
  EXPECT_EQ(handler.packetManager().OnReadySendImp(&socket, &socket), 0);
  EXPECT_EQ(socket.Sent().size(), 100u);
  QueueStatistics statistics;
  handler.sendQueue().GetQueueStatistics(256, statistics);
  EXPECT_EQ(statistics.frames, 1u);

  socket.LimitSend(SIZE_MAX);
  EXPECT_EQ(handler.packetManager().OnReadySendImp(&socket, &socket), 0);
  ASSERT_EQ(socket.Sent().size(), 1000u);
  EXPECT_EQ(counting.encryptions.load(), 1);
  handler.sendQueue().GetQueueStatistics(256, statistics);
  EXPECT_EQ(statistics.frames, 0u);
  EXPECT_FALSE(socket.ReadyToSendRequested());

  // The 1000 bytes are one whole enciphered frame of the input.
  const std::vector<TcpMediaRelay::Frame> seen{
      {0, socket.Sent()[6], 0, socket.Sent()[7],
       Bytes(socket.Sent().begin() + HX_StreamFrameHead::kSize, socket.Sent().end())}};
  const auto payloads = Payloads(seen, 1, kKey);
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0], Bytes(audio.begin() + 4, audio.end()));
}

// With the relay not reading, the socket fills; three checks a second apart then find no drain.
TEST_F(TcpSenderHandlerTest, SocketThatStopsDrainingIsDeclaredDead) {
  relay.setRecvBuffer(4096);
  Connect("");
  relay.setReading(false);
  // Enough to fill both buffers; the loop keeps what does not fit.
  for (int i = 0; i < 400; ++i) {
    const Bytes audio = Audio(static_cast<uint8_t>(i), 4000);
    ASSERT_TRUE(handler->AddFrame(1, audio.size(), audio.data(), nullptr, 2));
  }
  ASSERT_TRUE(WaitSocketFull());
  // The first check sees what went into the relay's buffers: a drain.
  now.fetch_add(3001);
  EXPECT_TRUE(handler->checkConnectionAlive());
  EXPECT_EQ(handler->liveness().snapshot().stallCount, 0u);
  // Then nothing leaves: three checks a second apart, the third declares the connection dead.
  now.fetch_add(3000);
  EXPECT_TRUE(handler->checkConnectionAlive());
  now.fetch_add(1000);
  EXPECT_TRUE(handler->checkConnectionAlive());
  now.fetch_add(1000);
  EXPECT_FALSE(handler->checkConnectionAlive());
}

TEST_F(TcpSenderHandlerTest, IdleConnectionWithDrainingPingsStaysAlive) {
  Connect("");
  for (int round = 0; round < 10; ++round) {
    handler->PingStream();
    const size_t expected = static_cast<size_t>(round) + 1;
    ASSERT_TRUE(WaitFor([&] { return relay.frames().size() == expected; }, kLimitMs));
    ASSERT_TRUE(WaitFor([&] { return handler->getSocketSendQueueSizeNL() == 0; }, kLimitMs));
    now.fetch_add(2000);
    EXPECT_TRUE(handler->checkConnectionAlive()) << round;
  }
}

// Frames from an encoder thread and an audio thread while the loop writes them.
TEST_F(TcpSenderHandlerTest, FramesFromSeveralThreadsAllArrive) {
  Connect(kKey);
  const int kEach = 200;
  std::thread encoder([&] {
    for (int i = 0; i < kEach; ++i) {
      const Bytes video = Video(static_cast<uint8_t>(i), 300);
      HX_SendNhpVideoHeader header;
      header.frameCounter = static_cast<uint8_t>(i);
      handler->AddFrame(2, video.size(), video.data(), &header, 3);
    }
  });
  std::thread audio([&] {
    for (int i = 0; i < kEach; ++i) {
      const Bytes input = Audio(static_cast<uint8_t>(i));
      handler->AddFrame(1, input.size(), input.data(), nullptr, 2);
    }
  });
  encoder.join();
  audio.join();
  const auto frames = WaitFrames(2 * kEach);
  EXPECT_EQ(Payloads(frames, 1, kKey).size(), static_cast<size_t>(kEach));
  EXPECT_EQ(Payloads(frames, 2, kKey).size(), static_cast<size_t>(kEach));
}

}  // namespace
