// The TCP bandwidth control's known answers on a simulated clock, driven directly and through its
// send queue.
#include "core/streams/tcp_control_band.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/streams/stream_command.h"
#include "core/streams/tcp_send_queue.h"

namespace {

struct Fixture {
  int64_t now = 0;
  HX_SendFrameQueueTCPv2 queue{[this] { return now; }};
  HX_ControlBandTCP& band() { return queue.Control(); }
};

HX_MiscCommand RelayStat(uint16_t total, const std::vector<std::pair<uint8_t, uint16_t>>& entries,
                         int announced = -1, size_t cut = 250) {
  std::vector<uint8_t> d(11 + 11 * entries.size(), 0);
  d[0] = static_cast<uint8_t>(total);
  d[1] = static_cast<uint8_t>(total >> 8);
  d[10] = static_cast<uint8_t>(announced < 0 ? entries.size() : announced);
  for (size_t i = 0; i < entries.size(); ++i) {
    d[11 + 11 * i] = entries[i].first;
    d[12 + 11 * i] = static_cast<uint8_t>(entries[i].second);
    d[13 + 11 * i] = static_cast<uint8_t>(entries[i].second >> 8);
  }
  HX_MiscCommand c;
  c.BrokerStat(d.data(), std::min(cut, d.size()));
  return c;
}

TEST(TcpControlBand, AnswerIsRequestUntilRelayStatistics) {
  Fixture f;
  f.now = 100;
  f.queue.Reset(1000);
  EXPECT_EQ(f.queue.CalcVideoBandwidth(1000), 1000);
  f.now = 2000;
  EXPECT_EQ(f.queue.CalcVideoBandwidth(1000), 1000);
  EXPECT_TRUE(f.band().ResetFlag());
  HX_MiscCommand other;
  other.Ping();
  EXPECT_EQ(f.queue.ProcessBrokerStatistics(other), 0);
  EXPECT_EQ(f.queue.ProcessBrokerStatistics(RelayStat(0, {})), 10);
  EXPECT_FALSE(f.band().ResetFlag());
}

TEST(TcpControlBand, UnmeasuredGrowsByTwelvePercentUpToLimit) {
  Fixture f;
  f.band().SetFigures(65535, 500, 65535, 65535, 0, 0);
  uint32_t expected = 500;
  for (int i = 0; i < 12; ++i) {
    f.band().CalculateSendBitrate(1000 * i, 900, 0);
    expected = std::min<uint32_t>(static_cast<uint32_t>(expected * 1.12 + 1), 900);
    EXPECT_EQ(f.band().SendBitrate(), expected);
    EXPECT_EQ(f.band().State(), 0u);
  }
  EXPECT_EQ(f.band().SendBitrate(), 900);
}

TEST(TcpControlBand, CutOnRatioTwentyHeldForHoldTime) {
  for (bool hw : {false, true}) {
    Fixture f;
    f.band().SetHardwareEncoder(hw);
    f.band().SetFigures(400, 700, 65535, 300, 1, 0);
    f.band().CalculateSendBitrate(10000, 1000, 20);
    EXPECT_EQ(f.band().SendBitrate(), 400);
    EXPECT_EQ(f.band().Upper(), hw ? 412 : 420);  // U <= S: S * k / 100
    EXPECT_EQ(f.band().State(), 2u);
    EXPECT_EQ(f.band().HoldUntil(), hw ? 22000u : 16000u);
    // Within the hold nothing changes; just after, the recovering phase starts.
    f.band().CalculateSendBitrate(hw ? 22000 : 16000, 1000, 0);
    EXPECT_EQ(f.band().State(), 2u);
    EXPECT_EQ(f.band().SendBitrate(), 400);
    f.band().CalculateSendBitrate(hw ? 22001 : 16001, 1000, 0);
    EXPECT_EQ(f.band().State(), 4u);
    EXPECT_NE(f.band().Multiplier(), 0u);
    EXPECT_EQ(f.band().SendBitrate(), 400);
  }
}

// Walks 0 -> 2 -> 4 -> 32 -> 1 with each encoder's constants.
TEST(TcpControlBand, SendBitrateStateWalk) {
  struct Case {
    bool hw;
    uint64_t hold;
    uint32_t steps4, steps1, pass4, pass1;
  } cases[] = {{false, 6000, 12, 36, 10900, 10250}, {true, 12000, 36, 72, 10700, 10200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hw);
    Fixture f;
    f.band().SetHardwareEncoder(c.hw);
    f.band().SetFigures(65535, 1000, 65535, 65535, 0, 0);
    uint32_t t = 10000;
    f.band().CalculateSendBitrate(t, 2000, 0);
    EXPECT_EQ(f.band().State(), 0u);
    EXPECT_EQ(f.band().SendBitrate(), 1121);
    // Congestion once P is measured (600): S = min(max(10, 1121*100/(40+50)), 600) = 600.
    f.band().SetFigures(600, 1121, 65535, 65535, 0, 0);
    f.band().CalculateSendBitrate(t, 2000, 40);
    EXPECT_EQ(f.band().State(), 2u);
    EXPECT_EQ(f.band().SendBitrate(), 600);
    EXPECT_EQ(f.band().Base(), 600);
    EXPECT_EQ(f.band().Upper(), 2000);  // unset U is brought down to the limit
    t += c.hold + 1;
    f.band().CalculateSendBitrate(t, 2000, 0);
    ASSERT_EQ(f.band().State(), 4u);
    const double m = std::pow(double(f.band().Upper()) / 600, 1.0 / c.steps4) * 10000;
    uint32_t expected_m = static_cast<uint32_t>(m);
    if (expected_m >= 10001 && expected_m <= 10099) expected_m = 10100;
    EXPECT_EQ(f.band().Multiplier(), expected_m);
    int steps = 0;
    while (f.band().State() == 4 && steps < 100) {
      const uint32_t before = f.band().SendBitrate();
      t += 2001;
      f.band().CalculateSendBitrate(t, 2000, 0);
      if (f.band().State() == 4) {
        EXPECT_GE(f.band().SendBitrate(), before);
        ++steps;
      }
      if (f.band().SendBitrate() >= f.band().Upper() && f.band().State() == 4)
        EXPECT_EQ(f.band().Multiplier(), c.pass4);
    }
    EXPECT_EQ(f.band().State(), 32u);
    EXPECT_EQ(f.band().PhaseTime(), t + 30000u);
    // Waiting: no growth until the phase time.
    const uint16_t held = f.band().SendBitrate();
    f.band().CalculateSendBitrate(t + 29999, 2000, 0);
    EXPECT_EQ(f.band().SendBitrate(), held);
    EXPECT_EQ(f.band().State(), 32u);
    f.band().CalculateSendBitrate(t + 30000, 2000, 0);
    EXPECT_EQ(f.band().State(), 1u);
    EXPECT_EQ(f.band().Base(), held);
  }
}

TEST(TcpControlBand, SmallRatesStepAtLeastEightPercent) {
  Fixture f;
  f.band().SetFigures(500, 50, 50, 400, 1, 10001);
  f.band().CalculateSendBitrate(1000, 1000, 0);
  EXPECT_EQ(f.band().SendBitrate(), (10800 * 50 + 5000) / 10000);
  // The growth never passes the limit.
  f.band().SetFigures(500, 990, 900, 2000, 1, 12000);
  f.band().CalculateSendBitrate(2000, 1000, 0);
  EXPECT_EQ(f.band().SendBitrate(), 1000);
}

TEST(TcpControlBand, RelayQueueSkipsNewestRecords) {
  Fixture f;
  // Records: newest at 1000 going back 10 ms each, 10 of them, 100 bytes.
  for (int i = 9; i >= 0; --i) f.band().Add(1000 - 10 * i, 100, 2, 0, 0);
  f.now = 5000;
  f.band().SetLastAnalysis(4000);
  f.band().ReadRelayStatistics(RelayStat(450, {}));
  f.band().AnaliseBrokerStat(5000);
  // skip 8: records at 920 and 910 are left; the window runs from 920 back 1000 ms.
  EXPECT_FLOAT_EQ(f.band().Track(256).partRate, 2 * 1000.0f / 10);
}

TEST(TcpControlBand, HeavyLoadCutsToSeventyPercent) {
  Fixture f;
  HX_TrackInfo& v = f.band().Track(2);
  v.load = 60;
  v.estimate = 800;
  v.current = 1000;
  v.maximum = 2000;
  v.partRate = 10;
  f.band().Calculate(1000);
  EXPECT_EQ(f.band().Track(2).current, 700u);
}

TEST(TcpControlBand, RelayStatisticsReadOnlyWhatWasSent) {
  Fixture f;
  std::vector<std::pair<uint8_t, uint16_t>> entries;
  for (uint8_t t = 10; t < 22; ++t) entries.push_back({t, static_cast<uint16_t>(t * 3)});
  f.band().ReadRelayStatistics(RelayStat(77, entries));
  for (uint8_t t = 10; t < 22; ++t) {
    const auto& tracks = f.band().Tracks();
    if (t < 20) {
      ASSERT_EQ(tracks.count(t), 1u);
      EXPECT_EQ(tracks.at(t).queue, t * 3u);
    } else {
      EXPECT_EQ(tracks.count(t), 0u) << int(t);
    }
  }
  EXPECT_EQ(f.band().Track(256).queue, 77u);
  // Announces 5 entries but holds 2 and a half: only the 2 whole entries are read.
  Fixture g;
  g.band().ReadRelayStatistics(RelayStat(5, {{30, 1}, {31, 2}, {32, 3}}, 5, 11 + 22 + 5));
  EXPECT_EQ(g.band().Tracks().count(30), 1u);
  EXPECT_EQ(g.band().Tracks().count(31), 1u);
  EXPECT_EQ(g.band().Tracks().count(32), 0u);
  // Shorter than the count byte: only the total is read.
  Fixture h;
  h.band().ReadRelayStatistics(RelayStat(300, {{40, 1}}, 1, 2));
  EXPECT_EQ(h.band().Track(256).queue, 300u);
  EXPECT_EQ(h.band().Tracks().count(40), 0u);
}

TEST(TcpControlBand, FiguresCappedBelowUnset) {
  Fixture f;
  f.queue.Reset(100000);
  EXPECT_EQ(f.queue.CalcVideoBandwidth(100000), 65534);
  EXPECT_EQ(f.band().SendBitrate(), 65534);
  f.band().SetFigures(65535, 65000, 65535, 65535, 0, 0);
  f.band().CalculateSendBitrate(1000, 100000, 0);
  EXPECT_EQ(f.band().SendBitrate(), 65534);
}

TEST(TcpControlBand, QueueRatioInSixtyFourBits) {
  Fixture f;
  auto& h = f.band().HistoryOf(256);
  h.back().sendRate = 100;                   // e = 12800
  h.back().bytesQueued = 30u * 1024 * 1024;  // q * 100 passes 32 bits
  const int ratio = f.band().CalculatePhBandwidth();
  EXPECT_EQ(ratio, static_cast<int>(uint64_t{30} * 1024 * 1024 * 100 / 12801));
  EXPECT_EQ(f.band().PhysicalBandwidth(), 100);
}

}  // namespace
