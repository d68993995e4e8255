// A hostile relay on the far end of the TCP media connections: a plain blocking loopback socket of
// the test's own that answers the "_HX_STREAMS_" request as it likes (well, wrongly, cut, with
// garbage, or not at all) and then writes whatever bytes it likes: frames cut at every byte, heads
// with lying lengths, unknown tracks, control and command frames of every awkward length, floods
// of pings, relay statistics that lie about their entries, garbage, resets in the middle of a
// frame. Toward a send connection it stops reading, sends garbage, or resets while several
// threads keep adding frames. Every wait is bounded; AddressSanitizer watches for reads outside
// the bytes that came.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/conference/control/command_manager.h"
#include "core/media/video/recv_video_header.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_control_band.h"
#include "core/streams/tcp_media_connection.h"
#include "core/streams/tcp_send_queue.h"
#include "core/streams/tcp_stream_handlers.h"
#include "core/streams/tcp_stream_ports.h"
#include "core/streams/tcp_stream_test_util.h"
#include "core/transport/stream_helper_secure.h"
#include "core/wire/media_format.h"
#include "core/wire/zero_handshake.h"
#include "testing/hostile_peers/blocking_peer.h"
#include "testing/media_relay/tcp_relay.h"

namespace {

namespace hostile = hx::hostile;
using hx::testing::IdStream;
using hx::testing::TcpMediaRelay;
using hx::testing::TrialRecorder;
using hx::testing::WaitFor;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Trial = HX_MediaConnectionTrialTCP;

constexpr int kLimitMs = 10000;
constexpr char kPrimary[] = "_HX_STREAMS_";

// Payload byte i of every test payload, so that a receiver can tell which bytes it was given.
uint8_t PatternByte(size_t i) { return static_cast<uint8_t>(i * 7 + 1); }

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = PatternByte(i);
  return bytes;
}

Bytes Random(size_t size, uint32_t seed) {
  std::mt19937 engine(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(engine());
  return bytes;
}

// A head that says what the test wants, whatever follows it.
Bytes Head(uint16_t length, uint8_t track, uint8_t checksum = 172) {
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), 1, 2, 3, 4, track,
          checksum};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Ping() { return TcpMediaRelay::MakeFrame(255, {}); }

// Relay statistics: u16 queue of all tracks, 8 bytes the client does not read, the entry count,
// then 11-byte entries of track and u16 queue (and 8 bytes more).
Bytes RelayStats(uint8_t count, const std::vector<uint8_t>& tracks) {
  Bytes data(11, 0xEE);
  data[0] = 0x10;
  data[1] = 0x00;
  data[10] = count;
  for (uint8_t track : tracks) {
    Bytes entry(11, 0xEE);
    entry[0] = track;
    entry[1] = 0x20;
    entry[2] = 0x01;
    data.insert(data.end(), entry.begin(), entry.end());
  }
  return data;
}

// Records every call of the receive handler as a line of text. Commands are checked against the
// payload they were cut from: their data must be the frame's own bytes, and nothing past them.
class RecordingPort : public HX_TcpReceiveStreamPort {
 public:
  void AudioFrameReceived(const uint8_t* frame, size_t size) override {
    add("audio " + std::to_string(size) + " " + std::to_string(size > 0 ? frame[0] : -1));
  }
  void OnVideoFrameAssembled(const uint8_t*, size_t size, int, const HX_RecvNhpVideoHeader*,
                             bool key, bool&) override {
    add("video " + std::to_string(size) + (key ? " key" : " delta"));
  }
  bool ProcessRecvDataPacket(const uint8_t*, uint16_t size) override {
    add("data " + std::to_string(size));
    return true;
  }
  bool ProcessCommand(const HX_MiscCommand& command) override {
    bool own_bytes = true;
    for (size_t i = 0; i < HX_MiscCommandMaxData; ++i) {
      const uint8_t expected = i < command.length ? PatternByte(4 + i) : 0;
      if (command.data[i] != expected) own_bytes = false;
    }
    add("command " + std::to_string(command.code) + " " + std::to_string(command.length) +
        (own_bytes ? "" : " foreign bytes"));
    return true;
  }
  void afterFrameReceived(int count) override { add("after " + std::to_string(count)); }
  HX_MediaFormat GetPeerMediaFormat() const override { return HX_MediaFormat(); }
  void SenderAddCommand(const HX_MiscCommand& command) override {
    add("sender command " + std::to_string(command.code));
  }
  void SenderRequestKeyFrame() override { add("sender key frame"); }
  void SenderParseCommandMisc(const HX_StreamFrameHead* head) override {
    add("sender control " + std::to_string(head->Length()));
    if (commands != nullptr) commands->ParseCommandMisc(head);
  }

  Lines take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Lines lines;
    lines.swap(m_lines);
    return lines;
  }
  bool has(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& l : m_lines) {
      if (l == line) return true;
    }
    return false;
  }

  // The send stream's command manager, when a test has one.
  HX_CommandManager* commands = nullptr;

 private:
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
  }
  std::mutex m_mutex;
  Lines m_lines;
};

// A send stream's command manager that hands relay statistics to a real send handler.
class ForwardingCommands : public HX_CommandManager {
 public:
  explicit ForwardingCommands(HX_SenderTCP& sender) : m_sender(sender) {}
  bool AddCommand(const HX_MiscCommand&, bool) override { return true; }
  bool ProcessForceKeyFrame() override { return true; }
  bool ProcessCommandReplay(const HX_MiscCommand&) override { return true; }
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override {
    return m_sender.ProcessControlBandCommand(command);
  }
  bool ProcessRestrictBitrate(const conference::ServerBitrateControl&) override { return true; }
  bool ProcessChangeSndMediaFormat(const HX_MediaFormat&) override { return true; }

 private:
  HX_SenderTCP& m_sender;
};

// Counts the notifications of a regular connection and passes them on to its packet manager.
class CountingManager : public HXZADataManager {
 public:
  explicit CountingManager(HXZADataManager& inner) : m_inner(inner) {}
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override {
    sends.fetch_add(1);
    return m_inner.OnReadySendImp(socket, handler);
  }
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override {
    return m_inner.OnReadyRecvImp(socket, handler);
  }
  std::atomic<int> sends{0};

 private:
  HXZADataManager& m_inner;
};

// One stream frame as the hostile relay reads it from a send connection.
struct ReadFrame {
  uint8_t track = 0;
  uint8_t checksum = 0;
  Bytes payload;
};

// Reads `count` whole frames; fewer when the connection ends or stays silent too long.
std::vector<ReadFrame> ReadFrames(int handle, size_t count) {
  std::vector<ReadFrame> frames;
  while (frames.size() < count) {
    const Bytes head = hostile::ReadExactly(handle, 8, kLimitMs);
    if (head.size() != 8) break;
    ReadFrame frame;
    frame.track = head[6];
    frame.checksum = head[7];
    frame.payload = hostile::ReadExactly(handle, head[0] | (head[1] << 8), kLimitMs);
    if (frame.payload.size() != size_t(head[0] | (head[1] << 8))) break;
    frames.push_back(std::move(frame));
  }
  return frames;
}

struct BadAnswer;

class HostileTcpMediaTest : public hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    receiver = std::make_unique<IdStream>(hx::testing::kReceiverType);
    recv = new HX_ReceiverTCP();
    recv->setStreamPort(&port);
    receiver->setConnectionHandler(recv);
    ASSERT_TRUE(recv->startConnection(""));
    recvRecorder.onDone = [this](HX_NetTrialConnection* done, bool success) {
      if (success) TakeOver(recv, done, nullptr);
    };
  }
  void TearDown() override {
    recv->closeConnection();
    for (auto& stream : senders) stream->netHandler()->closeConnection();
    for (Trial* trial : trials) OnLoop([&] { trial->connRecycle(); });
    for (int peer : peers) close(peer);
    LoopFixture::TearDown();
  }

  // What the stream does with a successful trial, on the loop's thread; `counting` (when given)
  // sits between the regular connection and its packet manager.
  static void TakeOver(HX_MediaStreamNetHandler* net, HX_NetTrialConnection* done,
                       CountingManager* counting) {
    HX_MediaStreamRegularConnection* regular =
        net->createStreamFromConnected(static_cast<Trial*>(done));
    if (regular == nullptr) return;
    if (counting != nullptr) static_cast<HX_MediaConnectionTCP*>(regular)->setDataManager(counting);
    net->runConnection();
    net->afterAcquireHardware();
  }

  // A trial of the handler's kind toward the hostile listener, started.
  Trial* StartTrial(HX_MediaStreamNetHandler* net, bool send_side, TrialRecorder& recorder) {
    Trial* trial = send_side ? static_cast<Trial*>(HX_SenderConnectionTrialTCP::create(net))
                             : static_cast<Trial*>(HX_ReceiverConnectionTrialTCP::create(net));
    trials.push_back(trial);
    trial->setListener(&recorder);
    EXPECT_TRUE(trial->connectPeer({"127.0.0.1", listener.port()}));
    EXPECT_TRUE(trial->start());
    return trial;
  }

  // The relay's side of a new connection once it has read the request; -1 when none came.
  int AcceptRequest() {
    const int peer = listener.Accept(kLimitMs);
    if (peer < 0) return -1;
    peers.push_back(peer);
    const auto request = hostile::ReadRecord(peer, kLimitMs);
    if (!request.has_value() || request->primary != kPrimary) return -1;
    requestVersion = request->version;
    return peer;
  }

  Bytes GoodAnswer() const {
    return hostile::MakeRecord(
        kPrimary, requestVersion,
        hostile::StreamResponseBody(1, 5, hostile::TrackMask({1, 2, 5, 254, 255})));
  }

  // A receive connection through the hostile relay; `behind` goes out in the same write as the
  // answer. Returns the relay's socket.
  int ConnectReceiver(const Bytes& behind = {}) {
    StartTrial(recv, false, recvRecorder);
    const int peer = AcceptRequest();
    EXPECT_NE(peer, -1);
    if (peer < 0) return -1;
    EXPECT_TRUE(hostile::SendAll(peer, Cat({GoodAnswer(), behind})));
    EXPECT_TRUE(WaitFor([&] { return recv->connection() != nullptr; }, kLimitMs));
    return peer;
  }

  // A send connection through the hostile relay (its notifications counted). Returns the relay's
  // socket.
  int ConnectSender() {
    // Earlier streams and counters stay until the end: their connections may still be going.
    senders.push_back(std::make_unique<IdStream>(hx::testing::kSenderType));
    sender = senders.back().get();
    send = new HX_SenderTCP();
    sender->setConnectionHandler(send);
    countings.push_back(std::make_unique<CountingManager>(send->packetManager()));
    counting = countings.back().get();
    EXPECT_TRUE(send->startConnection(""));
    sendRecorder.onDone = [this, net = send, manager = counting](HX_NetTrialConnection* done,
                                                                 bool success) {
      if (success) TakeOver(net, done, manager);
    };
    StartTrial(send, true, sendRecorder);
    const int peer = AcceptRequest();
    EXPECT_NE(peer, -1);
    if (peer < 0) return -1;
    EXPECT_TRUE(hostile::SendAll(peer, GoodAnswer()));
    EXPECT_TRUE(WaitFor([&] { return send->connection() != nullptr; }, kLimitMs));
    return peer;
  }

  // Sends `bytes` and then an audio fence; returns what the port saw before the fence.
  Lines Through(int peer, const Bytes& bytes) {
    const uint8_t fence = nextFence++;
    EXPECT_TRUE(hostile::SendAll(peer, Cat({bytes, TcpMediaRelay::MakeFrame(1, Bytes(4, fence))})));
    const std::string fence_line = "audio 4 " + std::to_string(fence);
    EXPECT_TRUE(WaitFor([&] { return port.has(fence_line); }, kLimitMs)) << "fence " << +fence;
    Lines lines = port.take();
    if (lines.size() >= 2 && lines[lines.size() - 2] == fence_line) lines.resize(lines.size() - 2);
    return lines;
  }

  void ExpectEveryTrialFails(const std::vector<BadAnswer>& answers);

  // The receive stream lost its connection `count` times in all, and no more come.
  void ExpectBreaks(int count) {
    EXPECT_TRUE(WaitFor([&] { return receiver->connectionDone.load() >= count; }, kLimitMs));
    WaitFor([] { return false; }, 100);  // grace for a second report that must not come
    EXPECT_EQ(receiver->connectionDone.load(), count);
    EXPECT_EQ(recv->connection(), nullptr);
  }

  hostile::LoopbackListener listener;
  uint32_t requestVersion = 1;
  RecordingPort port;
  TrialRecorder recvRecorder;
  std::unique_ptr<IdStream> receiver;
  HX_ReceiverTCP* recv = nullptr;
  TrialRecorder sendRecorder;
  std::vector<std::unique_ptr<IdStream>> senders;
  IdStream* sender = nullptr;
  HX_SenderTCP* send = nullptr;
  std::vector<std::unique_ptr<CountingManager>> countings;
  CountingManager* counting = nullptr;
  std::vector<Trial*> trials;
  std::vector<int> peers;
  uint8_t nextFence = 1;
};

// ---- The receive side -------------------------------------------------------------------------

TEST_F(HostileTcpMediaTest, FramesCutAtEveryByteArriveWholeAndOnce) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  const int one = 1;
  setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Bytes command = Pattern(8);
  command[0] = 3;
  command[3] = 4;
  const Bytes stream = Cat({TcpMediaRelay::MakeFrame(1, Pattern(33)),
                            TcpMediaRelay::MakeFrame(5, Pattern(12)),
                            TcpMediaRelay::MakeFrame(254, command), Ping(),
                            TcpMediaRelay::MakeFrame(3, Pattern(9)),
                            TcpMediaRelay::MakeFrame(255, Pattern(5))});
  const Lines expected{"audio 33 1", "after 1",   "data 12",          "after 1", "command 3 4",
                       "after 1",    "after 1",   "sender control 5", "after 1"};
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    ASSERT_TRUE(hostile::SendAll(peer, stream.data(), cut));
    // Only so that the two writes leave as two segments; nothing is asserted on time.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(Through(peer, Bytes(stream.begin() + cut, stream.end())), expected)
        << "cut at " << cut;
  }
}

TEST_F(HostileTcpMediaTest, LyingAndExtremeLengthsAreReadOnlyAsFarAsTheyGo) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  struct Case {
    const char* name;
    Bytes bytes;
    Lines lines;
  };
  const std::vector<Case> cases{
      {"empty audio", Head(0, 1), {"audio 0 -1", "after 1"}},
      {"empty data", Head(0, 5), {"data 0", "after 1"}},
      {"ping", Head(0, 255), {"after 1"}},
      {"empty track 0", Head(0, 0), {}},
      {"empty track 3", Head(0, 3), {}},
      {"empty track 4", Head(0, 4), {}},
      {"one byte on track 3", Cat({Head(1, 3), {9}}), {}},
      {"one byte on track 4", Cat({Head(1, 4), {9}}), {}},
      {"unknown track 6", TcpMediaRelay::MakeFrame(6, Pattern(300)), {}},
      {"unknown track 253", TcpMediaRelay::MakeFrame(253, Pattern(40)), {}},
      {"one byte of audio", Cat({Head(1, 1), {77}}), {"audio 1 77", "after 1"}},
      {"largest audio", TcpMediaRelay::MakeFrame(1, Pattern(65535)), {"audio 65535 1", "after 1"}},
      {"largest data", TcpMediaRelay::MakeFrame(5, Pattern(65535)), {"data 65535", "after 1"}},
      {"largest unknown", TcpMediaRelay::MakeFrame(200, Pattern(65535)), {}},
      {"two largest back to back",
       Cat({TcpMediaRelay::MakeFrame(1, Pattern(65535)),
            TcpMediaRelay::MakeFrame(1, Pattern(65535))}),
       {"audio 65535 1", "after 1", "audio 65535 1", "after 1"}},
      {"wrong checksum is not the receiver's business", Cat({Head(3, 5, 0), {1, 2, 3}}),
       {"data 3", "after 1"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Through(peer, c.bytes), c.lines) << c.name;

  // Video parts too short to hold their trailer: never a frame, never a crash.
  for (uint16_t length : {0, 1, 2, 3}) {
    const Lines lines = Through(peer, Cat({Head(length, 2), Pattern(length)}));
    ASSERT_FALSE(lines.empty()) << length;
    EXPECT_EQ(lines.back(), "after 1") << length;
    for (const std::string& line : lines) EXPECT_NE(line.rfind("video", 0), 0u) << length;
  }
}

// Frames of every size from 0 to the largest, back to back in one write: the receive buffer
// fills, cuts and compacts across them and hands out each exactly once, in order.
TEST_F(HostileTcpMediaTest, MixedSizesUpToTheLargestPassTheReceiveBufferInOrder) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  std::mt19937 engine(11);
  Bytes stream;
  Lines expected;
  for (int i = 0; i < 48; ++i) {
    const size_t size = i % 4 == 0 ? 65535 : engine() % 65536;
    Bytes payload = Pattern(size);
    if (size > 0) payload[0] = uint8_t(i);
    stream = Cat({stream, TcpMediaRelay::MakeFrame(1, payload)});
    expected.push_back("audio " + std::to_string(size) + " " +
                       std::to_string(size > 0 ? i : -1));
    expected.push_back("after 1");
  }
  EXPECT_EQ(Through(peer, stream), expected);
}

TEST_F(HostileTcpMediaTest, ControlAndCommandFramesOfEveryAwkwardLength) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  for (uint16_t length : {0, 1, 3, 4, 250, 251, 252, 253, 254, 255}) {
    // Sender control: a ping when empty, else handed to the send stream with its length.
    const Lines control = Through(peer, TcpMediaRelay::MakeFrame(255, Pattern(length)));
    const Lines expected = length == 0
                               ? Lines{"after 1"}
                               : Lines{"sender control " + std::to_string(length), "after 1"};
    EXPECT_EQ(control, expected)
        << "control " << length;

    // Commands: code 9 and a length byte that tells the truth or lies.
    for (int claimed : {0, 1, int(length) - 4, 250, 251, 255}) {
      if (claimed < 0) continue;
      Bytes payload = Pattern(length);
      if (length > 0) payload[0] = 9;
      if (length > 3) payload[3] = static_cast<uint8_t>(claimed);
      const Lines lines = Through(peer, TcpMediaRelay::MakeFrame(254, payload));
      const std::string trace = "command " + std::to_string(length) + " claiming " +
                                std::to_string(claimed);
      if (length >= 4 && length <= 254) {
        const size_t data = std::min<size_t>({size_t(claimed), 250, size_t(length) - 4});
        EXPECT_EQ(lines, (Lines{"command 9 " + std::to_string(data), "after 1"})) << trace;
      } else {
        // Not a command: dropped, or an empty one that carries none of the frame's bytes.
        const bool dropped = lines == Lines{"after 1"} || lines.empty();
        EXPECT_TRUE(dropped || lines == (Lines{"command 0 0", "after 1"})) << trace;
      }
    }
  }
}

TEST_F(HostileTcpMediaTest, FloodOfPingsCountsEveryOne) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  constexpr size_t kPings = 40000;  // 320000 bytes: more than the receive buffer holds
  Bytes flood;
  for (size_t i = 0; i < kPings; ++i) {
    const Bytes ping = Ping();
    flood.insert(flood.end(), ping.begin(), ping.end());
  }
  const Lines lines = Through(peer, flood);
  EXPECT_EQ(lines.size(), kPings);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "after 1"), long(kPings));
  EXPECT_EQ(receiver->connectionDone.load(), 0);
}

// The video parts of one frame: part i carries `chunks[i]` frame-data bytes and the trailer
// (parts left, last part index, counter); part 0's data begins with the key flag and interval.
std::vector<Bytes> VideoParts(uint8_t counter, const std::vector<size_t>& chunks) {
  std::vector<Bytes> parts;
  const uint8_t last = uint8_t(chunks.size() - 1);
  for (size_t i = 0; i < chunks.size(); ++i) {
    Bytes data = Pattern(chunks[i]);
    if (i == 0) std::copy_n(Bytes{1, 40, 0, 0, 0}.begin(), std::min<size_t>(5, data.size()),
                            data.begin());
    parts.push_back(Cat({data, {uint8_t(last - i), last, counter}}));
  }
  return parts;
}

Bytes VideoFrames(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all = Cat({all, TcpMediaRelay::MakeFrame(2, part)});
  return all;
}

// Whole video frames of many parts assemble to their exact size; parts whose trailers lie, whose
// counter changes mid-frame or that come in the wrong order never make a frame longer than the
// bytes sent, and a good key frame assembles right after each.
TEST_F(HostileTcpMediaTest, VideoPartsThatLieAboutTheirFrameStayWithinTheirBytes) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  const auto video_line = [](size_t bitstream) {
    return "video " + std::to_string(HX_RecvNhpVideoHeader::kSize + bitstream) + " key";
  };
  const auto good_after = [&](const char* name) {
    const Lines lines = Through(peer, VideoFrames(VideoParts(7, {55})));
    ASSERT_GE(lines.size(), 2u) << name;
    EXPECT_EQ(lines[lines.size() - 2], video_line(50)) << "no recovery after " << name;
  };

  for (size_t count : {2, 10}) {
    const Lines lines = Through(peer, VideoFrames(VideoParts(1, std::vector<size_t>(count, 8000))));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), video_line(8000 * count - 5)), 1) << count;
  }
  {
    // The most parts a frame can have: assembled whole, or dropped, never cut or stretched.
    const Lines lines = Through(peer, VideoFrames(VideoParts(2, std::vector<size_t>(256, 8000))));
    for (const std::string& line : lines) {
      if (line.rfind("video", 0) == 0) EXPECT_EQ(line, video_line(256 * 8000 - 5));
    }
    good_after("256 parts");
  }

  struct Case {
    const char* name;
    std::vector<Bytes> parts;
  };
  std::vector<Bytes> counter_changes = VideoParts(3, {8000, 8000, 8000});
  counter_changes[1].back() = 4;
  std::vector<Bytes> backwards = VideoParts(5, {8000, 8000, 8000});
  std::swap(backwards[1], backwards[2]);
  std::vector<Bytes> index_lies = VideoParts(6, {8000, 8000});
  index_lies[0][8000] = 200;  // parts left far beyond the last index
  std::vector<Bytes> last_lies = VideoParts(8, {100, 100});
  last_lies[1][101] = 255;  // a last index that grows mid-frame
  std::vector<Bytes> tail_only = VideoParts(9, {8000, 8000, 8000});
  tail_only.erase(tail_only.begin());
  std::vector<Bytes> repeated = VideoParts(10, {8000, 8000});
  repeated.insert(repeated.begin() + 1, repeated[0]);
  const std::vector<Case> cases{
      {"counter changes mid-frame", counter_changes},
      {"parts out of order", backwards},
      {"parts left beyond the last index", index_lies},
      {"last index grows", last_lies},
      {"tail without its first part", tail_only},
      {"first part twice", repeated},
      {"only trailers", {Bytes{0, 0, 11}, Bytes{1, 1, 12}, Bytes{0, 1, 12}}},
      {"one part claiming 255 more", {Cat({Bytes{1, 40, 0, 0, 0}, Pattern(10), {255, 255, 13}})}},
  };
  for (const Case& c : cases) {
    size_t sent = 0;
    for (const Bytes& part : c.parts) sent += part.size();
    const Lines lines = Through(peer, VideoFrames(c.parts));
    for (const std::string& line : lines) {
      size_t size = 0;
      if (std::sscanf(line.c_str(), "video %zu", &size) == 1) EXPECT_LE(size, sent) << c.name;
    }
    good_after(c.name);
  }
  EXPECT_EQ(receiver->connectionDone.load(), 0);
}

// Relay statistics reach the send stream's bandwidth control through the receive connection;
// entries the statistics claim but do not carry are not read.
TEST_F(HostileTcpMediaTest, RelayStatisticsWithLyingEntryCountsReachOnlyCarriedEntries) {
  HX_SenderTCP statistics_sink;
  ForwardingCommands commands(statistics_sink);
  port.commands = &commands;
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);

  struct Case {
    const char* name;
    Bytes payload;
    std::vector<unsigned> present, absent;
  };
  Bytes cut = RelayStats(3, {20, 21});
  cut.resize(cut.size() - 6);  // the second entry cut short
  Bytes long_one = RelayStats(25, {});
  for (uint8_t t = 40; t < 65; ++t) {
    const Bytes entry = RelayStats(0, {t});
    long_one.insert(long_one.end(), entry.begin() + 11, entry.end());
  }
  const std::vector<Case> cases{
      {"claims 255, carries 2", RelayStats(255, {10, 11}), {10, 11}, {12}},
      {"claims 3, second cut", cut, {20}, {21}},
      {"claims 9, carries none", RelayStats(9, {}), {}, {0}},
      {"25 entries in 286 bytes", long_one, {40, 41, 42, 43, 44, 45, 46, 47, 48, 49},
       {50, 51, 60, 64}},
  };
  for (const Case& c : cases) {
    const Lines lines = Through(peer, TcpMediaRelay::MakeFrame(255, c.payload));
    EXPECT_EQ(lines, (Lines{"sender control " + std::to_string(c.payload.size()), "after 1"}))
        << c.name;
    HX_SendFrameQueueTCPv2& queue = statistics_sink.sendQueue();
    queue.Lock();
    const auto& tracks = queue.Control().Tracks();
    for (unsigned track : c.present) EXPECT_EQ(tracks.count(track), 1u) << c.name << " " << track;
    for (unsigned track : c.absent) EXPECT_EQ(tracks.count(track), 0u) << c.name << " " << track;
    queue.Unlock();
  }
  port.commands = nullptr;
}

TEST_F(HostileTcpMediaTest, GarbageAfterAGoodFrameThenCloseBreaksOnce) {
  const std::vector<std::pair<const char*, Bytes>> garbage{
      {"random", Random(4096, 1)},
      {"more random", Random(20000, 2)},
      {"all ones: a head claiming 65535 bytes", Bytes(100, 0xFF)},
      {"all zeros: empty frames of track 0 and a stub", Bytes(100, 0)},
      {"a head claiming more than ever comes", Cat({Head(65535, 1), Pattern(10)})},
  };
  int breaks = 0;
  for (const auto& [name, junk] : garbage) {
    SCOPED_TRACE(name);
    const int peer = ConnectReceiver();
    ASSERT_NE(peer, -1);
    EXPECT_TRUE(hostile::SendAll(peer, Cat({TcpMediaRelay::MakeFrame(1, Pattern(20)), junk})));
    EXPECT_TRUE(WaitFor([&] { return port.has("audio 20 1"); }, kLimitMs));
    shutdown(peer, SHUT_WR);
    ExpectBreaks(++breaks);
    const Lines lines = port.take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "audio 20 1");
    EXPECT_EQ(lines[1], "after 1");
  }
}

TEST_F(HostileTcpMediaTest, CloseOrResetInTheMiddleOfAFrameBreaksOnceAndDeliversNoneOfIt) {
  const Bytes frame = TcpMediaRelay::MakeFrame(1, Pattern(200));
  int breaks = 0;
  for (size_t cut : {size_t(3), size_t(8), size_t(108), frame.size() - 1}) {
    for (bool reset : {false, true}) {
      SCOPED_TRACE(std::to_string(cut) + (reset ? " reset" : " close"));
      const int peer = ConnectReceiver();
      ASSERT_NE(peer, -1);
      EXPECT_TRUE(hostile::SendAll(peer, Cat({Ping(), Bytes(frame.begin(), frame.begin() + cut)})));
      EXPECT_TRUE(WaitFor([&] { return port.has("after 1"); }, kLimitMs));
      if (reset) {
        // The descriptor goes with the reset: forget it so that tear-down does not close it again.
        peers.pop_back();
        hostile::ResetClose(peer);
      } else {
        shutdown(peer, SHUT_WR);
      }
      ExpectBreaks(++breaks);
      EXPECT_EQ(port.take(), Lines{"after 1"});
    }
  }
}

// The relay writes its last frames and closes at once: the frames still count, then one break.
TEST_F(HostileTcpMediaTest, FramesJustBeforeTheCloseAreDeliveredBeforeTheBreak) {
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);
  Bytes last;
  for (uint8_t i = 1; i <= 3; ++i) {
    Bytes payload = Pattern(30);
    payload[0] = i;
    last = Cat({last, TcpMediaRelay::MakeFrame(1, payload)});
  }
  EXPECT_TRUE(hostile::SendAll(peer, Cat({last, Ping()})));
  shutdown(peer, SHUT_WR);
  ExpectBreaks(1);
  EXPECT_EQ(port.take(), (Lines{"audio 30 1", "after 1", "audio 30 2", "after 1", "audio 30 3",
                                "after 1", "after 1"}));
}

// The relay answers and writes its first frames in the same segment: they belong to the stream.
TEST_F(HostileTcpMediaTest, FramesRightBehindTheAnswerAreNotLost) {
  const int peer =
      ConnectReceiver(Cat({Ping(), TcpMediaRelay::MakeFrame(1, Pattern(10)), Ping()}));
  ASSERT_NE(peer, -1);
  EXPECT_EQ(Through(peer, {}), (Lines{"after 1", "audio 10 1", "after 1", "after 1"}));
}

// On a keyed stream the relay sends frames that were never enciphered, or enciphered wrongly:
// lengths off the cipher's blocks, random blocks, the largest payload. Each one is dispatched at
// most once, never longer than it came, and the stream goes on with the next good frame.
TEST_F(HostileTcpMediaTest, UndecipherableFramesOnAKeyedStreamStayWithinTheirBytes) {
  constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
  ASSERT_TRUE(recv->startConnection(kKey));
  HXHelperStreamSecure cipher;
  ASSERT_TRUE(cipher.SetCryptoKey(kKey));
  const auto enciphered = [&](uint8_t track, const Bytes& plain) {
    const Bytes frame = TcpMediaRelay::MakeFrame(track, plain);
    uint32_t size = 0;
    const uint8_t* out = cipher.Encrypt(frame.data(), uint32_t(frame.size()), nullptr, size);
    return out == nullptr ? Bytes() : Bytes(out, out + size);
  };
  const int peer = ConnectReceiver();
  ASSERT_NE(peer, -1);

  const Bytes good = enciphered(1, Pattern(50));
  ASSERT_GT(good.size(), 8u + 50u) << "the test cipher did not encipher";
  for (size_t length : {1, 15, 16, 17, 31, 32, 33, 1000, 65520, 65535}) {
    SCOPED_TRACE(length);
    const Bytes bad = TcpMediaRelay::MakeFrame(1, Random(length, uint32_t(length)));
    EXPECT_TRUE(hostile::SendAll(peer, Cat({bad, good})));
    EXPECT_TRUE(WaitFor([&] { return port.has("audio 50 1"); }, kLimitMs));
    Lines lines = port.take();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"audio 50 1", "after 1"}));
    lines.resize(lines.size() - 2);
    ASSERT_LE(lines.size(), 2u);
    if (!lines.empty()) {
      size_t got = 0;
      ASSERT_EQ(std::sscanf(lines[0].c_str(), "audio %zu", &got), 1) << lines[0];
      EXPECT_LE(got, length);
    }
  }
  EXPECT_EQ(receiver->connectionDone.load(), 0);
}

// ---- The handshake ----------------------------------------------------------------------------

// An answer to the request, built from the good one, and what the relay does after it.
enum class Then { stayOpen, close, reset };
struct BadAnswer {
  const char* name;
  std::function<Bytes(const Bytes& good, uint32_t version)> answer;
  Then then;
};

// Every answer ends its own trial in the failed state with one report, and no connection comes
// of any of them.
void HostileTcpMediaTest::ExpectEveryTrialFails(const std::vector<BadAnswer>& answers) {
  int reports = 0;
  for (const BadAnswer& c : answers) {
    SCOPED_TRACE(c.name);
    Trial* trial = StartTrial(recv, false, recvRecorder);
    const int peer = AcceptRequest();
    ASSERT_NE(peer, -1);
    const Bytes bytes = c.answer(GoodAnswer(), requestVersion);
    if (!bytes.empty()) EXPECT_TRUE(hostile::SendAll(peer, bytes));
    if (c.then == Then::close) shutdown(peer, SHUT_WR);
    if (c.then == Then::reset) {
      peers.pop_back();
      hostile::ResetClose(peer);
    }
    EXPECT_TRUE(WaitFor([&] { return trial->getTrialState() == Trial::stateFailed; }, kLimitMs))
        << "state " << trial->getTrialState();
    ++reports;
    EXPECT_TRUE(WaitFor([&] { return recvRecorder.count.load() >= reports; }, kLimitMs));
  }
  WaitFor([] { return false; }, 100);  // grace for a report that must not come
  EXPECT_EQ(recvRecorder.reports(), std::vector<bool>(answers.size(), false));
  EXPECT_EQ(recv->connection(), nullptr);
}

Bytes Answer(const std::string& primary, uint32_t version, uint8_t flag, uint8_t count,
             bool with_mask) {
  return hostile::MakeRecord(
      primary, version,
      hostile::StreamResponseBody(flag, count,
                                  with_mask ? std::optional<Bytes>(hostile::TrackMask(
                                                  {1, 2, 5, 254, 255}))
                                            : std::nullopt));
}

TEST_F(HostileTcpMediaTest, WrongCutOrMissingAnswersFailTheTrialOnce) {
  ExpectEveryTrialFails({
      {"refused", [](const Bytes&, uint32_t v) { return Answer(kPrimary, v, 0, 5, true); },
       Then::stayOpen},
      {"count without its mask",
       [](const Bytes&, uint32_t v) { return Answer(kPrimary, v, 1, 5, false); }, Then::stayOpen},
      {"one-byte body",
       [](const Bytes&, uint32_t v) { return hostile::MakeRecord(kPrimary, v, {1}); },
       Then::stayOpen},
      {"version 0", [](const Bytes&, uint32_t) { return Answer(kPrimary, 0, 1, 5, true); },
       Then::stayOpen},
      {"garbage", [](const Bytes&, uint32_t) { return Random(64, 7); }, Then::stayOpen},
      {"cut answer",
       [](const Bytes& good, uint32_t) { return Bytes(good.begin(), good.begin() + 12); },
       Then::close},
      {"cut answer, reset",
       [](const Bytes& good, uint32_t) { return Bytes(good.begin(), good.begin() + 30); },
       Then::reset},
      {"length lies upward",
       [](const Bytes&, uint32_t v) {
         return hostile::MakeLyingRecord(
             kPrimary, v, 8192,
             hostile::StreamResponseBody(1, 5, hostile::TrackMask({1, 2, 5, 254, 255})));
       },
       Then::close},
      {"no answer, close", [](const Bytes&, uint32_t) { return Bytes(); }, Then::close},
      {"no answer, reset", [](const Bytes&, uint32_t) { return Bytes(); }, Then::reset},
  });
}

// An answer of another kind, or one spoiled on the way (head or body checksum), fails the trial
// like a refusal.
TEST_F(HostileTcpMediaTest, AnswersOfAnotherKindOrWithSpoiledChecksumsFailTheTrial) {
  const auto spoiled = [](Bytes record, uint32_t bit, bool reseal_head) {
    hostile::SetWord(record, hostile::Word(record) ^ (1u << bit));
    if (reseal_head) hostile::SealHeadOnly(record);
    // The records really are spoiled, as the system's own reader sees them.
    EXPECT_FALSE(HX_CheckZeroHandshakeCksum(
        reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(record.data())));
    return record;
  };
  ExpectEveryTrialFails({
      {"another kind of record",
       [](const Bytes&, uint32_t v) { return Answer("_HX_TRANSPORT_", v, 1, 5, true); },
       Then::stayOpen},
      {"head checksum spoiled",
       [&](const Bytes& good, uint32_t) { return spoiled(good, 5, false); }, Then::stayOpen},
      {"body checksum spoiled",
       [&](const Bytes& good, uint32_t) { return spoiled(good, 13, true); }, Then::stayOpen},
  });
}

TEST_F(HostileTcpMediaTest, SilentRelayNeitherPassesNorFailsTheTrialUntilItCloses) {
  Trial* trial = StartTrial(recv, false, recvRecorder);
  const int peer = AcceptRequest();
  ASSERT_NE(peer, -1);
  // Nothing can end the trial while the relay says nothing; the manager's own timer would.
  EXPECT_FALSE(WaitFor([&] { return trial->getTrialState() != Trial::stateHandshaking; }, 300));
  EXPECT_EQ(recvRecorder.count.load(), 0);
  shutdown(peer, SHUT_WR);
  EXPECT_TRUE(WaitFor([&] { return trial->getTrialState() == Trial::stateFailed; }, kLimitMs));
  EXPECT_TRUE(WaitFor([&] { return recvRecorder.count.load() == 1; }, kLimitMs));
  EXPECT_EQ(recvRecorder.reports(), std::vector<bool>{false});
}

// ---- The send side ----------------------------------------------------------------------------

// The relay stops reading: the socket fills, the loop waits instead of spinning, nothing queued is
// lost, and once the relay reads again every frame comes out whole and in order; an idle
// connection with nothing queued then stays quiet.
TEST_F(HostileTcpMediaTest, RelayThatStopsReadingNeitherSpinsNorLosesFrames) {
  const int peer = ConnectSender();
  ASSERT_NE(peer, -1);
  constexpr int kFrames = 3000;
  constexpr size_t kCodec = 1000;
  for (int i = 0; i < kFrames; ++i) {
    Bytes input(4, 0);
    Bytes body = Pattern(kCodec);
    body[0] = static_cast<uint8_t>(i);
    body[1] = static_cast<uint8_t>(i >> 8);
    input.insert(input.end(), body.begin(), body.end());
    ASSERT_TRUE(send->AddFrame(1, input.size(), input.data(), nullptr, 2));
  }
  // Until the socket's unsent bytes stop growing: the relay's window and the send buffer are full.
  uint64_t last = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const uint64_t queued = send->getSocketSendQueueSizeNL();
        const bool steady = queued > 0 && queued == last;
        last = queued;
        if (!steady) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return steady;
      },
      kLimitMs));
  QueueStatistics waiting;
  send->sendQueue().GetQueueStatistics(256, waiting);
  EXPECT_GT(waiting.frames, 0u) << "the relay should have been too slow for the queue";

  // A blocked socket gives no writable notifications; a writer that spun would make thousands.
  const int before = counting->sends.load();
  WaitFor([] { return false; }, 500);
  EXPECT_LT(counting->sends.load() - before, 50) << "the send step runs on a full socket";

  const std::vector<ReadFrame> frames = ReadFrames(peer, kFrames);
  ASSERT_EQ(frames.size(), size_t(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    const ReadFrame& frame = frames[i];
    ASSERT_EQ(frame.track, 1) << i;
    ASSERT_EQ(frame.payload.size(), kCodec) << i;
    ASSERT_EQ(frame.payload[0] | (frame.payload[1] << 8), i & 0xFFFF) << "out of order";
    ASSERT_EQ(frame.checksum, TcpMediaRelay::Checksum(frame.payload.data(), kCodec)) << i;
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        QueueStatistics left;
        send->sendQueue().GetQueueStatistics(256, left);
        return left.frames == 0;
      },
      kLimitMs));

  // Nothing queued: the connection does not keep asking to write.
  WaitFor([] { return false; }, 100);
  const int idle = counting->sends.load();
  WaitFor([] { return false; }, 500);
  EXPECT_LT(counting->sends.load() - idle, 10) << "an idle send connection spins";
  EXPECT_EQ(sender->connectionDone.load(), 0);
}

// The relay resets while the socket holds part of a frame; on the next connection the relay must
// see whole frames from its first byte on, never the rest of a part begun on the old one.
TEST_F(HostileTcpMediaTest, NextConnectionStartsAtAFrameBoundaryAfterAResetMidPart) {
  const int first = ConnectSender();
  ASSERT_NE(first, -1);
  constexpr size_t kCodec = 3001;  // frames of 3009 bytes: the socket fills mid-frame
  const auto audio = [&](uint16_t sequence) {
    Bytes body = Pattern(kCodec);
    body[0] = uint8_t(sequence);
    body[1] = uint8_t(sequence >> 8);
    const Bytes input = Cat({Bytes(4, 0), body});
    EXPECT_TRUE(send->AddFrame(1, input.size(), input.data(), nullptr, 2));
  };
  for (uint16_t i = 0; i < 3000; ++i) audio(i);
  uint64_t last = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const uint64_t queued = send->getSocketSendQueueSizeNL();
        const bool steady = queued > 0 && queued == last;
        last = queued;
        if (!steady) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return steady;
      },
      kLimitMs));
  QueueStatistics waiting;
  send->sendQueue().GetQueueStatistics(256, waiting);
  ASSERT_GT(waiting.frames, 0u) << "the socket took everything: no part was cut";
  peers.pop_back();
  hostile::ResetClose(first);
  ASSERT_TRUE(WaitFor([&] { return sender->connectionDone.load() == 1; }, kLimitMs));
  ASSERT_TRUE(WaitFor([&] { return send->connection() == nullptr; }, kLimitMs));

  StartTrial(send, true, sendRecorder);
  const int second = AcceptRequest();
  ASSERT_NE(second, -1);
  ASSERT_TRUE(hostile::SendAll(second, GoodAnswer()));
  ASSERT_TRUE(WaitFor([&] { return send->connection() != nullptr; }, kLimitMs));
  constexpr uint16_t kMarker = 0xFFFF;
  audio(kMarker);

  int previous = -1;
  for (int frames = 0; frames <= 3001; ++frames) {
    const std::vector<ReadFrame> one = ReadFrames(second, 1);
    ASSERT_EQ(one.size(), 1u) << "after " << frames << " frames the stream no longer parses";
    const ReadFrame& frame = one[0];
    ASSERT_EQ(frame.track, 1) << "frame " << frames;
    ASSERT_EQ(frame.payload.size(), kCodec) << "frame " << frames;
    ASSERT_EQ(frame.checksum, TcpMediaRelay::Checksum(frame.payload.data(), kCodec));
    const int sequence = frame.payload[0] | (frame.payload[1] << 8);
    if (sequence == kMarker) break;
    EXPECT_GT(sequence, previous);
    previous = sequence;
  }
}

// On a keyed stream no frame goes out in clear, whatever its size: near the largest payload the
// enciphered form no longer fits a head, and such a frame must not leave as it is.
// Observed: commands of 65520 and 65535 bytes reach the relay unenciphered, byte for byte (their
// enciphered form would pass 65535 bytes and the shield hands them on unchanged); 65519 is fine.
TEST_F(HostileTcpMediaTest, DISABLED_KeyedSenderNeverSendsAFrameInClear) {
  constexpr const char* kKey = "0123456789abcdef0123456789abcdef";
  senders.push_back(std::make_unique<IdStream>(hx::testing::kSenderType));
  sender = senders.back().get();
  send = new HX_SenderTCP();
  sender->setConnectionHandler(send);
  ASSERT_TRUE(send->startConnection(kKey));
  sendRecorder.onDone = [this](HX_NetTrialConnection* done, bool success) {
    if (success) TakeOver(send, done, nullptr);
  };
  StartTrial(send, true, sendRecorder);
  const int peer = AcceptRequest();
  ASSERT_NE(peer, -1);
  ASSERT_TRUE(hostile::SendAll(peer, GoodAnswer()));
  ASSERT_TRUE(WaitFor([&] { return send->connection() != nullptr; }, kLimitMs));

  for (size_t size : {size_t(1000), size_t(65519), size_t(65520), size_t(65535)}) {
    SCOPED_TRACE(size);
    Bytes command = Pattern(size);
    command[0] = 9;
    ASSERT_TRUE(send->AddFrame(254, command.size(), command.data(), nullptr, 1));
    // A fence behind it, so that a frame that was held back does not stall the reading.
    const Bytes fence = Cat({Bytes(4, 0), Bytes(20, 0x33)});
    ASSERT_TRUE(send->AddFrame(1, fence.size(), fence.data(), nullptr, 2));
    bool fenced = false;
    while (!fenced) {
      const std::vector<ReadFrame> one = ReadFrames(peer, 1);
      ASSERT_EQ(one.size(), 1u);
      EXPECT_FALSE(one[0].payload == command) << "a command went out in clear";
      fenced = one[0].track == 1;
    }
  }
}

// What a relay sends toward a send connection is read and dropped; the connection stays up and
// its frames keep going out intact, until the relay closes.
TEST_F(HostileTcpMediaTest, SendConnectionDropsWhatTheRelaySendsAndBreaksOnceOnClose) {
  const int peer = ConnectSender();
  ASSERT_NE(peer, -1);
  HX_MediaStreamRegularConnection* connection = send->connection();
  Bytes junk = Random(65536, 3);
  const Bytes ping = Ping();
  for (int i = 0; i < 1000; ++i) junk.insert(junk.end(), ping.begin(), ping.end());
  ASSERT_TRUE(hostile::SendAll(peer, junk));
  for (uint8_t i = 0; i < 10; ++i) {
    Bytes input(4, 0);
    input.push_back(i);
    input.insert(input.end(), 20, 0x5A);
    ASSERT_TRUE(send->AddFrame(1, input.size(), input.data(), nullptr, 2));
  }
  const std::vector<ReadFrame> frames = ReadFrames(peer, 10);
  ASSERT_EQ(frames.size(), 10u);
  for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(frames[i].payload[0], i);
  EXPECT_EQ(send->connection(), connection);
  EXPECT_EQ(sender->connectionDone.load(), 0);

  shutdown(peer, SHUT_WR);
  EXPECT_TRUE(WaitFor([&] { return sender->connectionDone.load() >= 1; }, kLimitMs));
  WaitFor([] { return false; }, 100);
  EXPECT_EQ(sender->connectionDone.load(), 1);
  EXPECT_EQ(send->connection(), nullptr);
}

// Encoder, audio and ping threads keep adding frames while the connection goes away under them:
// closed by its owner, or reset by the relay (then reported once).
TEST_F(HostileTcpMediaTest, ConnectionGoesAwayWhileSeveralThreadsAddFrames) {
  for (bool relay_resets : {false, true}) {
    SCOPED_TRACE(relay_resets ? "relay resets" : "owner closes");
    const int peer = ConnectSender();
    ASSERT_NE(peer, -1);
    std::atomic<bool> stop{false};
    std::atomic<bool> stopReading{false};
    std::atomic<size_t> taken{0};
    std::atomic<int> refused{0};
    std::thread reader([&] {
      uint8_t sink[65536];
      while (!stopReading.load()) {
        pollfd item{peer, POLLIN, 0};
        if (poll(&item, 1, 20) != 1) continue;
        const ssize_t n = ::recv(peer, sink, sizeof sink, 0);
        if (n <= 0) break;
        taken.fetch_add(size_t(n));
      }
    });
    std::vector<std::thread> writers;
    writers.emplace_back([&] {  // audio
      const Bytes input = Cat({Bytes(4, 0), Pattern(160)});
      while (!stop.load()) {
        if (!send->AddFrame(1, input.size(), input.data(), nullptr, 2)) refused.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
    writers.emplace_back([&] {  // video, three parts a frame
      Bytes input = Pattern(20000);
      input[1] = 0;
      HX_SendNhpVideoHeader header{};
      while (!stop.load()) {
        if (!send->AddFrame(2, input.size(), input.data(), &header, 3)) refused.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    writers.emplace_back([&] {  // pings and passed-on frames
      const Bytes whole = TcpMediaRelay::MakeFrame(5, Pattern(100));
      while (!stop.load()) {
        send->PingStream();
        if (!send->PostFrame(reinterpret_cast<const HX_StreamFrameHead*>(whole.data()))) {
          refused.fetch_add(1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
    EXPECT_TRUE(WaitFor([&] { return taken.load() > 200000; }, kLimitMs));
    if (relay_resets) {
      stopReading.store(true);
      reader.join();
      peers.pop_back();
      hostile::ResetClose(peer);
    } else {
      send->closeConnection();
    }
    EXPECT_TRUE(WaitFor([&] { return send->connection() == nullptr; }, kLimitMs));
    // The writers go on a little against no connection at all.
    WaitFor([] { return false; }, 200);
    stop.store(true);
    for (std::thread& writer : writers) writer.join();
    stopReading.store(true);
    if (reader.joinable()) reader.join();
    EXPECT_EQ(refused.load(), 0);
    if (relay_resets) {
      WaitFor([&] { return sender->connectionDone.load() >= 1; }, kLimitMs);
      WaitFor([] { return false; }, 100);
      EXPECT_EQ(sender->connectionDone.load(), 1);
    }
    send->closeConnection();
  }
}

}  // namespace
