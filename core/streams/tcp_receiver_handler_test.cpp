// The TCP receive handler on loopback against the fake TCP media relay: the frames the relay
// sends (and forwards from a send handler) reach a recording receive-stream port by track; the
// receive step on a connection with nothing to read leaves it up, and the relay's close breaks
// it once.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/media/video/recv_video_header.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_media_connection.h"
#include "core/streams/tcp_stream_handlers.h"
#include "core/streams/tcp_stream_ports.h"
#include "core/streams/tcp_stream_test_util.h"
#include "core/wire/media_format.h"
#include "testing/media_relay/tcp_relay.h"

namespace {

using hx::testing::IdStream;
using hx::testing::TcpMediaRelay;
using hx::testing::TrialRecorder;
using hx::testing::WaitFor;
using Bytes = std::vector<uint8_t>;

constexpr int kLimitMs = 20000;
constexpr const char* kKey = "00112233445566778899aabbccddeeff";

// Records every call as a line of text.
class RecordingReceivePort : public HX_TcpReceiveStreamPort {
 public:
  void AudioFrameReceived(const uint8_t* frame, size_t size) override {
    add("audio " + std::to_string(size) + " " + std::to_string(size > 0 ? frame[0] : -1));
  }
  void OnVideoFrameAssembled(const uint8_t*, size_t size, int, const HX_RecvNhpVideoHeader*,
                             bool keyFrame, bool&) override {
    add("video " + std::to_string(size) + (keyFrame ? " key" : " delta"));
  }
  bool ProcessRecvDataPacket(const uint8_t*, uint16_t size) override {
    add("data " + std::to_string(size));
    return true;
  }
  bool ProcessCommand(const HX_MiscCommand& command) override {
    add("command " + std::to_string(command.code));
    return command.code != 11 && command.code != 12;  // the server's: for the send stream
  }
  void afterFrameReceived(int count) override { add("after " + std::to_string(count)); }
  HX_MediaFormat GetPeerMediaFormat() const override { return HX_MediaFormat(); }
  void SenderAddCommand(const HX_MiscCommand& command) override {
    add("sender command " + std::to_string(command.code));
  }
  void SenderRequestKeyFrame() override { add("sender key frame"); }
  void SenderParseCommandMisc(const HX_StreamFrameHead* head) override {
    add("sender control " + std::to_string(head->Length()));
  }

  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    lines.swap(m_lines);
    return lines;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.size();
  }
  bool has(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& l : m_lines) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
  }
  std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

// One video part: chunk, then parts left, last part index, frame counter.
Bytes VideoPart(bool key, size_t bitstream, uint8_t counter) {
  Bytes part{static_cast<uint8_t>(key ? 1 : 0), 40, 0, 0, 0};
  for (size_t i = 0; i < bitstream; ++i) part.push_back(static_cast<uint8_t>(i * 3));
  part.insert(part.end(), {0, 0, counter});
  return part;
}

class TcpReceiverHandlerTest : public hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_TRUE(relay.start());
    stream = std::make_unique<IdStream>(hx::testing::kReceiverType);
    handler = new HX_ReceiverTCP();
    handler->setStreamPort(&port);
    stream->setConnectionHandler(handler);
  }
  void TearDown() override {
    handler->closeConnection();
    if (sender != nullptr) sender->netHandler()->closeConnection();
    for (HX_MediaConnectionTrialTCP* trial : trials) trial->connRecycle();
    LoopFixture::TearDown();
  }

  // A trial of the handler's kind to the relay; the handler takes the connection over.
  void Connect(HX_MediaStreamNetHandler* net, bool send_side, const std::string& key,
               TrialRecorder& recorder) {
    ASSERT_TRUE(net->startConnection(key));
    HX_MediaConnectionTrialTCP* trial = nullptr;
    if (send_side) {
      trial = HX_SenderConnectionTrialTCP::create(net);
    } else {
      trial = HX_ReceiverConnectionTrialTCP::create(net);
    }
    trials.push_back(trial);
    trial->setListener(&recorder);
    recorder.onDone = [net](HX_NetTrialConnection* done, bool success) {
      if (!success) return;
      net->createStreamFromConnected(static_cast<HX_MediaConnectionTrialTCP*>(done));
      net->runConnection();
      net->afterAcquireHardware();
    };
    ASSERT_TRUE(trial->connectPeer({"127.0.0.1", relay.port()}));
    ASSERT_TRUE(trial->start());
    ASSERT_TRUE(WaitFor([&] { return net->connection() != nullptr; }, kLimitMs));
  }

  // Sends `frame` then an audio fence, and returns what the port saw before the fence.
  std::vector<std::string> Through(const Bytes& frame) {
    static uint8_t fence_id = 100;
    const uint8_t fence = fence_id++;
    Bytes both = frame;
    const Bytes tail = TcpMediaRelay::MakeFrame(1, Bytes(4, fence));
    both.insert(both.end(), tail.begin(), tail.end());
    relay.sendToReceivers(both);
    const std::string fence_line = "audio 4 " + std::to_string(fence);
    EXPECT_TRUE(WaitFor([&] { return port.has(fence_line); }, kLimitMs));
    std::vector<std::string> lines = port.take();
    // Drop the fence's own two lines.
    if (lines.size() >= 2) lines.resize(lines.size() - 2);
    return lines;
  }

  TcpMediaRelay relay;
  TrialRecorder recorder;
  RecordingReceivePort port;
  std::unique_ptr<IdStream> stream;
  HX_ReceiverTCP* handler = nullptr;
  std::unique_ptr<IdStream> sender;
  TrialRecorder senderRecorder;
  std::vector<HX_MediaConnectionTrialTCP*> trials;
};

TEST_F(TcpReceiverHandlerTest, DispatchByTrack) {
  Connect(handler, false, "", recorder);
  struct Case {
    const char* name;
    Bytes frame;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases{
      {"ping counts as a frame", TcpMediaRelay::MakeFrame(255, {}), {"after 1"}},
      {"relay statistics go to the sender",
       TcpMediaRelay::MakeFrame(255, TcpMediaRelay::StatisticsPayload(300, {{1, 20}, {2, 280}})),
       {"sender control 33", "after 1"}},
      {"one control byte asks the sender for a key frame", TcpMediaRelay::MakeFrame(255, {1}),
       {"sender control 1", "after 1"}},
      {"audio", TcpMediaRelay::MakeFrame(1, Bytes(33, 7)), {"audio 33 7", "after 1"}},
      {"data", TcpMediaRelay::MakeFrame(5, Bytes(12, 1)), {"data 12", "after 1"}},
      {"command the stream takes", TcpMediaRelay::MakeFrame(254, TcpMediaRelay::ServerCommandPayload(3, Bytes(4, 0))),
       {"command 3", "after 1"}},
      {"server command 11 goes on to the sender", TcpMediaRelay::MakeFrame(254, TcpMediaRelay::ServerCommandPayload(11, Bytes(8, 1))),
       {"command 11", "sender command 11", "after 1"}},
      {"server command 12 goes on to the sender", TcpMediaRelay::MakeFrame(254, TcpMediaRelay::ServerCommandPayload(12, Bytes(8, 2))),
       {"command 12", "sender command 12", "after 1"}},
      {"delta frame while waiting for a key frame", TcpMediaRelay::MakeFrame(2, VideoPart(false, 50, 0)),
       {"sender key frame", "after 1"}},
      {"key frame", TcpMediaRelay::MakeFrame(2, VideoPart(true, 50, 0)),
       {"video " + std::to_string(HX_RecvNhpVideoHeader::kSize + 50) + " key", "after 1"}},
      {"track 0 ignored", TcpMediaRelay::MakeFrame(0, Bytes(9, 1)), {}},
      {"track 3 ignored", TcpMediaRelay::MakeFrame(3, Bytes(9, 1)), {}},
      {"track 4 ignored", TcpMediaRelay::MakeFrame(4, {}), {}},
      {"track 200 ignored", TcpMediaRelay::MakeFrame(200, Bytes(300, 2)), {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Through(c.frame), c.lines) << c.name;
}

TEST_F(TcpReceiverHandlerTest, FrameArrivingByteByByteIsAssembledOnce) {
  Connect(handler, false, "", recorder);
  relay.setSegmented(true);
  EXPECT_EQ(Through(TcpMediaRelay::MakeFrame(1, Bytes(20, 9))),
            (std::vector<std::string>{"audio 20 9", "after 1"}));
}

TEST_F(TcpReceiverHandlerTest, NothingToReadLeavesItUpAndRelayCloseBreaksOnce) {
  Connect(handler, false, "", recorder);
  HX_MediaStreamRegularConnection* connection = handler->connection();
  // A notification with nothing to read (as after a spurious wake-up) is no break.
  OnLoop([&] {
    auto* tcp = static_cast<HX_MediaConnectionTCP*>(connection);
    EXPECT_EQ(handler->packetManager().OnReadyRecvImp(tcp, tcp), HXZADataManager::keepGoing);
  });
  EXPECT_EQ(handler->connection(), connection);
  EXPECT_EQ(stream->connectionDone.load(), 0);

  relay.closeAll();
  ASSERT_TRUE(WaitFor([&] { return stream->connectionDone.load() > 0; }, kLimitMs));
  WaitFor([] { return false; }, 100);
  EXPECT_EQ(stream->connectionDone.load(), 1);
  EXPECT_EQ(handler->connection(), nullptr);
}

// A send handler's frames through the relay to this handler, both with or both without a key.
TEST_F(TcpReceiverHandlerTest, SendHandlerFramesArriveThroughTheRelay) {
  for (const std::string& key : {std::string(), std::string(kKey)}) {
    SCOPED_TRACE(key.empty() ? "plain" : "keyed");
    handler->closeConnection();
    if (sender != nullptr) sender->netHandler()->closeConnection();
    sender = std::make_unique<IdStream>(hx::testing::kSenderType);
    auto* send = new HX_SenderTCP();
    sender->setConnectionHandler(send);
    // The receiver names the sender by its network id.
    stream->setSenderId(sender->GetSenderId());
    Connect(handler, false, key, recorder);
    Connect(send, true, key, senderRecorder);
    ASSERT_TRUE(WaitFor([&] { return relay.pairedReceivers() >= 1; }, kLimitMs));
    port.take();

    for (uint8_t i = 0; i < 3; ++i) {
      Bytes audio(4, 0);
      audio.push_back(i);
      audio.insert(audio.end(), 30, 0x55);
      ASSERT_TRUE(send->AddFrame(1, audio.size(), audio.data(), nullptr, 2));
    }
    ASSERT_TRUE(WaitFor([&] { return port.has("audio 31 2"); }, kLimitMs));
    const auto lines = port.take();
    EXPECT_EQ(lines, (std::vector<std::string>{"audio 31 0", "after 1", "audio 31 1", "after 1",
                                               "audio 31 2", "after 1"}));
  }
}

}  // namespace
