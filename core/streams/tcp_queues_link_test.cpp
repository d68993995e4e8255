// The TCP send queue and its bandwidth control over a simulated TCP link to a simulated relay
// (testing/sim_net/sim_tcp_link.h): the bandwidth climbs to the request on a fast link, is cut
// below a link that slows to half, grows back when it recovers, and keeps being recomputed when
// the relay falls silent.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/base/ios_log.h"
#include "testing/sim_net/sim_tcp_link.h"

namespace {

using hx::testing::SimTcpLink;
using hx::testing::SimTcpLinkConfig;

TEST(TcpQueuesLink, ClimbsToRequestCutsOnSlowLinkAndRecovers) {
  SimTcpLinkConfig config;
  config.linkKbps = 2000;
  config.requestedKbps = 1000;
  config.initialKbps = 300;
  SimTcpLink link(config);
  link.Run(30000);
  EXPECT_EQ(link.Band(), 1000);
  // It stays there.
  const size_t settled = link.Bands().size();
  link.Run(20000);
  for (size_t i = settled; i < link.Bands().size(); ++i) EXPECT_EQ(link.Bands()[i].band, 1000);
  EXPECT_EQ(link.BadFrames(), 0u);
  EXPECT_GT(link.RelayFrames().at(2), 0u);
  EXPECT_GT(link.RelayStatisticsSent(), 40u);

  // The link slows to half of the request.
  const int64_t slowed = link.Clock().now;
  link.SetLinkKbps(500);
  int64_t noticed = 0, below = 0;
  std::vector<SimTcpLink::BandSample> cuts;
  const size_t from = link.Bands().size();
  link.Run(40000);
  const auto& bands = link.Bands();
  for (size_t i = from; i < bands.size(); ++i) {
    if (noticed == 0 && bands[i].state == HX_BandTCP_Congested) noticed = bands[i].tick;
    if (below == 0 && bands[i].send <= 500) below = bands[i].tick;
    if (i > from && bands[i].state == HX_BandTCP_Congested &&
        bands[i - 1].state != HX_BandTCP_Congested)
      cuts.push_back(bands[i]);
  }
  ASSERT_NE(noticed, 0);
  EXPECT_LE(noticed - slowed, 5000);
  ASSERT_NE(below, 0);
  EXPECT_LE(below - slowed, 10000);
  // Each cut is held for the hold time: no growth state within it. A further cut in the hold
  // may set S anew, never above the measured physical rate: once the window holds only the slow
  // link, about the link's rate.
  ASSERT_FALSE(cuts.empty());
  for (const auto& cut : cuts) {
    for (size_t i = from; i < bands.size(); ++i) {
      if (bands[i].tick > cut.tick && bands[i].tick < cut.tick + 6000) {
        EXPECT_EQ(bands[i].state, HX_BandTCP_Congested) << bands[i].tick;
        if (bands[i].tick >= below) EXPECT_LE(bands[i].send, 500 * 102 / 100) << bands[i].tick;
      }
    }
  }

  // The link recovers above the request: back through 4, 32 and 1, never past the request.
  link.SetLinkKbps(3000);
  const size_t recover = link.Bands().size();
  link.Run(150000);
  bool seen4 = false, seen32 = false, seen1 = false;
  for (size_t i = recover; i < link.Bands().size(); ++i) {
    const auto& b = link.Bands()[i];
    seen4 |= b.state == HX_BandTCP_Recovering;
    seen32 |= seen4 && b.state == HX_BandTCP_Waiting;
    seen1 |= seen32 && b.state == HX_BandTCP_Growing;
    EXPECT_LE(b.send, 1000) << b.tick;
  }
  EXPECT_TRUE(seen4);
  EXPECT_TRUE(seen32);
  EXPECT_TRUE(seen1);
  EXPECT_EQ(link.Band(), 1000);
}

TEST(TcpQueuesLink, FiguresRecomputedWhenRelayFallsSilent) {
  std::mutex mutex;
  std::vector<int64_t> ticks;
  SimTcpLinkConfig config;
  SimTcpLink link(config);
  link.Run(5000);
  link.SetRelayStatistics(false);
  link.Run(1500);  // the last statistics are well behind
  hx::SetLogSink([&](const std::string& line) {
    if (line.find("tot=") == std::string::npos) return;
    std::lock_guard<std::mutex> lock(mutex);
    ticks.push_back(link.Clock().now);
  });
  link.Run(20000);
  hx::SetLogSink({});
  ASSERT_GE(ticks.size(), 5u);
  for (size_t i = 1; i < ticks.size(); ++i) {
    EXPECT_GE(ticks[i] - ticks[i - 1], 3001);
    EXPECT_LE(ticks[i] - ticks[i - 1], 3001 + 300);  // asked every 300 ms
  }
}

}  // namespace
