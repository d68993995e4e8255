// The UDP send queue, send-rate control and receive queue together: two ends on the simulated
// channel of testing/sim_net (simulated clock from 0, seeded loss, reordering, jitter, a capacity
// with a drop-tail buffer), checking what arrives against what the source made.

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "testing/sim_net/nhp_two_end.h"

namespace {

using hx::testing::NhpTwoEnd;
using hx::testing::NhpTwoEndConfig;
using hx::testing::SimChannelConfig;

// Every delivered frame is one the source made, byte for byte, in timestamp order, never twice.
void ExpectFaithful(const NhpTwoEnd& run) {
  std::set<uint32_t> seen;
  int64_t previous = -1;
  for (const auto& frame : run.ReceivedVideo()) {
    auto it = run.SentVideo().find(frame.timestamp);
    ASSERT_NE(it, run.SentVideo().end());
    EXPECT_EQ(frame.bytes, it->second) << frame.timestamp;
    EXPECT_TRUE(seen.insert(frame.timestamp).second) << "twice: " << frame.timestamp;
    EXPECT_GT(static_cast<int64_t>(frame.timestamp), previous);
    previous = frame.timestamp;
  }
}

size_t Lost(const NhpTwoEnd& run, int64_t until_tick) {
  size_t lost = 0;
  std::set<uint32_t> got;
  for (const auto& f : run.ReceivedVideo()) got.insert(f.timestamp);
  for (const auto& [ts, bytes] : run.SentVideo()) {
    if (ts < until_tick && !got.count(ts)) ++lost;
  }
  return lost;
}

TEST(NhpChannel, CleanDirect) {
  NhpTwoEndConfig config;
  config.requestedKbps = 1000;
  NhpTwoEnd run(config);
  int previous = 0;
  int64_t reached = -1;
  for (int s = 0; s < 120; ++s) {
    run.Run(1000);
    EXPECT_LE(run.Band(), 1000);
    EXPECT_GE(run.Band(), previous) << "at " << s << " s";
    previous = run.Band();
    if (reached < 0 && run.Band() == 1000) reached = s;
  }
  EXPECT_GE(reached, 0) << "the band never reached the maximum: " << run.Band();
  ExpectFaithful(run);
  // All but the frames still held at the end arrived.
  EXPECT_EQ(Lost(run, 119000), 0u);
  EXPECT_EQ(run.KeyFramesSent().size(), 1u);
  EXPECT_TRUE(run.KeyFrameRequests().empty());
  EXPECT_EQ(run.CommandsFromB().count(HX_Cmd_RequestPacket), 0u);
  EXPECT_GT(run.ReceivedAudio(), run.SentAudio() * 9 / 10);
  EXPECT_GE(run.CommandsFromB().at(HX_Cmd_Stat), 100u);
}

TEST(NhpChannel, FixedDelaySettlesTheBufferDelay) {
  NhpTwoEndConfig config;
  NhpTwoEnd run(config);
  SimChannelConfig link;
  link.delayMs = 60;
  run.Channel().forward.Configure(link);
  run.Channel().reverse.Configure(link);
  run.Run(30000);
  EXPECT_EQ(run.ReceiverQueue().BufferDelay(), 60);
  EXPECT_TRUE(run.ReceiverQueue().BufferDelayValid());
}

std::unique_ptr<NhpTwoEnd> LossyRun(bool drop_requests) {
  NhpTwoEndConfig config;
  config.requestedKbps = 600;
  config.dropResendRequests = drop_requests;
  auto run = std::make_unique<NhpTwoEnd>(config);
  SimChannelConfig link;
  link.seed = 7;
  link.loss = 0.05;
  link.delayMs = 20;
  link.jitterMs = 10;
  link.reorder = 0.05;
  link.reorderWindowMs = 15;
  run->Channel().forward.Configure(link);
  link.seed = 8;
  run->Channel().reverse.Configure(link);
  run->Run(60000);
  return run;
}

TEST(NhpChannel, LossReorderingJitter) {
  const auto with_requests = LossyRun(false);
  const auto without_requests = LossyRun(true);
  const NhpTwoEnd& with = *with_requests;
  const NhpTwoEnd& without = *without_requests;
  ExpectFaithful(with);
  ExpectFaithful(without);
  const size_t lost_with = Lost(with, 59000);
  const size_t lost_without = Lost(without, 59000);
  EXPECT_GT(with.ResendsGranted(), 0u);
  EXPECT_GT(lost_without, 0u);
  EXPECT_LE(lost_with * 2, lost_without) << lost_with << " vs " << lost_without;
  // A frame that could not be completed was followed by a key frame.
  EXPECT_GT(without.KeyFramesSent().size(), 1u);
}

TEST(NhpChannel, MulticastRedundancy) {
  NhpTwoEndConfig config;
  config.direct = false;
  config.videoMode = 2;
  config.redundancy = 3;
  config.spacing = 40;
  config.requestedKbps = 900;
  NhpTwoEnd run(config);
  SimChannelConfig link;
  link.seed = 3;
  link.loss = 0.05;
  run.Channel().forward.Configure(link);
  run.Run(30000);
  EXPECT_TRUE(run.CommandsFromB().empty());
  EXPECT_TRUE(run.CommandsFromA().empty());
  EXPECT_EQ(run.Band(), 300);
  ExpectFaithful(run);
  const size_t sent = run.SentVideo().size() - 5;  // the last frames are still held
  EXPECT_GE(run.ReceivedVideo().size() * 100, sent * 99)
      << run.ReceivedVideo().size() << "/" << sent;
}

TEST(NhpChannel, MulticastAcrossTheTimestampWrap) {
  NhpTwoEndConfig config;
  config.direct = false;
  config.videoMode = 2;
  config.redundancy = 3;
  config.spacing = 40;
  config.startTick = (int64_t{1} << 32) - 5000;
  NhpTwoEnd run(config);
  run.Run(5000);
  const size_t video_before = run.ReceivedVideo().size();
  const uint64_t audio_before = run.ReceivedAudio();
  run.Run(10000);
  EXPECT_GT(run.ReceivedVideo().size(), video_before + 200);
  EXPECT_GT(run.ReceivedAudio(), audio_before + 400);
}

TEST(NhpChannel, CapacityDrop) {
  NhpTwoEndConfig config;
  config.requestedKbps = 1000;
  NhpTwoEnd run(config);
  run.Run(90000);
  const int before = run.Band();
  ASSERT_GE(before, 800);
  SimChannelConfig link;
  link.capacityKbps = static_cast<uint32_t>(before * 1.024 / 2);
  link.bufferBytes = 30000;
  run.Channel().forward.Configure(link);
  int64_t cut_after = -1;
  for (int s = 1; s <= 60; ++s) {
    run.Run(1000);
    if (cut_after < 0 && run.Band() < before) cut_after = s;
    if (cut_after >= 0) {
      EXPECT_LT(run.Band(), before) << "at " << s;
      EXPECT_GE(run.Band(), 20);
    }
  }
  ASSERT_GE(cut_after, 0);
  EXPECT_LE(cut_after, 10);
  const int low = run.Band();
  run.Channel().forward.Configure(SimChannelConfig{});
  run.Run(120000);
  EXPECT_GT(run.Band(), low);
}

TEST(NhpChannel, SequenceCountersWrap) {
  NhpTwoEndConfig config;
  config.payloadSize = 500;
  config.requestedKbps = 4000;
  config.audio = false;
  NhpTwoEnd run(config);
  while (run.VideoPacketsSent() < 70000) run.Run(5000);
  run.Run(2000);
  ExpectFaithful(run);
  EXPECT_EQ(Lost(run, static_cast<uint32_t>(run.Clock().now - 1000)), 0u);
  EXPECT_TRUE(run.KeyFrameRequests().empty());
}

}  // namespace
