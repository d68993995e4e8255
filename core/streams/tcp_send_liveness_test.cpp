// The liveness arithmetic of a TCP send connection, as a table over (state, now, socket queue),
// and two runs over time: an idle connection whose pings drain, and one whose socket stopped
// draining once its buffer was full.

#include "core/streams/tcp_send_liveness.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using State = HX_TcpSendLiveness::Snapshot;

TEST(TcpSendLivenessTest, CheckTable) {
  struct Case {
    const char* name;
    State before;  // stall count, last socket queue, next check, sent since check
    uint64_t now;
    uint64_t queue;
    bool alive;
    State after;
  };
  const std::vector<Case> cases{
      {"before the next check: alive, nothing read", {2, 500, 10000, 77}, 9999, 99999, true,
       {2, 500, 10000, 77}},
      {"sent plus last above queue: drained", {0, 1000, 5000, 500}, 5000, 1200, true,
       {0, 1200, 8000, 0}},
      {"drain clears earlier stalls", {2, 1000, 5000, 0}, 5400, 999, true, {0, 999, 8400, 0}},
      {"queue grew by what was sent: first stall", {0, 1000, 5000, 200}, 5000, 1200, true,
       {1, 1200, 6000, 0}},
      {"nothing sent, nothing drained", {0, 0, 0, 0}, 100, 0, true, {1, 0, 1100, 0}},
      {"second stall", {1, 1200, 6000, 0}, 6000, 1200, true, {2, 1200, 7000, 0}},
      {"third stall: dead", {2, 1200, 7000, 0}, 7000, 1200, false, {3, 1200, 7000, 0}},
      {"a queue that shrank counts as drained", {2, 4000, 7000, 0}, 7000, 3000, true,
       {0, 3000, 10000, 0}},
      {"large figures do not wrap", {0, 1ull << 62, 0, 1ull << 62}, 1, (1ull << 62) + 1, true,
       {0, (1ull << 62) + 1, 3001, 0}},
  };
  for (const Case& c : cases) {
    HX_TcpSendLiveness liveness;
    liveness.restore(c.before);
    EXPECT_EQ(liveness.check(c.now, c.queue), c.alive) << c.name;
    const State after = liveness.snapshot();
    EXPECT_EQ(after.stallCount, c.after.stallCount) << c.name;
    EXPECT_EQ(after.lastSocketQueue, c.after.lastSocketQueue) << c.name;
    EXPECT_EQ(after.nextCheck, c.after.nextCheck) << c.name;
    EXPECT_EQ(after.sentSinceCheck, c.after.sentSinceCheck) << c.name;
  }
}

TEST(TcpSendLivenessTest, WritesClearStallsAndPostponeTheCheck) {
  HX_TcpSendLiveness liveness;
  liveness.restore({2, 100, 0, 0});
  liveness.onSent(4000, 30);
  liveness.onSent(4100, 12);
  const State state = liveness.snapshot();
  EXPECT_EQ(state.stallCount, 0u);
  EXPECT_EQ(state.nextCheck, 7100u);
  EXPECT_EQ(state.sentSinceCheck, 42u);

  liveness.reset(640);
  const State fresh = liveness.snapshot();
  EXPECT_EQ(fresh.stallCount, 0u);
  EXPECT_EQ(fresh.lastSocketQueue, 640u);
  EXPECT_EQ(fresh.nextCheck, 0u);
  EXPECT_EQ(fresh.sentSinceCheck, 0u);
}

// The send stream checks every 300 ms; the handler pings every 2000 ms.
TEST(TcpSendLivenessTest, IdleConnectionWithDrainingPingsStaysAlive) {
  HX_TcpSendLiveness liveness;
  liveness.reset(0);
  for (uint64_t now = 0; now < 120000; now += 100) {
    if (now % 2000 == 0) liveness.onSent(now, 8);  // acknowledged before the next check
    if (now % 300 == 0) ASSERT_TRUE(liveness.check(now, 0)) << now;
  }
}

TEST(TcpSendLivenessTest, FullSocketThatStopsDrainingDiesOnTheThirdCheck) {
  HX_TcpSendLiveness liveness;
  liveness.reset(0);
  liveness.onSent(1000, 50000);  // the last write that fitted
  std::vector<uint64_t> stalls;
  uint64_t died = 0;
  for (uint64_t now = 1000; now < 20000 && died == 0; now += 300) {
    const uint32_t before = liveness.snapshot().stallCount;
    if (!liveness.check(now, 50000)) died = now;
    if (liveness.snapshot().stallCount > before) stalls.push_back(now);
  }
  // The first check after the write is 3 s later; then one a second.
  EXPECT_EQ(stalls, (std::vector<uint64_t>{4000, 5200, 6400}));
  EXPECT_EQ(died, 6400u);
}

}  // namespace
