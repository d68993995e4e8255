#include "core/base/user_list.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kInterval = 10000;

TEST(UserList, AddsUpToAThousandRandomMilliseconds) {
  for (int i = 0; i < 20; ++i) {
    HX_UserList list(kInterval);
    EXPECT_GE(list.CheckInterval(), kInterval);
    EXPECT_LT(list.CheckInterval(), kInterval + 1000);
  }
}

TEST(UserList, AsksForTheListOncePerIntervalWhileUpdatesHaveGaps) {
  HX_UserList list(kInterval);
  const int64_t interval = list.CheckInterval();
  const int64_t start = 50000;
  EXPECT_FALSE(list.TrackSequenceAt(10, true, start));
  EXPECT_FALSE(list.TrackSequenceAt(11, false, start));  // in order
  EXPECT_FALSE(list.TrackSequenceAt(-1, false, start));  // no number: always in order
  // 12 got lost: 13 is a gap and the interval since the reset has passed.
  EXPECT_TRUE(list.TrackSequenceAt(13, false, start + interval));
  // The expected number moved on to 13 all the same, so 14 is a gap again, and it asks only once
  // another full interval has passed.
  EXPECT_FALSE(list.TrackSequenceAt(14, false, start + 2 * interval - 1));
  EXPECT_TRUE(list.TrackSequenceAt(15, false, start + 2 * interval));
  // The stored number trails the updates by one since the loss, so every later update stays a gap
  // until a complete list arrives.
  EXPECT_TRUE(list.TrackSequenceAt(16, false, start + 9 * interval));

  // A complete list resets the reference and starts the interval again.
  EXPECT_FALSE(list.TrackSequenceAt(30, true, start + 10 * interval));
  EXPECT_FALSE(list.TrackSequenceAt(40, false, start + 11 * interval - 1));
  EXPECT_TRUE(list.TrackSequenceAt(41, false, start + 11 * interval));
}

TEST(UserList, GapBeforeTheIntervalDoesNotAsk) {
  HX_UserList list(kInterval);
  EXPECT_FALSE(list.TrackSequenceAt(10, true, 0));
  EXPECT_FALSE(list.TrackSequenceAt(13, false, list.CheckInterval() - 1));
}

TEST(UserList, WithoutAReferenceEveryNumberIsAGap) {
  HX_UserList list(kInterval);
  // The last request time starts at 0, so the first gap asks at once on a clock past the interval.
  EXPECT_TRUE(list.TrackSequenceAt(5, false, kInterval + 1000));
  EXPECT_FALSE(list.TrackSequenceAt(6, false, kInterval + 1001));
}

TEST(UserList, WrapsAtTheTopOfTheSequenceRange) {
  HX_UserList list(kInterval);
  EXPECT_FALSE(list.TrackSequenceAt(INT32_MAX, true, 0));
  EXPECT_FALSE(list.TrackSequenceAt(INT32_MIN, false, 1));
}

TEST(UserList, UsesTheCoreClock) {
  HX_UserList list(kInterval);
  EXPECT_FALSE(list.TrackSequence(1, true));
  // Right after the reset the interval cannot have passed.
  EXPECT_FALSE(list.TrackSequence(5, false));
}

}  // namespace
