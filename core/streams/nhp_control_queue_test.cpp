// The UDP send-rate control on a simulated clock: the growth curve, cuts on overload, the
// multicast band, moving the requested maximum, the 4 kbit/s rule, the send-rate analysis, and
// the commands a peer may send with wrong lengths.

#include "core/streams/nhp_control_queue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/streams/nhp_send_queue.h"

namespace {

struct Clock {
  int64_t now = 0;
  HX_TickSource Source() {
    return [this] { return now; };
  }
};

// A statistics record with `video_bytes` received in the last second.
HX_MiscCommand Stat(uint32_t video_bytes, uint8_t loss = 0, uint8_t valid = 1,
                    uint16_t video_packets = 100, uint16_t video_lost = 0) {
  uint8_t record[34] = {};
  record[0] = loss;
  record[1] = valid;
  record[2 + 16] = static_cast<uint8_t>(video_packets);
  record[3 + 16] = static_cast<uint8_t>(video_packets >> 8);
  record[4 + 16] = static_cast<uint8_t>(video_lost);
  record[5 + 16] = static_cast<uint8_t>(video_lost >> 8);
  for (int i = 0; i < 4; ++i) record[6 + 16 + i] = static_cast<uint8_t>(video_bytes >> (8 * i));
  HX_MiscCommand command;
  command.Stat(record, sizeof record);
  return command;
}

struct Fixture {
  Fixture() : control(true, 1400, clock.Source()) {}
  // Video sent at exactly 900 kbit/s as the analysis at 3001 ms sees it.
  void SendAt900() {
    control.Add(0, 100, 1, 0, 0);  // the first record only starts the analysis clock
    control.Add(2001, 57600, 2, 0, 0);
    control.Add(3001, 57600, 2, 0, 0);
    EXPECT_DOUBLE_EQ(control.VideoSendRate(), 900.0);
  }
  void Reports(int n, uint32_t video_bytes) {
    for (int i = 0; i < n; ++i) EXPECT_EQ(control.SetReceivedCommand(Stat(video_bytes)), 6);
  }
  Clock clock;
  HX_ControlQueueNhp control;
};

TEST(NhpControlQueue, GrowthCurve) {
  Fixture f;
  EXPECT_EQ(f.control.GetVideoBandwidth(1000), 500);
  EXPECT_EQ(f.control.Top(), 1000);
  EXPECT_EQ(f.control.Span(), 500);
  EXPECT_EQ(f.control.Period(), 60000);
  // Within 3001 ms the band is not computed again.
  f.clock.now = 3000;
  EXPECT_EQ(f.control.GetVideoBandwidth(2000), 500);
  EXPECT_EQ(f.control.Limit(), 1000);
  // 30 s later without reports: held.
  Fixture quiet;
  quiet.control.GetVideoBandwidth(1000);
  quiet.clock.now = 30000;
  EXPECT_EQ(quiet.control.GetVideoBandwidth(1000), 500);
  // With six reports receiving what was sent: along the curve.
  f.SendAt900();
  f.clock.now = 3001;
  f.Reports(6, 900 * 128);
  f.clock.now = 30000;
  EXPECT_EQ(f.control.GetVideoBandwidth(1000), 853);
}

TEST(NhpControlQueue, CutOnOverload) {
  Fixture f;
  EXPECT_EQ(f.control.GetVideoBandwidth(1000), 500);
  f.SendAt900();
  f.clock.now = 3001;
  f.Reports(5, 0);      // ratio 100, receive rate 900 (the send rate)
  f.Reports(8, 25472);  // receive rate 199: ratio 900 / 200 = 450
  // max(0.8 × 500, 199 × 100 / 450, 20)
  EXPECT_EQ(f.control.GetVideoBandwidth(1000), 400);
  EXPECT_EQ(f.control.Top(), 520);
  EXPECT_EQ(f.control.Base(), 400);
}

TEST(NhpControlQueue, CutOnLossReport) {
  Fixture f;
  f.control.GetVideoBandwidth(1000);
  f.SendAt900();
  f.clock.now = 3001;
  f.Reports(5, 900 * 128);
  // Lost 50 of 100 packets of 1152 bytes: lostK = 50 × 1152 × 8 / 1024 = 450.
  EXPECT_EQ(f.control.SetReceivedCommand(Stat(115200, 1, 1, 100, 50)), 6);
  EXPECT_EQ(f.control.Band(), 450);  // max(500, 900) − 450, above 0.8 × 500
  EXPECT_EQ(f.control.Top(), 585);
}

TEST(NhpControlQueue, MulticastBand) {
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 3, 40, clock.Source());
  HX_ControlQueueNhp control(false, 1400, clock.Source());
  control.SetSendQueue(&queue);
  EXPECT_EQ(control.GetVideoBandwidth(1000), 333);
  // No feedback in multicast mode.
  EXPECT_EQ(control.SetReceivedCommand(Stat(1000)), 0);
  HX_MiscCommand request;
  request.RequestPacket("\0\0\2", 3);
  EXPECT_EQ(control.SetReceivedCommand(request), 0);
  HX_SendFrameQueueNhp single(nullptr, 1400, 0, 0, clock.Source());
  control.SetSendQueue(&single);
  EXPECT_EQ(control.GetVideoBandwidth(1000), 1000);
}

TEST(NhpControlQueue, MovedTopAndTheSmallChangeRule) {
  Fixture f;
  EXPECT_EQ(f.control.GetVideoBandwidth(1000), 500);
  f.clock.now = 3001;
  EXPECT_EQ(f.control.GetVideoBandwidth(600), 500);
  EXPECT_EQ(f.control.Top(), 600);
  EXPECT_EQ(f.control.Top() - f.control.Span(), 500);  // the bottom stays

  Fixture g;
  g.control.GetVideoBandwidth(1000);
  g.SendAt900();
  g.clock.now = 3001;
  g.Reports(6, 900 * 128);
  EXPECT_EQ(g.control.GetVideoBandwidth(503), 500);  // curve from 500 to 503
  g.clock.now = 30000;
  EXPECT_EQ(g.control.GetVideoBandwidth(503), 500);  // 502 is within 4: not applied
  g.clock.now = 60000;
  EXPECT_EQ(g.control.GetVideoBandwidth(503), 503);  // the maximum itself always is
}

TEST(NhpControlQueue, ResendRequests) {
  Clock clock;
  HX_SendFrameQueueNhp queue(nullptr, 1400, 0, 0, clock.Source());
  HX_ControlQueueNhp control(true, 1400, clock.Source());
  control.SetSendQueue(&queue);
  const uint8_t d[] = {1, 2};
  for (int i = 0; i < 3; ++i) {
    queue.AddFrame(5, 2, d, nullptr, 3);
    queue.MarkFirstAsSend();
  }
  HX_MiscCommand request;
  request.RequestPacket("\x02\x00\x03", 3);
  EXPECT_EQ(control.SetReceivedCommand(request), 7);
  EXPECT_EQ(queue.QueuedPackets(), 1u);
  EXPECT_EQ(queue.Queue().front().sequence, 2);
  // Under 3 data bytes there is no packet type: ignored.
  request.RequestPacket("\x01\x00", 2);
  EXPECT_EQ(control.SetReceivedCommand(request), 0);
  EXPECT_EQ(queue.QueuedPackets(), 1u);
}

TEST(NhpControlQueue, StatLengths) {
  // A Stat longer than the record copies the record only; a shorter one is no record.
  Fixture f;
  f.control.GetVideoBandwidth(1000);
  HX_MiscCommand longer = Stat(1000);
  longer.length = 250;
  std::fill(longer.data + 34, longer.data + 250, 0xFF);
  EXPECT_EQ(f.control.SetReceivedCommand(longer), 6);
  EXPECT_EQ(f.control.Reports(), 1u);
  EXPECT_EQ(f.control.Band(), 500);
  HX_MiscCommand shorter = Stat(1000);
  shorter.length = 33;
  EXPECT_EQ(f.control.SetReceivedCommand(shorter), 0);
  EXPECT_EQ(f.control.Reports(), 1u);
  HX_MiscCommand ping;
  ping.Ping();
  EXPECT_EQ(f.control.SetReceivedCommand(ping), 0);
}

TEST(NhpControlQueue, SendRatesAfterASilence) {
  // The first packet after more than 3 s without a send is alone in the window: its span is one
  // millisecond, not zero.
  Fixture f;
  f.control.Add(0, 100, 2, 0, 0);
  f.control.Add(5000, 1280, 2, 0, 0);
  EXPECT_TRUE(std::isfinite(f.control.VideoSendRate()));
  EXPECT_DOUBLE_EQ(f.control.VideoSendRate(), 1280.0 * 1000 / 128);
  // An incomplete send is not recorded.
  f.control.Add(9000, 60000, 2, 0, 1);
  EXPECT_DOUBLE_EQ(f.control.VideoSendRate(), 1280.0 * 1000 / 128);
  // A statistics report long after the last send finds the window empty: rates 0.
  f.clock.now = 20000;
  f.Reports(6, 1000);
  EXPECT_DOUBLE_EQ(f.control.VideoSendRate(), 0.0);
}

TEST(NhpControlQueue, DataAdmission) {
  Fixture f;
  EXPECT_TRUE(f.control.IsDataAllowed(4000));  // nothing sent
  for (int i = 0; i < 100; ++i) {
    f.clock.now = 5000 + i * 5;
    f.control.Add(f.clock.now, 60000, 5, 0, 0);  // about 94 Mbit/s of data
  }
  EXPECT_FALSE(f.control.IsDataAllowed(4000));
}

}  // namespace
