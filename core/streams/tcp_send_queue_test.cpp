// The TCP send queue and receive buffer on a simulated clock: frame layouts by track, the video
// parts with their trailers, priorities, statistics and the receive buffer's segmentation.
#include "core/streams/tcp_send_queue.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/streams/stream_handshake.h"
#include "core/streams/tcp_control_band.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Part {
  uint8_t track;
  uint32_t tick;
  Bytes payload;
};

class TcpSendQueueTest : public ::testing::Test {
 protected:
  int64_t now = 5000;
  HX_SendFrameQueueTCPv2 queue{[this] { return now; }};

  // Drains the queue part by part as the send handler does, checking every head.
  std::vector<Part> Drain(size_t max_parts = 100000) {
    std::vector<Part> parts;
    while (parts.size() < max_parts) {
      HX_CommitFrameBase* frame = queue.GetFrame();
      if (frame == nullptr) break;
      const auto* head = reinterpret_cast<const HX_StreamFrameHead*>(frame->Buffer());
      EXPECT_EQ(frame->CurrentPartSize(), head->Length() + 8u);
      EXPECT_TRUE(head->CheckPayload(head->Payload()));
      parts.push_back(
          {head->Track(), head->Tick(), Bytes(head->Payload(), head->Payload() + head->Length())});
      queue.NextPart(frame->CurrentPartSize());
    }
    return parts;
  }
};

Bytes VideoInput(size_t size, uint8_t counter, uint8_t type) {
  Bytes v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  if (size > 0) v[0] = counter;
  if (size > 1) v[1] = type;
  return v;
}

TEST(StreamCksum, EveryTwoHundredThirtyFourthByte) {
  Bytes p(235);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i + 50);
  EXPECT_EQ(HX_StreamCksum(p.data(), 235), static_cast<uint8_t>(172 + p[0] + p[234]));
  EXPECT_EQ(HX_StreamCksum(p.data(), 234), static_cast<uint8_t>(172 + p[0]));
  EXPECT_EQ(HX_StreamCksum(nullptr, 0), 172);
}

TEST_F(TcpSendQueueTest, VideoPartsTrailersAndHeadLengths) {
  struct Case {
    size_t input;
    std::vector<size_t> data;  // frame-data bytes per part
  } cases[] = {
      {8001, {8000}}, {8002, {8000, 1}}, {6, {5}}, {16001, {8000, 8000}}, {16002, {8000, 8000, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Bytes input = VideoInput(c.input, 0x42, 1);
    HX_SendNhpVideoHeader header;
    header.frameType = 1;
    header.frameInterval = 40;
    ASSERT_TRUE(queue.AddFrame(2, input.size(), input.data(), &header, 3));
    const auto parts = Drain();
    ASSERT_EQ(parts.size(), c.data.size());
    Bytes rebuilt{input[0]};
    const size_t n = parts.size();
    for (size_t i = 0; i < n; ++i) {
      const Part& p = parts[i];
      EXPECT_EQ(p.track, 2);
      EXPECT_EQ(p.tick, 5000u);
      ASSERT_EQ(p.payload.size(), c.data[i] + 3);
      EXPECT_EQ(p.payload[c.data[i]], n - 1 - i);
      EXPECT_EQ(p.payload[c.data[i] + 1], n - 1);
      EXPECT_EQ(p.payload[c.data[i] + 2], 0x42);
      rebuilt.insert(rebuilt.end(), p.payload.begin(), p.payload.end() - 3);
    }
    // Part 0: inverted type, then the interval in place of the timestamp; the rest unchanged.
    EXPECT_EQ(rebuilt[1], 0);
    EXPECT_EQ(rebuilt[2] | rebuilt[3] << 8 | rebuilt[4] << 16 | rebuilt[5] << 24, 40);
    for (size_t i = 1; i < 6; ++i) rebuilt[i] = input[i];
    EXPECT_EQ(rebuilt, input);
  }
}

TEST_F(TcpSendQueueTest, KeyAndDeltaFirstBytes) {
  struct Case {
    uint8_t type;
    uint8_t first;
    uint32_t interval;
  } cases[] = {{0, 1, 33}, {1, 0, 1000}, {7, 0, 0}};
  for (const Case& c : cases) {
    Bytes input = VideoInput(100, 9, c.type);
    HX_SendNhpVideoHeader header;
    header.frameType = c.type;
    header.frameInterval = c.interval;
    ASSERT_TRUE(queue.AddFrame(2, input.size(), input.data(), &header, 3));
    const auto parts = Drain();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].payload[0], c.first);
    const Bytes& p = parts[0].payload;
    EXPECT_EQ(uint32_t(p[1] | p[2] << 8 | p[3] << 16 | p[4] << 24), c.interval);
  }
}

TEST_F(TcpSendQueueTest, ShortAndOversizedVideoRefused) {
  // Under the 6-byte prefix the interval would land on the trailer or past the buffer.
  for (size_t size : {0, 1, 2, 3, 5}) {
    Bytes input = VideoInput(size, 1, 0);
    EXPECT_FALSE(queue.AddFrame(2, size, size ? input.data() : nullptr, nullptr, 3)) << size;
  }
  // 256 parts fit the trailer's byte counts; 257 do not.
  Bytes big = VideoInput(256 * 8000 + 2, 1, 0);
  EXPECT_FALSE(queue.AddFrame(2, big.size(), big.data(), nullptr, 3));
  EXPECT_EQ(queue.QueuedFrames(), 0u);
  QueueStatistics s;
  queue.GetQueueStatistics(256, s);
  EXPECT_EQ(s.bytes, 0u);
  ASSERT_TRUE(queue.AddFrame(2, big.size() - 1, big.data(), nullptr, 3));
  const auto parts = Drain();
  ASSERT_EQ(parts.size(), 256u);
  EXPECT_EQ(parts.front().payload[8000], 255);
  EXPECT_EQ(parts.front().payload[8001], 255);
  EXPECT_EQ(parts.back().payload[8000], 0);
}

TEST_F(TcpSendQueueTest, AudioOrdinaryAndTrackRules) {
  Bytes audio{1, 2, 3, 4, 10, 11, 12};
  EXPECT_TRUE(queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2));
  EXPECT_FALSE(queue.AddFrame(1, 3, audio.data(), nullptr, 2));
  EXPECT_FALSE(queue.AddFrame(5, audio.size(), audio.data(), nullptr, 2));
  EXPECT_FALSE(queue.AddFrame(255, audio.size(), audio.data(), nullptr, 2));
  Bytes big(65536, 0xAB);
  EXPECT_FALSE(queue.AddFrame(254, big.size(), big.data(), nullptr, 1));
  EXPECT_TRUE(queue.AddFrame(254, 65535, big.data(), nullptr, 1));
  const auto parts = Drain();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].track, 254);
  EXPECT_EQ(parts[0].payload, Bytes(big.begin(), big.end() - 1));
  EXPECT_EQ(parts[1].track, 1);
  EXPECT_EQ(parts[1].payload, (Bytes{10, 11, 12}));
}

TEST_F(TcpSendQueueTest, PriorityOrder) {
  Bytes audio{0, 0, 0, 0, 1};
  for (uint8_t i = 0; i < 3; ++i) {
    audio[4] = i;
    queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2);
  }
  Bytes cmd{9};
  queue.AddFrame(254, 1, cmd.data(), nullptr, 1);
  auto parts = Drain();
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts[0].track, 254);
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(parts[1 + i].payload, Bytes{i});

  // A command between two parts of a video frame goes out before the video's next part.
  Bytes video = VideoInput(8002, 1, 0);
  queue.AddFrame(2, video.size(), video.data(), nullptr, 3);
  auto first = Drain(1);
  ASSERT_EQ(first.size(), 1u);
  queue.AddFrame(254, 1, cmd.data(), nullptr, 1);
  parts = Drain();
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].track, 254);
  EXPECT_EQ(parts[1].track, 2);
  EXPECT_EQ(parts[1].payload[1], 0);  // parts left
}

TEST_F(TcpSendQueueTest, PostFramePriorities) {
  // Queued in reverse of their priorities, they leave by track priority.
  const unsigned tracks[] = {200, 5, 2, 1, 255, 254};
  const int expected[] = {5, 4, 3, 2, 1, 1};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(HX_SendFrameQueueTCPv2::PostPriority(tracks[i]), expected[i]);
    Bytes frame(8 + 3, static_cast<uint8_t>(i));
    reinterpret_cast<HX_StreamFrameHead*>(frame.data())
        ->Set(frame.data() + 8, 3, 1, static_cast<uint8_t>(tracks[i]));
    now = 7000 + i;
    ASSERT_TRUE(queue.PostFrame(reinterpret_cast<HX_StreamFrameHead*>(frame.data())));
  }
  const auto parts = Drain();
  const unsigned order[] = {255, 254, 1, 2, 5, 200};
  ASSERT_EQ(parts.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(parts[i].track, order[i]);
    EXPECT_GE(parts[i].tick, 7000u);  // a fresh tick
  }
}

TEST_F(TcpSendQueueTest, NothingAfterReset) {
  Bytes video = VideoInput(20000, 1, 0);
  queue.AddFrame(2, video.size(), video.data(), nullptr, 3);
  queue.AddFrame(254, 4, video.data(), nullptr, 1);
  Drain(1);
  queue.Reset(800);
  EXPECT_EQ(queue.GetFrame(), nullptr);
  QueueStatistics s;
  queue.GetQueueStatistics(256, s);
  EXPECT_EQ(s.frames, 0u);
  uint32_t ts, count;
  uint64_t last;
  queue.GetQueueVideoStatistics(ts, last, count);
  EXPECT_EQ(count, 0u);
  queue.AddFrame(254, 4, video.data(), nullptr, 1);
  EXPECT_NE(queue.GetFrame(), nullptr);
}

TEST_F(TcpSendQueueTest, StatisticsFollowAddsAndParts) {
  Bytes video = VideoInput(16002, 1, 0);  // 3 parts
  HX_SendNhpVideoHeader h1, h2;
  h1.timestamp = 1111;
  h2.timestamp = 2222;
  queue.AddFrame(2, video.size(), video.data(), &h1, 3);
  queue.AddFrame(2, 100, video.data(), &h2, 3);
  Bytes audio(44, 1);
  queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2);
  const uint32_t video_bytes = (16001 + 3 * 11) + (99 + 11);
  QueueStatistics s;
  queue.GetQueueStatistics(2, s);
  EXPECT_EQ(s.bytes, video_bytes);
  EXPECT_EQ(s.frames, 4u);
  queue.GetQueueStatistics(256, s);
  EXPECT_EQ(s.bytes, video_bytes + 48);
  EXPECT_EQ(s.frames, 5u);
  uint32_t ts, count;
  uint64_t last;
  queue.GetQueueVideoStatistics(ts, last, count);
  EXPECT_EQ(ts, 1111u);
  EXPECT_EQ(count, 2u);

  uint32_t bytes_left = video_bytes + 48, parts_left = 5;
  int video_frames_done = 0;
  int64_t last_video = 0;
  while (HX_CommitFrameBase* f = queue.GetFrame()) {
    const uint64_t size = f->CurrentPartSize();
    const bool last_part = f->BytesLeft() == size;
    const int track = f->Track();
    now += 3;
    queue.NextPart(size);
    if (track == 2) last_video = now;
    bytes_left -= static_cast<uint32_t>(size);
    --parts_left;
    queue.GetQueueStatistics(256, s);
    EXPECT_EQ(s.bytes, bytes_left);
    EXPECT_EQ(s.frames, parts_left);
    if (track == 2 && last_part) ++video_frames_done;
    queue.GetQueueVideoStatistics(ts, last, count);
    EXPECT_EQ(count, 2u - video_frames_done);
    if (count > 0) {
      EXPECT_EQ(ts, video_frames_done == 0 ? 1111u : 2222u);
      EXPECT_EQ(last, static_cast<uint64_t>(last_video));
    }
  }
  queue.GetQueueStatistics(2, s);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_EQ(s.frames, 0u);
  // Every part sent reached the bandwidth control.
  EXPECT_EQ(queue.Control().Records().size(), 5u);
}

// Feeds `stream` into the receive buffer in pieces of the given sizes (cycled), cutting frames
// out as the TCP receive handler does, and returns them.
std::vector<Bytes> Receive(const Bytes& stream, const std::vector<size_t>& pieces) {
  HX_RecvFrameQueueTCPv2 buffer;
  std::vector<Bytes> frames;
  size_t at = 0, k = 0;
  while (at < stream.size()) {
    if (buffer.IsOutpass()) buffer.cutHeadGap();
    const size_t n = std::min({pieces[k++ % pieces.size()], stream.size() - at,
                               static_cast<size_t>(buffer.GetPacketBufferSize())});
    std::copy_n(stream.begin() + at, n, buffer.GetPacketBufferWrite());
    EXPECT_TRUE(buffer.IncPacketBufferWrite(n));
    at += n;
    while (const HX_StreamFrameHead* head = buffer.AssemblePacket()) {
      const uint8_t* p = reinterpret_cast<const uint8_t*>(head);
      frames.emplace_back(p, p + 8 + head->Length());
      buffer.IncPacketBuffer(8 + head->Length());
    }
  }
  EXPECT_EQ(buffer.GetPacketBufferWriteSize(), 0);
  return frames;
}

TEST_F(TcpSendQueueTest, ReceiveBufferCutsFramesInAnySegmentation) {
  Bytes video = VideoInput(60000, 1, 0);
  Bytes audio(200, 3);
  for (int i = 0; i < 8; ++i) {
    queue.AddFrame(2, video.size() - i * 7000, video.data(), nullptr, 3);
    queue.AddFrame(1, audio.size() - i, audio.data(), nullptr, 2);
  }
  Bytes empty_cmd;
  queue.AddOrdinaryFrame(254, 0, nullptr, 1);
  Bytes stream;
  std::vector<Bytes> sent;
  while (HX_CommitFrameBase* f = queue.GetFrame()) {
    sent.emplace_back(f->Buffer(), f->Buffer() + f->CurrentPartSize());
    stream.insert(stream.end(), sent.back().begin(), sent.back().end());
    queue.NextPart(f->CurrentPartSize());
  }
  ASSERT_GT(stream.size(), 2 * 131072u);  // compaction happens along the way
  const std::vector<std::vector<size_t>> segmentations = {
      {1}, {stream.size()}, {7}, {8000, 3, 1}, {65536}, {131072 + 16384}, {12345, 11}};
  for (const auto& pieces : segmentations) {
    SCOPED_TRACE(pieces[0]);
    EXPECT_EQ(Receive(stream, pieces), sent);
  }
}

TEST(TcpRecvFrameQueue, PartialFrameWaits) {
  Bytes frame(8 + 10, 0);
  reinterpret_cast<HX_StreamFrameHead*>(frame.data())->Set(frame.data() + 8, 10, 0, 1);
  for (size_t n = 0; n < frame.size(); ++n)
    EXPECT_EQ(HX_RecvFrameQueueTCPv2::AssemblePacket(frame.data(), n), nullptr) << n;
  EXPECT_NE(HX_RecvFrameQueueTCPv2::AssemblePacket(frame.data(), frame.size()), nullptr);
  HX_RecvFrameQueueTCPv2 buffer;
  EXPECT_EQ(buffer.capacity(), 131072 + 16384);
  EXPECT_EQ(buffer.AssemblePacket(), nullptr);
}

}  // namespace
