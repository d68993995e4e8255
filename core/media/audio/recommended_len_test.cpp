// The recommended jitter-buffer length from arrival times, by hand-worked arrival sequences.
#include "core/media/audio/recommended_len.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

namespace {

constexpr unsigned long kUnknown = ~0ul;

TEST(RecommendedLen, KnownAnswers) {
  struct Case {
    std::vector<unsigned long> arrivals;
    unsigned long expected;
  };
  const Case cases[] = {
      {{0}, kUnknown},
      {{0, 50}, 50},
      {{0, 20, 40, 100}, 30},         // intervals 60, 20, 20: (60 + 3 × 20) / 4
      {{0, 10, 20, 30}, 10},          // equal gaps
      {{0, 100, 110, 210}, 100},      // the long gap twice counts fully
      {{1000, 1001, 1003, 1010}, 3},  // 1, 2, 7: (7 + 3 × 2) / 4 rounded down
  };
  for (const auto& c : cases) {
    HX_CountRecomendedLen len(30000);
    for (auto t : c.arrivals) len.Snap(t);
    EXPECT_EQ(len.GetRTime(), c.expected) << "arrivals ending " << c.arrivals.back();
  }
}

TEST(RecommendedLen, ArrivalsOlderThanTheWindowAreDropped) {
  HX_CountRecomendedLen len(30000);
  len.Snap(0);
  len.Snap(1000);  // one interval of 1000
  EXPECT_EQ(len.GetRTime(), 1000u);
  len.Snap(30000);  // exactly the window after the oldest: kept
  EXPECT_EQ(len.GetRTime(), (29000u + 3 * 1000u) / 4);
  len.Snap(30001);  // 30001 after the oldest: 0 drops, intervals 29000 and 1
  EXPECT_EQ(len.GetRTime(), (29000u + 3 * 1u) / 4);
  len.Snap(60001);  // drops 1000 and 30000, keeps 30001: one interval
  EXPECT_EQ(len.GetRTime(), 30000u);
  len.Snap(100000);  // everything else drops: a single arrival is unknown again
  EXPECT_EQ(len.GetRTime(), kUnknown);
  len.Reset();
  EXPECT_EQ(len.GetRTime(), kUnknown);
  len.Snap(5);
  EXPECT_EQ(len.GetRTime(), kUnknown);
}

TEST(RecommendedLen, AgreesWithSortingTheIntervals) {
  std::mt19937 rng(7);
  HX_CountRecomendedLen len(3000);
  std::vector<unsigned long> kept;
  unsigned long t = 0;
  for (int i = 0; i < 2000; ++i) {
    t += rng() % 120;
    len.Snap(t);
    kept.push_back(t);
    while (kept.back() - kept.front() > 3000) kept.erase(kept.begin());
    if (kept.size() < 2) continue;
    std::vector<unsigned long> intervals;
    for (size_t k = 1; k < kept.size(); ++k) intervals.push_back(kept[k] - kept[k - 1]);
    std::sort(intervals.begin(), intervals.end(), std::greater<>());
    const unsigned long expected =
        intervals.size() == 1 ? intervals[0] : (intervals[0] + 3 * intervals[1]) >> 2;
    ASSERT_EQ(len.GetRTime(), expected) << "arrival " << i;
  }
}

}  // namespace
