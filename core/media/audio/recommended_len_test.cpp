// The recommended jitter-buffer length from arrival times, by hand-worked arrival sequences.
#include "core/media/audio/recommended_len.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

// The estimator as first written: every arrival scans all intervals of the window for the two
// largest. The kept form updates the two largest as arrivals come and go and must answer the
// same after every arrival.
class ReferenceLen {
 public:
  explicit ReferenceLen(uint64_t window) : window_(window) {}
  void Snap(uint64_t t) {
    arrivals_.push_back(t);
    while (arrivals_.back() - arrivals_.front() > window_) arrivals_.erase(arrivals_.begin());
    if (arrivals_.size() < 2) {
      recommended_ = ~uint64_t{0};
      return;
    }
    uint64_t largest = 0, second = 0;
    for (size_t i = 1; i < arrivals_.size(); ++i) {
      const uint64_t prev = arrivals_[i - 1];
      const uint64_t interval = arrivals_[i] >= prev ? arrivals_[i] - prev : 0;
      if (interval > largest) {
        second = largest;
        largest = interval;
      } else if (interval > second) {
        second = interval;
      }
    }
    recommended_ = arrivals_.size() == 2 ? largest : (largest + 3 * second) >> 2;
  }
  void Reset() {
    arrivals_.clear();
    recommended_ = ~uint64_t{0};
  }
  uint64_t GetRTime() const { return recommended_; }

 private:
  uint64_t window_;
  std::vector<uint64_t> arrivals_;
  uint64_t recommended_ = ~uint64_t{0};
};

TEST(RecommendedLen, MatchesTheFullScanOnArrivalPatterns) {
  // Each pattern gives the next arrival from the previous one and the step number.
  struct Pattern {
    const char* name;
    unsigned long window;
    std::function<uint64_t(uint64_t, int, std::mt19937&)> next;
  };
  const Pattern patterns[] = {
      // Exactly 40 ms apart: every interval ties with the largest.
      {"steady", 30000, [](uint64_t t, int, std::mt19937&) { return t + 40; }},
      // 40 ms with a few ms of jitter and a late burst now and then.
      {"jitter", 30000,
       [](uint64_t t, int i, std::mt19937& rng) {
         return t + 35 + rng() % 11 + (i % 97 == 0 ? 200 + rng() % 300 : 0);
       }},
      // Two spikes of the same size, leaving the window one after the other.
      {"twin spikes", 2000,
       [](uint64_t t, int i, std::mt19937&) {
         return t + (i % 150 == 7 || i % 150 == 9 ? 400 : 20);
       }},
      // Falling gaps: the largest leaves the window on every arrival.
      {"falling", 5000,
       [](uint64_t t, int i, std::mt19937&) { return t + 1 + uint64_t(600 - i % 600); }},
      // Rising gaps: every arrival brings a new largest.
      {"rising", 5000, [](uint64_t t, int i, std::mt19937&) { return t + 1 + uint64_t(i % 600); }},
      // Pauses longer than the window, then bursts of equal ticks.
      {"pauses", 3000,
       [](uint64_t t, int i, std::mt19937& rng) {
         return t + (i % 200 == 0 ? 5000 : (i % 3 == 0 ? 0 : rng() % 60));
       }},
      // The tick steps back a little (interval 0) and, rarely, restarts below everything held.
      {"backwards", 4000,
       [](uint64_t t, int i, std::mt19937& rng) {
         if (i % 400 == 399) return t > 100000 ? t - 100000 : uint64_t{0};
         return i % 11 == 0 ? t - std::min<uint64_t>(t, 15) : t + 20 + rng() % 40;
       }},
      // A window of 0 keeps only equal ticks.
      {"zero window", 0,
       [](uint64_t t, int i, std::mt19937&) { return t + (i % 4 == 0 ? 10 : 0); }},
  };
  for (const auto& p : patterns) {
    std::mt19937 rng(11);
    HX_CountRecomendedLen len(p.window);
    ReferenceLen ref(p.window);
    uint64_t t = 200000;
    for (int i = 0; i < 4000; ++i) {
      if (i == 2500) {  // a reset in the middle starts over on both
        len.Reset();
        ref.Reset();
      }
      t = p.next(t, i, rng);
      len.Snap(t);
      ref.Snap(t);
      ASSERT_EQ(len.GetRTime(), ref.GetRTime()) << p.name << " arrival " << i << " at " << t;
    }
  }
}

}  // namespace
