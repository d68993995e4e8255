// The per-track traffic counters on a clock the test sets: when a rate window closes, track 256 as
// the sum of all tracks, the rate falling to 0 after 1500 ms without reports, the reset, a tick
// counter that wraps, late reports, and rates too large for the 32-bit answer.

#include "core/streams/media_stream_statistics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// 131072 bytes are 1048576 bits: over a window of 1024 ms (a report 1023 ms after the window
// began) that is exactly 1000 kbit/s.
constexpr uint64_t kMegabit = 131072;

class Statistics : public HX_MediaStreamStatistics {
 public:
  explicit Statistics(HX_TickSource clock) : HX_MediaStreamStatistics(std::move(clock)) {}
  bool getStreamConfStat(stream::TConferenceStatistics&) override { return false; }
};

struct Step {
  enum Kind { kSend, kNow, kExpect, kReset } kind;
  uint64_t tick;          // kSend: the report's tick; kNow: the clock (offsets from the start)
  stream::trackId track;  // kSend, kExpect
  uint64_t value;         // kSend: bytes; kExpect: kbit/s
};

Step Send(uint64_t tick, stream::trackId track, uint64_t bytes) {
  return {Step::kSend, tick, track, bytes};
}
Step Now(uint64_t tick) { return {Step::kNow, tick, 0, 0}; }
Step Expect(stream::trackId track, uint64_t kbps) { return {Step::kExpect, 0, track, kbps}; }
Step Reset() { return {Step::kReset, 0, 0, 0}; }

struct Case {
  std::string name;
  uint64_t start;  // the clock at construction; every tick below is an offset from it
  std::vector<Step> steps;
};

class AverageTest : public testing::TestWithParam<Case> {};

TEST_P(AverageTest, Rates) {
  const Case& c = GetParam();
  uint64_t now = c.start;
  // The core's tick is signed; the counters read it as unsigned, so a start near 2^64 wraps.
  Statistics stats([&now] { return static_cast<int64_t>(now); });
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    switch (s.kind) {
      case Step::kSend:
        stats.setStreamConfStat(c.start + s.tick, s.track, s.value);
        break;
      case Step::kNow:
        now = c.start + s.tick;
        break;
      case Step::kExpect:
        EXPECT_EQ(stats.GetBitrate(s.track), s.value) << "track " << s.track;
        break;
      case Step::kReset:
        stats.resetConfStat();
        break;
    }
  }
}

const uint64_t kStart = 50000;
const stream::trackId kAudio = 1, kVideo = 2, kData = 5, kAll = 256;

INSTANTIATE_TEST_SUITE_P(
    MediaStreamStatistics, AverageTest,
    testing::Values(
        Case{"NoSends",
             kStart,
             {Expect(kVideo, 0), Expect(kAll, 0), Now(1500), Expect(kVideo, 0), Now(100000),
              Expect(kVideo, 0), Expect(kAll, 0), Expect(254, 0), Expect(255, 0)}},
        // A rate exists only once a later report closes the window.
        Case{"OneSample",
             kStart,
             {Send(10, kVideo, 100000), Now(900), Expect(kVideo, 0), Expect(kAll, 0)}},
        // 999 ms after the window began it is still open; at 1000 ms it closes over 1001 ms.
        Case{"WindowBoundary",
             kStart,
             {Send(0, kVideo, kMegabit), Send(999, kVideo, 0), Now(999), Expect(kVideo, 0),
              Send(1000, kVideo, 0), Now(1000), Expect(kVideo, 1022)}},
        Case{"RateOverWindowLength",
             kStart,
             {Send(0, kVideo, kMegabit), Send(1023, kVideo, 0), Now(1023), Expect(kVideo, 1000),
              Expect(kAll, 1000), Expect(kAudio, 0)}},
        // The bits of the closing report belong to the next window.
        Case{"ClosingReportOpensNextWindow",
             kStart,
             {Send(0, kVideo, kMegabit), Send(1023, kVideo, kMegabit / 2), Send(2046, kVideo, 0),
              Now(2046), Expect(kVideo, 500)}},
        // Track 3 has no entry of its own but counts into 256.
        Case{
            "AllTracksIsTheSum",
            kStart,
            {Send(0, kAudio, kMegabit / 4), Send(0, kVideo, kMegabit / 2), Send(0, 3, kMegabit / 4),
             Send(1023, kAudio, 0), Send(1023, kVideo, 0), Now(1023), Expect(kAudio, 250),
             Expect(kVideo, 500), Expect(3, 0), Expect(kData, 0), Expect(kAll, 1000)}},
        // A report on track 256 itself counts once.
        Case{"ReportOnAllTracks",
             kStart,
             {Send(0, kAll, kMegabit), Send(1023, kAll, 0), Now(1023), Expect(kAll, 1000)}},
        // The rate holds for 1500 ms after its window began, then reads 0 and a new window begins.
        Case{"ZeroAfterSilence",
             kStart,
             {Send(0, kVideo, kMegabit), Send(1023, kVideo, 0), Now(1023 + 1500),
              Expect(kVideo, 1000), Expect(kAll, 1000), Now(1023 + 1501), Expect(kVideo, 0),
              Expect(kVideo, 0), Expect(kAll, 0), Now(1023 + 1501 + 1500), Expect(kVideo, 0)}},
        // After the silence the new window starts at the reader's time.
        Case{"WindowRestartsAtReader",
             kStart,
             {Now(5000), Expect(kVideo, 0), Send(5000, kVideo, kMegabit), Send(6023, kVideo, 0),
              Now(6023), Expect(kVideo, 1000)}},
        // The reset starts every window at the reader's time (1023), not at the next report.
        Case{"Reset",
             kStart,
             {Send(0, kVideo, kMegabit), Send(1023, kVideo, 0), Now(1023), Expect(kVideo, 1000),
              Reset(), Expect(kVideo, 0), Expect(kAll, 0), Send(1100, kVideo, kMegabit),
              Send(2046, kVideo, 0), Now(2046), Expect(kVideo, 1000)}},
        // The counter passes 2^64 inside a window.
        Case{"TickWraps",
             kU64Max - 500,
             {Send(0, kVideo, kMegabit), Send(999, kVideo, 0), Now(999), Expect(kVideo, 0),
              Send(1023, kVideo, 0), Now(1023), Expect(kVideo, 1000), Now(1023 + 1500),
              Expect(kVideo, 1000), Now(1023 + 1501), Expect(kVideo, 0)}},
        // A report stamped before its window began counts into it and closes nothing.
        Case{"LateReport",
             kStart,
             {Send(uint64_t(-20), kVideo, kMegabit), Now(10), Expect(kVideo, 0),
              Send(1023, kVideo, 0), Now(1023), Expect(kVideo, 1000)}},
        // 2^50 bytes in a window is 2^33 x 1000 kbit/s: the answer saturates.
        Case{"HugeRateSaturates",
             kStart,
             {Send(0, kVideo, uint64_t{1} << 50), Send(1023, kVideo, 0), Now(1023),
              Expect(kVideo, std::numeric_limits<uint32_t>::max())}}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(MediaStreamStatistics, Totals) {
  int64_t now = 7000;
  Statistics stats([&now] { return now; });
  EXPECT_EQ(stats.GetTotals().bytes, 0u);
  // Until a byte is counted, each report moves the first tick.
  stats.setStreamConfStat(7000, 2, 0);
  stats.setStreamConfStat(7010, 2, 100);
  stats.setStreamConfStat(7020, 9, 50);
  auto totals = stats.GetTotals();
  EXPECT_EQ(totals.bytes, 150u);
  EXPECT_EQ(totals.firstTick, 7010u);
  EXPECT_EQ(totals.lastTick, 7020u);

  // Counts near 2^64 are not multiplied in integers.
  stats.setStreamConfStat(7030, 2, uint64_t{1} << 62);
  HX_AverageKbps video;
  ASSERT_TRUE(stats.GetAverage(2, video));
  EXPECT_DOUBLE_EQ(video.bits, 800.0 + 8.0 * double(uint64_t{1} << 62));

  now = 9000;
  stats.resetConfStat();
  totals = stats.GetTotals();
  EXPECT_EQ(totals.bytes, 0u);
  EXPECT_EQ(totals.firstTick, 0u);
  EXPECT_EQ(totals.lastTick, 0u);
  for (stream::trackId track : {1u, 2u, 5u, 254u, 255u, 256u}) {
    HX_AverageKbps entry;
    ASSERT_TRUE(stats.GetAverage(track, entry)) << track;
    EXPECT_EQ(entry.start, 9000u);
    EXPECT_EQ(entry.bits, 0.0);
    EXPECT_EQ(entry.rate, 0.0);
  }
  EXPECT_FALSE(stats.GetAverage(3, video));
  stats.setStreamConfStat(9100, 2, 1);
  EXPECT_EQ(stats.GetTotals().firstTick, 9100u);
}

}  // namespace
