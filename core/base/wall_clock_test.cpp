// The settable wall clock: the system clock by default, a set source while an override lives,
// nesting, and readers on other threads while the source is replaced.

#include "core/base/wall_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(WallClockTest, DefaultsToTheSystemClock) {
  const int64_t before = hx::SystemWallClockSeconds();
  const int64_t now = hx::WallClockSeconds();
  const int64_t after = hx::SystemWallClockSeconds();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
  EXPECT_GT(now, 1600000000);  // a plausible date, not a tick count
}

TEST(WallClockTest, OverridesNestAndRestore) {
  hx::ManualWallClock outer(1000);
  hx::ManualWallClock inner(5);
  {
    hx::WallClockOverride first(outer.Source());
    EXPECT_EQ(hx::WallClockSeconds(), 1000);
    outer.Advance(30);
    EXPECT_EQ(hx::WallClockSeconds(), 1030);
    {
      hx::WallClockOverride second(inner.Source());
      EXPECT_EQ(hx::WallClockSeconds(), 5);
    }
    EXPECT_EQ(hx::WallClockSeconds(), 1030);
    outer.Set(-1);
    EXPECT_EQ(hx::WallClockSeconds(), -1);
  }
  EXPECT_GT(hx::WallClockSeconds(), 1600000000);
  // An empty source is the system clock; the previous source comes back to the caller.
  EXPECT_FALSE(hx::SetWallClockSource(outer.Source()));
  EXPECT_EQ(hx::WallClockSeconds(), -1);
  EXPECT_TRUE(hx::SetWallClockSource(nullptr));
  EXPECT_GT(hx::WallClockSeconds(), 1600000000);
}

TEST(WallClockTest, ReadersOnOtherThreadsSeeEitherSource) {
  hx::ManualWallClock a(1);
  hx::ManualWallClock b(2);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const int64_t v = hx::WallClockSeconds();
        if (v != 1 && v != 2 && v < 1600000000) bad.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    hx::WallClockOverride hold(i % 2 ? a.Source() : b.Source());
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
