// The bandwidth pipe's leaky bucket, walked as a table of steps: each step sets, charges or asks,
// with the clock given per step (so a clock going back is one more row).

#include "core/media/format/bandwidth_pipe.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace {

struct Step {
  enum Kind { kSet, kParam, kPut, kAsk, kReset } kind;
  uint64_t a = 0;
  uint64_t b = 0;
  uint64_t expectDelay = 0;  // for kAsk
  int64_t expectLevel = -1;  // checked after the step when >= 0
  int64_t expectDrain = -1;
};

struct Case {
  std::string name;
  std::vector<Step> steps;
};

TEST(BandwidthPipe, Table) {
  using S = Step;
  const std::vector<Case> cases = {
      {"default pipe is disabled", {{S::kPut, 5000}, {S::kAsk, 100000, 0, 0}}},
      {"zero bucket disables", {{S::kSet, 1000000, 0}, {S::kPut, 100000}, {S::kAsk, 1000, 0, 0}}},
      {"zero rate disables", {{S::kSet, 0, 10000}, {S::kPut, 100000}, {S::kAsk, 1000, 0, 0}}},
      {"charged bucket waits, drained bucket goes",
       {{S::kSet, 1000000, 10000},
        {S::kParam, 28, 0},
        {S::kPut, 10000, 0, 0, 10028},
        // (10028 + 1028 - 10000) x 8000 / 1000000 + 1
        {S::kAsk, 1000, 0, 9, 10028, 0},
        // 9 ms at 1 Mbit/s drain 1125 bytes
        {S::kAsk, 1000, 9, 0, 10028 - 1125, 9}}},
      {"datagram larger than the bucket waits at most for an empty bucket",
       {{S::kSet, 8000, 100},
        {S::kPut, 100, 0, 0, 100},
        // cost capped at 100: excess 100 → 100 ms + 1
        {S::kAsk, 1000000, 0, 101, 100, 0}}},
      {"short intervals add up until a whole byte drained",
       {{S::kSet, 4000, 1000},
        {S::kPut, 10, 0, 0, 10},
        {S::kAsk, 0, 0, 0, 10, 0},
        {S::kAsk, 0, 1, 0, 10, 0},
        {S::kAsk, 0, 2, 0, 9, 2}}},
      {"empty bucket moves the drain time", {{S::kSet, 8000, 1000}, {S::kAsk, 10, 50, 0, 0, 50}}},
      {"minimum packet counts small datagrams larger",
       {{S::kSet, 8000, 100},
        {S::kParam, 0, 60},
        {S::kPut, 1, 0, 0, 60},
        // level 60 + cost 60 - 100 = 20 bytes → 20 ms + 1
        {S::kAsk, 1, 0, 21, 60, 0}}},
      {"a clock going back drains nothing",
       {{S::kSet, 8000, 100},
        {S::kAsk, 0, 100, 0, 0, 100},
        {S::kPut, 100, 0, 0, 100},
        {S::kAsk, 10, 50, 11, 100, 100},
        {S::kAsk, 10, 99, 11, 100, 100},
        {S::kAsk, 10, 110, 0, 90, 110}}},
      {"reset empties the bucket and the clock",
       {{S::kSet, 8000, 100},
        {S::kAsk, 0, 100, 0, 0, 100},
        {S::kPut, 100},
        {S::kReset, 0, 0, 0, 0, 0},
        {S::kAsk, 100, 5, 0, 0, 5}}},
      {"set keeps level and drain time",
       {{S::kSet, 8000, 100},
        {S::kAsk, 0, 7, 0, 0, 7},
        {S::kPut, 50},
        {S::kSet, 0, 0, 0, 50, 7},
        {S::kSet, 16000, 200, 0, 50, 7}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HX_BandwidthPipe pipe;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const Step& s = c.steps[i];
      switch (s.kind) {
        case Step::kSet:
          pipe.set(s.a, s.b);
          break;
        case Step::kParam:
          pipe.setPacketParam(s.a, s.b);
          break;
        case Step::kPut:
          pipe.put(s.a);
          break;
        case Step::kAsk:
          EXPECT_EQ(pipe.getDelay(s.a, s.b), s.expectDelay);
          break;
        case Step::kReset:
          pipe.reset();
          break;
      }
      if (s.expectLevel >= 0) EXPECT_EQ(pipe.level(), static_cast<uint64_t>(s.expectLevel));
      if (s.expectDrain >= 0) EXPECT_EQ(pipe.lastDrain(), static_cast<uint64_t>(s.expectDrain));
    }
  }
}

// A charge near the top of the range saturates the level: the answer stays a long wait instead of
// wrapping into "send now".
TEST(BandwidthPipe, HugeChargeSaturates) {
  HX_BandwidthPipe pipe(8000, 100);
  pipe.setPacketParam(28, 0);
  pipe.put(std::numeric_limits<uint64_t>::max() - 10);
  EXPECT_EQ(pipe.level(), std::numeric_limits<uint64_t>::max());
  EXPECT_GT(pipe.getDelay(0, 0), uint64_t{1} << 60);
  pipe.put(1);
  EXPECT_EQ(pipe.level(), std::numeric_limits<uint64_t>::max());
}

TEST(BandwidthPipe, SetDisablesBothAndConstructorMatchesSet) {
  HX_BandwidthPipe pipe(1000000, 0);
  EXPECT_EQ(pipe.rate(), 0u);
  EXPECT_EQ(pipe.bucketSize(), 0u);
  HX_BandwidthPipe on(1000000, 10000);
  EXPECT_EQ(on.rate(), 1000000u);
  EXPECT_EQ(on.bucketSize(), 10000u);
  on.set(1000000, 0);
  EXPECT_EQ(on.rate(), 0u);
  EXPECT_EQ(on.bucketSize(), 0u);
}

// Paced at the rate: sending as soon as allowed for one simulated second moves about rate / 8
// bytes (plus the one bucket that may go at once).
TEST(BandwidthPipe, PacesToTheRate) {
  HX_BandwidthPipe pipe(800000, 5000);
  pipe.setPacketParam(28, 0);
  uint64_t now = 0;
  uint64_t sent = 0;
  while (now < 1000) {
    const uint64_t wait = pipe.getDelay(1000, now);
    if (wait != 0) {
      now += wait;
      continue;
    }
    pipe.put(1000);
    sent += 1028;
  }
  EXPECT_GE(sent, 100000u - 1028);
  EXPECT_LE(sent, 100000u + 5000 + 1028);
}

}  // namespace
