// Hostile feedback for the UDP send side: resend requests naming packets that were never sent,
// far away or of unknown types, statistics records with absurd or missing fields, extreme
// requested bandwidths and ticks across the 32-bit wrap, plus the send queue's own arithmetic
// edges (construction limits, priorities at their ends, resend floods).

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "core/streams/nhp_control_queue.h"
#include "core/streams/nhp_send_queue.h"
#include "core/streams/stream_command.h"

namespace {

struct Kick : HX_SendKick {
  void kickSend() override { ++kicks; }
  int kicks = 0;
};

// Sends every queued packet (head first) and returns how many left.
size_t SendAll(HX_SendFrameQueueNhp& q) {
  size_t n = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
  int type = 0, flag = 0;
  while (q.GetFrame(data, size, type, flag)) {
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(flag, 0);
    q.MarkFirstAsSend();
    ++n;
  }
  return n;
}

HX_MiscCommand RequestPacket(const std::vector<uint8_t>& data) {
  HX_MiscCommand c;
  c.RequestPacket(data.data(), data.size());
  return c;
}

HX_MiscCommand Stat(const std::vector<uint8_t>& record) {
  HX_MiscCommand c;
  c.Stat(record.data(), record.size());
  return c;
}

struct Side {
  explicit Side(bool direct = true, uint32_t redundancy = 0, int64_t start = 1'000'000)
      : now(start),
        send(&kick, 1400, redundancy, 0, [this] { return now; }),
        control(direct, 1400, [this] { return now; }) {
    control.SetSendQueue(&send);
  }
  int64_t now;
  Kick kick;
  HX_SendFrameQueueNhp send;
  HX_ControlQueueNhp control;
};

TEST(HostileNhpControl, ResendRequestsForPacketsNeverSentChangeNothing) {
  Side s;
  std::vector<uint8_t> cmd = {0x01, 0x04, 0, 0};  // key-frame request as a command payload
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(s.send.AddFrame(254, cmd.size(), cmd.data(), nullptr, 1));  // command 0..4
    std::vector<uint8_t> d(30, static_cast<uint8_t>(i));
    ASSERT_TRUE(s.send.AddFrame(5, d.size(), d.data(), nullptr, 3));  // data 0..4
  }
  ASSERT_EQ(SendAll(s.send), 10u);

  struct Case {
    std::vector<uint8_t> data;
    const char* what;
  };
  const Case cases[] = {
      {{5, 0, 3}, "a future data packet"},
      {{0x40, 0x9C, 3}, "a data packet 40000 away"},
      {{0xFF, 0xFF, 3}, "data packet 65535"},
      {{1, 0, 7}, "packet type 7 (its low bits read as data)"},
      {{1, 0, 0xF3}, "packet type 0xF3"},
      {{1, 0, 2}, "a video packet never sent"},
      {{}, "no data at all (sequence 0, type 0 would name command packet 0)"},
      {{0}, "one data byte"},
      {{0, 0}, "two data bytes, no type"},
  };
  for (const auto& c : cases) {
    size_t queued = s.send.QueuedPackets();
    int kicks = s.kick.kicks;
    s.control.SetReceivedCommand(RequestPacket(c.data));
    EXPECT_EQ(s.send.QueuedPackets(), queued) << c.what;
    EXPECT_EQ(s.kick.kicks, kicks) << c.what;
  }
  // A genuine request still works.
  EXPECT_EQ(s.control.SetReceivedCommand(RequestPacket({2, 0, 3})), HX_Cmd_RequestPacket);
  ASSERT_EQ(s.send.QueuedPackets(), 1u);
  EXPECT_EQ(s.kick.kicks, 1);
}

TEST(HostileNhpControl, ResendFloodKeepsHeaderBitsAndPriorityInRange) {
  Side s;
  std::vector<uint8_t> v(6 + 100, 7);  // counter, frame type, timestamp, payload
  ASSERT_TRUE(s.send.AddFrame(2, v.size(), v.data(), nullptr, 3));
  ASSERT_EQ(SendAll(s.send), 1u);
  for (int i = 1; i <= 600; ++i) {
    ASSERT_TRUE(s.send.ResendPackect(0, HX_Nhp_Video)) << i;
  }
  EXPECT_EQ(s.send.QueuedPackets(), 600u);
  int i = 0;
  for (const auto& p : s.send.Queue()) {
    ++i;
    EXPECT_GE(p.priority, 1);
    EXPECT_EQ(p.size, 10u + 100u);
    uint8_t flags = p.packet.Data()[0];
    EXPECT_EQ(flags & 3, 3) << "fragment bits changed";
    EXPECT_EQ((flags >> 4) & 3, HX_Nhp_Video) << "type bits changed";
    EXPECT_EQ(flags >> 6, 0);
    EXPECT_EQ((flags >> 2) & 3, p.resendCount % 4);
  }
}

TEST(HostileNhpControl, PriorityAtTheEndsOfTheRange) {
  HX_PartitionData p;
  p.priority = INT32_MAX;
  p.IncPriority();
  EXPECT_EQ(p.priority, INT32_MAX);
  p.priority = INT32_MIN;
  p.DecPriority();
  EXPECT_LE(p.priority, 1) << "lowering the smallest value wrapped around";
  p.priority = 1;
  p.DecPriority();
  EXPECT_EQ(p.priority, 1);
  p.resendCount = 255;
  p.IncResendCount();  // no buffer: only the count moves, wrapping in 8 bits
  EXPECT_EQ(p.resendCount, 0);

  int64_t now = 1'000'000;
  HX_SendFrameQueueNhp q(nullptr, 1400, 0, 0, [&] { return now; });
  uint8_t b[8] = {};
  ASSERT_TRUE(q.AddFrame(5, 8, b, nullptr, INT_MAX));
  ASSERT_TRUE(q.AddFrame(5, 8, b, nullptr, INT_MIN));
  ASSERT_TRUE(q.AddFrame(5, 8, b, nullptr, 0));
  std::vector<int32_t> order;
  for (const auto& p2 : q.Queue()) order.push_back(p2.priority);
  EXPECT_EQ(order, (std::vector<int32_t>{INT_MIN, 0, INT_MAX}));
}

TEST(HostileNhpControl, ConstructionLimitsWithoutOverflow) {
  int64_t now = 1'000'000;
  auto clock = [&] { return now; };
  struct Case {
    uint64_t payload;
    uint32_t count, spacing;
    uint64_t wantPayload;
    uint32_t wantCount, wantSpacing;
  };
  const Case cases[] = {
      {0, 0, 0, 500, 0, 7500},
      {UINT64_MAX, 1, 99, 8000, 0, 7500},
      {1400, 12, 1000, 1400, 10, 40},
      {1400, 5, 1500, 1400, 5, 1500},
      {1400, 3, 0, 1400, 3, 40},
      {1400, UINT32_MAX, UINT32_MAX, 1400, 10, 40},
      // 10 × 429496730 wraps a 32-bit product to 4, which is not "at most 7500".
      {1400, 10, 429496730u, 1400, 10, 40},
      {1400, 2, 2147483652u, 1400, 2, 40},
  };
  for (const auto& c : cases) {
    HX_SendFrameQueueNhp q(nullptr, c.payload, c.count, c.spacing, clock);
    EXPECT_EQ(q.PayloadSize(), c.wantPayload) << c.payload;
    EXPECT_EQ(q.RedundancyCount(), c.wantCount) << c.count << " " << c.spacing;
    EXPECT_EQ(q.Spacing(), c.wantSpacing) << c.count << " " << c.spacing;
  }
}

TEST(HostileNhpControl, NullAndShortFramesAndUnknownTracks) {
  int64_t now = 1'000'000;
  HX_SendFrameQueueNhp q(nullptr, 1400, 0, 0, [&] { return now; });
  uint8_t b[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(q.AddFrame(5, 0, nullptr, nullptr, 3));
  EXPECT_TRUE(q.AddFrame(254, 0, nullptr, nullptr, 1));
  EXPECT_FALSE(q.AddFrame(2, 0, nullptr, nullptr, 3));
  EXPECT_FALSE(q.AddFrame(2, 5, b, nullptr, 3));
  EXPECT_FALSE(q.AddFrame(1, 3, b, nullptr, 2));
  EXPECT_EQ(q.QueuedPackets(), 2u);
  for (int track : {-1, 0, 3, 4, 6, 253, 256, 257, INT_MAX, INT_MIN}) {
    EXPECT_FALSE(q.AddFrame(track, sizeof b, b, nullptr, 3)) << track;
  }
  EXPECT_EQ(q.QueuedPackets(), 2u);
  for (const auto& p : q.Queue()) EXPECT_EQ(p.size, 4u);
  uint8_t one = 0x55;
  ASSERT_TRUE(q.AddFrame(255, 1, &one, nullptr, 1));
  // Behind the earlier priority-1 command, ahead of the data packet.
  ASSERT_EQ(q.QueuedPackets(), 3u);
  const auto& key = *std::next(q.Queue().begin());
  ASSERT_EQ(key.size, 8u);
  const uint8_t want[4] = {1, 1, 0, 0};
  EXPECT_EQ(std::memcmp(key.packet.Data() + 4, want, 4), 0);
}

TEST(HostileNhpControl, SequenceCountersWrapIndependently) {
  int64_t now = 1'000'000;
  HX_SendFrameQueueNhp q(nullptr, 1400, 0, 0, [&] { return now; });
  uint8_t b[6] = {};
  for (int i = 0; i < 65537; ++i) {
    ASSERT_TRUE(q.AddFrame(5, 1, b, nullptr, 3));
    const uint8_t* d;
    size_t size;
    int type, flag;
    ASSERT_TRUE(q.GetFrame(d, size, type, flag));
    EXPECT_EQ(d[2] | d[3] << 8, i & 0xFFFF);
    q.MarkFirstAsSend();
    now += (i % 1000 == 0) ? 8000 : 0;  // keep the sent list short
  }
  EXPECT_EQ(q.SequenceCounter(HX_Nhp_Data), 1);
  EXPECT_EQ(q.SequenceCounter(HX_Nhp_Video), 0);
  EXPECT_EQ(q.SequenceCounter(HX_Nhp_Audio), 0);
  EXPECT_EQ(q.SequenceCounter(HX_Nhp_Command), 0);
}

TEST(HostileNhpControl, RedundantResendOnAClockThatStartsAtZero) {
  // oldest = now - k·s is negative here: it must not wrap and throw every packet away.
  int64_t now = 0;
  HX_SendFrameQueueNhp q(nullptr, 1400, 2, 100, [&] { return now; });
  uint8_t b[10] = {};
  ASSERT_TRUE(q.AddFrame(5, sizeof b, b, nullptr, 3));
  ASSERT_EQ(SendAll(q), 1u);
  now = 100;
  EXPECT_EQ(SendAll(q), 1u) << "the second of two transmissions never left";
}

void FeedStats(Side& s, int requested, const std::function<std::vector<uint8_t>(int)>& record,
               int seconds, int& band_min, int& band_max) {
  band_min = INT_MAX;
  band_max = INT_MIN;
  for (int ms = 0; ms < seconds * 1000; ms += 10) {
    s.control.Add(static_cast<uint64_t>(s.now), 1200, 2, 0, 0);
    if (ms % 1000 == 500) s.control.SetReceivedCommand(Stat(record(ms / 1000)));
    if (ms % 300 == 0) {
      int band = s.control.GetVideoBandwidth(requested);
      band_min = std::min(band_min, band);
      band_max = std::max(band_max, band);
      EXPECT_LE(s.control.Top(), requested) << "at " << ms << " ms";
    }
    s.now += 10;
  }
}

TEST(HostileNhpControl, AbsurdStatisticsKeepTheBandBetween20AndTheRequest) {
  std::mt19937 rng(7);
  struct Case {
    const char* what;
    std::function<std::vector<uint8_t>(int)> record;
    bool whole = true;  // records of at least 34 bytes: each one counts as a report
  };
  const Case cases[] = {
      {"all 0xFF", [](int) { return std::vector<uint8_t>(34, 0xFF); }},
      {"all zero", [](int) { return std::vector<uint8_t>(34, 0); }},
      {"loss flag, huge video bytes, no packets",
       [](int) {
         std::vector<uint8_t> r(34, 0);
         r[0] = 1;
         r[1] = 1;
         r[2 + 16 + 2] = 0xFF;  // video lost 65535
         r[2 + 16 + 3] = 0xFF;
         for (int i = 0; i < 4; ++i) r[2 + 16 + 4 + i] = 0xFF;
         return r;
       }},
      {"loss flag, one video packet of 4 GB, 65535 lost",
       [](int) {
         std::vector<uint8_t> r(34, 0);
         r[0] = 1;
         r[18] = 1;
         r[20] = r[21] = 0xFF;
         for (int i = 0; i < 4; ++i) r[22 + i] = 0xFF;
         return r;
       }},
      {"random bytes, random lengths",
       [&rng](int) {
         std::vector<uint8_t> r(34 + rng() % 217);
         for (auto& b : r) b = static_cast<uint8_t>(rng());
         return r;
       }},
      {"short records", [](int i) { return std::vector<uint8_t>(static_cast<size_t>(i % 5), 0xFF); },
       false},
  };
  for (const auto& c : cases) {
    Side s;
    int lo = 0, hi = 0;
    FeedStats(s, 2000, c.record, 40, lo, hi);
    EXPECT_GE(lo, 20) << c.what;
    EXPECT_LE(hi, 2000) << c.what;
    if (c.whole) EXPECT_GE(s.control.Reports(), 30u) << c.what;
    EXPECT_TRUE(std::isfinite(s.control.VideoSendRate())) << c.what;
    EXPECT_GE(s.control.VideoSendRate(), 0.0) << c.what;
  }
}

TEST(HostileNhpControl, HugeRequestedBandwidthDoesNotOverflow) {
  Side s;
  int lo = 0, hi = 0;
  // The first computation halves the request; a receiver that sees nothing forces cuts from there.
  EXPECT_GE(s.control.GetVideoBandwidth(INT_MAX), INT_MAX / 2);
  s.now += 3001;
  FeedStats(s, INT_MAX, [](int) { return std::vector<uint8_t>(34, 0); }, 30, lo, hi);
  EXPECT_GE(lo, 20);
  EXPECT_GT(hi, 0);
  EXPECT_LT(s.control.Band(), INT_MAX / 2) << "an overloaded path never cut the band";
  EXPECT_GE(s.control.Band(), 20);
}

TEST(HostileNhpControl, MulticastIgnoresFeedback) {
  Side s(false, 3);
  std::vector<uint8_t> d(10, 1);
  ASSERT_TRUE(s.send.AddFrame(5, d.size(), d.data(), nullptr, 3));
  SendAll(s.send);
  EXPECT_EQ(s.control.SetReceivedCommand(RequestPacket({0, 0, 3})), 0);
  EXPECT_EQ(s.control.SetReceivedCommand(Stat(std::vector<uint8_t>(34, 0xFF))), 0);
  EXPECT_EQ(s.control.Reports(), 0u);
  EXPECT_EQ(s.control.GetVideoBandwidth(900), 300);
}

// Send rates measured around a base tick: 1000-byte video packets every 10 ms for 3.1 s.
double MeasuredRate(int64_t base) {
  int64_t now = base;
  HX_ControlQueueNhp c(true, 1400, [&] { return now; });
  for (int i = 0; i < 310; ++i) {
    c.Add(static_cast<uint64_t>(now), 1000, 2, 0, 0);
    c.IsDataAllowed(4000);
    now += 10;
  }
  return c.VideoSendRate();
}

TEST(HostileNhpControl, SendRatesAcrossThe32BitTickWrap) {
  double plain = MeasuredRate(1'000'000);
  ASSERT_GT(plain, 500.0);
  ASSERT_LT(plain, 1100.0);
  for (int64_t base : {int64_t{0xFFFFFFFF} - 1500, int64_t{0xFFFFFFFF} - 10,
                       (int64_t{1} << 33) - 2000}) {
    EXPECT_NEAR(MeasuredRate(base), plain, 1.0) << "base tick " << base;
  }
}

TEST(HostileNhpControl, DataAdmissionAcrossTheWrapAndWithOddLimits) {
  for (int64_t base : {int64_t{1'000'000}, int64_t{0xFFFFFFFF} - 300}) {
    int64_t now = base;
    HX_ControlQueueNhp c(true, 1400, [&] { return now; });
    EXPECT_TRUE(c.IsDataAllowed(4000)) << "no records";
    for (int i = 0; i < 100; ++i) {
      c.Add(static_cast<uint64_t>(now), 1400, 5, 0, 0);
      c.Add(static_cast<uint64_t>(now), 1400, 5, 0, 1);  // incomplete: not recorded
      now += 7;
      for (int limit : {INT_MIN, -1, 0, 1, 4000, INT_MAX}) c.IsDataAllowed(limit);
    }
    // 1400 bytes every 7 ms is about 1560 kbit/s of data: a limit of 1 cannot admit it.
    EXPECT_FALSE(c.IsDataAllowed(1)) << base;
    EXPECT_FALSE(c.IsDataAllowed(0)) << base;
  }
}

}  // namespace
