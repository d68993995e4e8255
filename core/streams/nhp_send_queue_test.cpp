// The UDP send queue on a simulated clock: packets cut from frames checked byte for byte, the
// sequence counters per type, the priority order, redundancy clamps, the resend scan and the
// resend requests, and the wrap of the 32-bit timestamps.

#include "core/streams/nhp_send_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Kicks : HX_SendKick {
  void kickSend() override { ++count; }
  int count = 0;
};

struct Clock {
  int64_t now = 0;
  HX_TickSource Source() {
    return [this] { return now; };
  }
};

Bytes VideoFrame(uint8_t counter, uint8_t type, uint32_t ts, size_t payload) {
  Bytes f = {counter,
             type,
             static_cast<uint8_t>(ts),
             static_cast<uint8_t>(ts >> 8),
             static_cast<uint8_t>(ts >> 16),
             static_cast<uint8_t>(ts >> 24)};
  for (size_t i = 0; i < payload; ++i) f.push_back(static_cast<uint8_t>(i * 7));
  return f;
}

Bytes AudioFrame(uint32_t ts, size_t codec) {
  Bytes f = {static_cast<uint8_t>(ts), static_cast<uint8_t>(ts >> 8),
             static_cast<uint8_t>(ts >> 16), static_cast<uint8_t>(ts >> 24)};
  f.resize(4 + codec, 0x55);
  return f;
}

struct Sent {
  Bytes bytes;
  int type;
};

// Takes every queued packet, marking each sent.
std::vector<Sent> Drain(HX_SendFrameQueueNhp& queue) {
  std::vector<Sent> out;
  const uint8_t* data;
  size_t size;
  int type, flag = 7;
  while (queue.GetFrame(data, size, type, flag)) {
    EXPECT_EQ(flag, 0);
    out.push_back({Bytes(data, data + size), type});
    queue.MarkFirstAsSend();
  }
  return out;
}

TEST(NhpSendQueue, CuttingVideo) {
  struct Case {
    size_t payload;
    std::vector<size_t> sizes;       // payload bytes per packet
    std::vector<uint8_t> fragments;  // fragment positions
  };
  const Case cases[] = {
      {0, {0}, {3}},
      {1, {1}, {3}},
      {1399, {1399}, {3}},
      {1400, {1400}, {3}},
      {1401, {1400, 1}, {2, 1}},
      {2800, {1400, 1400}, {2, 1}},
      {2801, {1400, 1400, 1}, {2, 0, 1}},
      {4200, {1400, 1400, 1400}, {2, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    Clock clock;
    HX_SendFrameQueueNhp queue(nullptr, 1400, 0, 0, clock.Source());
    const Bytes frame = VideoFrame(9, 0, 0x11223344, c.payload);
    ASSERT_TRUE(queue.AddFrame(2, frame.size(), frame.data(), nullptr, 3));
    const auto sent = Drain(queue);
    ASSERT_EQ(sent.size(), c.sizes.size());
    size_t at = 6;
    for (size_t i = 0; i < sent.size(); ++i) {
      const Bytes& p = sent[i].bytes;
      EXPECT_EQ(sent[i].type, 2);
      ASSERT_EQ(p.size(), 10 + c.sizes[i]);
      EXPECT_EQ(p[0], 0x20 | c.fragments[i]);
      EXPECT_EQ(p[1], 0);
      EXPECT_EQ(p[2] | (p[3] << 8), static_cast<int>(i));
      EXPECT_EQ(p[4], 9);
      EXPECT_EQ(p[5], 0);
      EXPECT_EQ(Bytes(p.begin() + 6, p.begin() + 10), (Bytes{0x44, 0x33, 0x22, 0x11}));
      EXPECT_EQ(Bytes(p.begin() + 10, p.end()),
                Bytes(frame.begin() + at, frame.begin() + at + c.sizes[i]));
      at += c.sizes[i];
    }
  }
}

TEST(NhpSendQueue, OtherTracks) {
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 0, 0, clock.Source());
  const Bytes data(3000, 0xAB);
  ASSERT_TRUE(queue.AddFrame(5, data.size(), data.data(), nullptr, 3));
  const Bytes audio = AudioFrame(0xA0B0C0D0, 3);
  ASSERT_TRUE(queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2));
  const uint8_t one = 0;
  ASSERT_TRUE(queue.AddFrame(255, 1, &one, nullptr, 1));
  const Bytes command = {8, 1, 0, 4, 1, 0, 0, 0};
  ASSERT_TRUE(queue.AddFrame(254, command.size(), command.data(), nullptr, 1));
  const Bytes control = {7, 7};
  ASSERT_TRUE(queue.AddFrame(255, control.size(), control.data(), nullptr, 4));
  // Refused: no packet and no sequence number used.
  EXPECT_FALSE(queue.AddFrame(1, 3, audio.data(), nullptr, 2));
  EXPECT_FALSE(queue.AddFrame(2, 5, audio.data(), nullptr, 3));
  EXPECT_FALSE(queue.AddFrame(3, 5, audio.data(), nullptr, 3));
  EXPECT_FALSE(queue.AddFrame(0, 5, audio.data(), nullptr, 3));

  const auto sent = Drain(queue);
  ASSERT_EQ(sent.size(), 5u);
  // Priority 1 first (key-frame request, then the command), audio, data, then the control bytes.
  EXPECT_EQ(sent[0].bytes, (Bytes{0x01, 0, 0, 0, 1, 1, 0, 0}));
  EXPECT_EQ(sent[1].bytes, (Bytes{0x01, 0, 1, 0, 8, 1, 0, 4, 1, 0, 0, 0}));
  EXPECT_EQ(sent[2].bytes, (Bytes{0x11, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0, 0x55, 0x55, 0x55}));
  EXPECT_EQ(sent[3].bytes.size(), 3004u);
  EXPECT_EQ(sent[3].bytes[0], 0x31);
  EXPECT_EQ(sent[3].type, 3);
  EXPECT_EQ(sent[4].bytes, (Bytes{0x01, 0, 2, 0, 7, 7}));
}

TEST(NhpSendQueue, CountersPerTypeWrap) {
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 0, 0, clock.Source());
  const Bytes audio = AudioFrame(5, 1);
  const uint8_t byte = 1;
  for (int i = 0; i < 65536; ++i) {
    ASSERT_TRUE(queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2));
    queue.MarkFirstAsSend();
  }
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Audio), 0);
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Video), 0);
  queue.AddFrame(5, 1, &byte, nullptr, 3);
  queue.AddFrame(5, 1, &byte, nullptr, 3);
  const Bytes video = VideoFrame(1, 1, 1, 1500);
  queue.AddFrame(2, video.size(), video.data(), nullptr, 3);
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Data), 2);
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Video), 2);
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Audio), 0);
  EXPECT_EQ(queue.SequenceCounter(HX_Nhp_Command), 0);
}

TEST(NhpSendQueue, RedundancyClamps) {
  struct Case {
    uint64_t payload;
    uint32_t count, spacing;
    uint64_t want_payload;
    uint32_t want_count, want_spacing;
  };
  const Case cases[] = {
      {1400, 0, 0, 1400, 0, 7500},   {1400, 1, 100, 1400, 0, 7500},  {100, 2, 0, 500, 2, 40},
      {9000, 3, 40, 8000, 3, 40},    {1400, 12, 1000, 1400, 10, 40}, {1400, 10, 750, 1400, 10, 750},
      {1400, 10, 751, 1400, 10, 40}, {1400, 3, 2500, 1400, 3, 2500},
  };
  for (const Case& c : cases) {
    HX_SendFrameQueueNhp queue(nullptr, c.payload, c.count, c.spacing);
    EXPECT_EQ(queue.PayloadSize(), c.want_payload);
    EXPECT_EQ(queue.RedundancyCount(), c.want_count);
    EXPECT_EQ(queue.Spacing(), c.want_spacing);
  }
}

TEST(NhpSendQueue, PriorityOrder) {
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 0, 0, clock.Source());
  auto add = [&](int priority, uint8_t tag) {
    const Bytes d = {tag};
    ASSERT_TRUE(queue.AddFrame(5, d.size(), d.data(), nullptr, priority));
  };
  add(2, 'a');
  add(3, 'b');
  add(4, 'c');
  add(2, 'd');
  add(3, 'e');  // after every 2 and 3, before the 4
  add(1, 'f');
  std::string order;
  for (const auto& p : queue.Queue()) order += static_cast<char>(p.packet.Data()[4]);
  EXPECT_EQ(order, "fadbec");
  QueueStatistics stats;
  queue.GetQueueStatistics(2, stats);
  EXPECT_EQ(stats.frames, 6u);
  EXPECT_EQ(stats.bytes, 0u);
}

TEST(NhpSendQueue, ResendOnRequest) {
  Clock clock;
  Kicks kicks;
  HX_SendFrameQueueNhp queue(&kicks, 1400, 0, 0, clock.Source());
  const Bytes d = {1, 2, 3};
  queue.AddFrame(5, d.size(), d.data(), nullptr, 3);  // data seq 0
  Drain(queue);
  EXPECT_FALSE(queue.ResendPackect(0, HX_Nhp_Video));  // wrong type
  EXPECT_FALSE(queue.ResendPackect(1, HX_Nhp_Data));   // never sent
  EXPECT_EQ(kicks.count, 0);

  // Waiting: priorities 2 and 4. The resend (3 lowered to 2) goes after the 2, before the 4.
  const Bytes a = AudioFrame(9, 1);
  queue.AddFrame(1, a.size(), a.data(), nullptr, 2);
  queue.AddFrame(5, d.size(), d.data(), nullptr, 4);
  clock.now = 7500;
  ASSERT_TRUE(queue.ResendPackect(0, HX_Nhp_Data));
  EXPECT_EQ(kicks.count, 1);
  const auto sent = Drain(queue);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].type, 1);
  EXPECT_EQ(sent[1].bytes, (Bytes{0x35, 0, 0, 0, 1, 2, 3}));  // resend count 1 in bits 2-3
  EXPECT_EQ(sent[2].bytes[2], 1);

  // Still requestable: nothing has been sent more than 7500 ms after it.
  EXPECT_TRUE(queue.ResendPackect(0, HX_Nhp_Data));
  Drain(queue);
  // A later send at 7501 ms drops it from the sent list.
  clock.now = 7501;
  queue.AddFrame(5, d.size(), d.data(), nullptr, 3);
  Drain(queue);
  EXPECT_FALSE(queue.ResendPackect(0, HX_Nhp_Data));
  EXPECT_TRUE(queue.ResendPackect(2, HX_Nhp_Data));
}

TEST(NhpSendQueue, RedundantSendsAtTickZero) {
  // The clock starts at 0 as in a fresh process: oldest = -k·s must not underflow.
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 3, 40, clock.Source());
  const Bytes a = AudioFrame(0, 2);
  queue.AddFrame(1, a.size(), a.data(), nullptr, 2);
  std::vector<int64_t> times;
  const uint8_t* data;
  size_t size;
  int type, flag;
  for (clock.now = 0; clock.now < 400; ++clock.now) {
    while (queue.GetFrame(data, size, type, flag)) {
      times.push_back(clock.now);
      EXPECT_EQ((data[0] >> 2) & 3, static_cast<int>(times.size() - 1));
      queue.MarkFirstAsSend();
    }
  }
  EXPECT_EQ(times, (std::vector<int64_t>{0, 40, 80}));
  EXPECT_EQ(queue.SentPackets(), 0u);
}

TEST(NhpSendQueue, RedundantSendsAcrossTheTimestampWrap) {
  // Audio timestamps are the tick's low 32 bits: past 2^32 ms they restart at 0 while the tick
  // goes on. Queued packets must not look stale then.
  Clock clock;
  clock.now = (int64_t{1} << 32) - 100;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 3, 40, clock.Source());
  int sent = 0;
  const uint8_t* data;
  size_t size;
  int type, flag;
  for (int i = 0; i < 20; ++i, clock.now += 20) {
    const Bytes a = AudioFrame(static_cast<uint32_t>(clock.now), 2);
    ASSERT_TRUE(queue.AddFrame(1, a.size(), a.data(), nullptr, 2));
    const Bytes v = VideoFrame(static_cast<uint8_t>(i), i == 0 ? 0 : 1,
                               static_cast<uint32_t>(clock.now * 90), 100);
    ASSERT_TRUE(queue.AddFrame(2, v.size(), v.data(), nullptr, 3));
    while (queue.GetFrame(data, size, type, flag)) {
      ++sent;
      queue.MarkFirstAsSend();
    }
  }
  for (int i = 0; i < 10; ++i, clock.now += 20) {
    while (queue.GetFrame(data, size, type, flag)) {
      ++sent;
      queue.MarkFirstAsSend();
    }
  }
  EXPECT_EQ(sent, 20 * 2 * 3);
}

TEST(PartitionData, Operations) {
  HX_PartitionData p;
  const uint8_t bytes[] = {0x23, 0, 1, 0};
  p.SetData(bytes, 4);
  p.SetAttributes(3, 1, 0, 3, 2, 0, 0, 1);
  p.IncResendCount();
  EXPECT_EQ(p.resendCount, 4);
  EXPECT_EQ(p.packet.Data()[0], 0x23);
  p.IncResendCount();
  EXPECT_EQ(p.packet.Data()[0], 0x27);
  p.DecPriority();
  EXPECT_EQ(p.priority, 1);
  p.priority = INT32_MAX;
  p.IncPriority();
  EXPECT_EQ(p.priority, INT32_MAX);
  p.Clear();
  EXPECT_EQ(p.size, 0u);
  EXPECT_EQ(p.packet.Size(), 0u);
}

}  // namespace
