// The UDP receive queue on a simulated clock, fed packets built by hand: loss requests, out of
// order and wrapped completion, key-frame requests, time-delay probes and the buffer delay, the
// statistics record, and the faults of short packets and small output buffers.

#include "core/streams/nhp_receive_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/streams/nhp_send_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Clock {
  int64_t now = 0;
  HX_TickSource Source() {
    return [this] { return now; };
  }
};

class Recorder : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    EXPECT_TRUE(to_send);
    sent.push_back(command);
    return true;
  }
  std::vector<HX_MiscCommand> Of(uint8_t code) const {
    std::vector<HX_MiscCommand> out;
    for (const auto& c : sent) {
      if (c.code == code) out.push_back(c);
    }
    return out;
  }
  // Sequences of the resend requests, in order.
  std::vector<int> Requests() const {
    std::vector<int> out;
    for (const auto& c : Of(HX_Cmd_RequestPacket)) out.push_back(c.data[0] | (c.data[1] << 8));
    return out;
  }
  std::vector<HX_MiscCommand> sent;
};

Bytes Video(uint16_t seq, uint8_t fragment, uint8_t counter, uint8_t frame_type, uint32_t ts,
            size_t payload = 10, uint8_t resend = 0) {
  Bytes p = {static_cast<uint8_t>(0x20 | fragment | (resend << 2)),
             0,
             static_cast<uint8_t>(seq),
             static_cast<uint8_t>(seq >> 8),
             counter,
             frame_type,
             static_cast<uint8_t>(ts),
             static_cast<uint8_t>(ts >> 8),
             static_cast<uint8_t>(ts >> 16),
             static_cast<uint8_t>(ts >> 24)};
  for (size_t i = 0; i < payload; ++i) p.push_back(static_cast<uint8_t>(seq + i));
  return p;
}

Bytes Audio(uint16_t seq, uint32_t ts, size_t codec = 20) {
  Bytes p = {0x11,
             0,
             static_cast<uint8_t>(seq),
             static_cast<uint8_t>(seq >> 8),
             static_cast<uint8_t>(ts),
             static_cast<uint8_t>(ts >> 8),
             static_cast<uint8_t>(ts >> 16),
             static_cast<uint8_t>(ts >> 24)};
  p.resize(8 + codec, 0x77);
  return p;
}

struct Fixture {
  explicit Fixture(int mode = 0, bool feedback = true)
      : queue(true, mode, feedback, clock.Source()), recorder(std::make_shared<Recorder>()) {
    queue.setCmndProc(recorder);
  }
  bool Add(const Bytes& p) { return queue.Add(p.data(), p.size()); }
  // Every frame due now, as (type, bytes).
  std::vector<std::pair<int, Bytes>> Drain(size_t capacity = 1 << 20) {
    std::vector<std::pair<int, Bytes>> out;
    Bytes buffer(capacity);
    size_t length;
    int type;
    while (queue.Get(buffer.data(), capacity, length, type)) {
      out.push_back({type, Bytes(buffer.begin(), buffer.begin() + length)});
    }
    return out;
  }
  Clock clock;
  HX_ReceiveFrameQueueNhp queue;
  std::shared_ptr<Recorder> recorder;
};

TEST(NhpReceiveQueue, LossRequests) {
  struct Case {
    const char* name;
    std::vector<Bytes> packets;
    std::vector<int> requests;
  };
  const Case cases[] = {
      {"video 10 11 13: 12 pending",
       {Video(10, 3, 1, 0, 100), Video(11, 3, 2, 1, 140), Video(13, 3, 4, 1, 220)},
       {}},
      {"video 10 11 13 14: 12 asked when 14 comes",
       {Video(10, 3, 1, 0, 100), Video(11, 3, 2, 1, 140), Video(13, 3, 4, 1, 220),
        Video(14, 3, 5, 1, 260)},
       {12}},
      {"video 10 11 13 12: it came, nothing asked",
       {Video(10, 3, 1, 0, 100), Video(11, 3, 2, 1, 140), Video(13, 3, 4, 1, 220),
        Video(12, 3, 3, 1, 180), Video(14, 3, 5, 1, 260)},
       {}},
      {"video gap of 3", {Video(10, 3, 1, 0, 100), Video(14, 3, 5, 1, 260)}, {11, 12, 13}},
      {"audio 10 13: gap 2, no request", {Audio(10, 100), Audio(13, 160)}, {}},
      {"audio 10 12: 11 at once", {Audio(10, 100), Audio(12, 140)}, {11}},
      {"audio across the wrap", {Audio(65534, 100), Audio(0, 140)}, {65535}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    for (const Bytes& p : c.packets) {
      EXPECT_TRUE(f.Add(p));
      f.clock.now += 1;
    }
    EXPECT_EQ(f.recorder->Requests(), c.requests);
  }
}

TEST(NhpReceiveQueue, LateFillsReservedSlotAndCompletesOutOfOrder) {
  Fixture f;
  // A key frame of three packets arriving as fragment positions 2, 0, 1 in the order 0, 2, 1.
  ASSERT_TRUE(f.Add(Video(100, 2, 7, 0, 5000)));
  ASSERT_TRUE(f.Add(Video(102, 1, 7, 0, 5000)));
  ASSERT_TRUE(f.Add(Video(101, 0, 7, 0, 5000)));
  f.clock.now = 30;  // a good frame is released before its hold time
  const auto out = f.Drain();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].first, 2);
  Bytes want = {7, 0, 0x88, 0x13, 0, 0};
  for (uint16_t s : {100, 101, 102}) {
    const Bytes p = Video(s, 0, 0, 0, 0);
    want.insert(want.end(), p.begin() + 10, p.end());
  }
  EXPECT_EQ(out[0].second, want);
  EXPECT_TRUE(f.recorder->Of(HX_Cmd_RequestKeyFrame).empty());
}

TEST(NhpReceiveQueue, FrameAcrossTheSequenceWrap) {
  Fixture f;
  ASSERT_TRUE(f.Add(Video(65535, 2, 1, 0, 1000)));
  ASSERT_TRUE(f.Add(Video(0, 1, 1, 0, 1000)));
  const auto out = f.Drain();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].second.size(), 6u + 20u);
}

TEST(NhpReceiveQueue, KeyFrameRequestsWhileWaiting) {
  Fixture f;
  std::vector<int64_t> requested;
  for (int i = 0; i < 400; ++i) {
    f.clock.now = i * 20;
    const size_t before = f.recorder->Of(HX_Cmd_RequestKeyFrame).size();
    f.Add(Video(static_cast<uint16_t>(i), 3, static_cast<uint8_t>(i), 1, i * 20));
    EXPECT_TRUE(f.Drain().empty());
    if (f.recorder->Of(HX_Cmd_RequestKeyFrame).size() > before) requested.push_back(f.clock.now);
  }
  EXPECT_EQ(requested, (std::vector<int64_t>{0, 2520, 5040, 7560}));
  for (const auto& c : f.recorder->Of(HX_Cmd_RequestKeyFrame)) {
    EXPECT_EQ(c.CommandSize(), 4u);
    EXPECT_EQ(c.mode, HX_CmdMode_Info);
  }
}

TEST(NhpReceiveQueue, TimeDelay) {
  Fixture f;
  f.Add(Audio(0, 0));  // probe 0 at tick 0
  auto probes = f.recorder->Of(HX_Cmd_TimeDelay);
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0].mode, HX_CmdMode_Request);
  EXPECT_EQ(probes[0].DataU32(), 0u);

  HX_MiscCommand reply(probes[0]);
  reply.Reply(0);
  f.clock.now = 80;
  EXPECT_EQ(f.queue.SetReceivedCommand(reply), HX_Cmd_TimeDelay);
  EXPECT_EQ(f.queue.BufferDelay(), 40);
  EXPECT_TRUE(f.queue.BufferDelayValid());
  EXPECT_EQ(f.queue.AudioAdjustment(), -120);  // 2 × (40 − 100)

  f.clock.now = 5001;
  f.Add(Audio(1, 20));  // probe 1
  probes = f.recorder->Of(HX_Cmd_TimeDelay);
  ASSERT_EQ(probes.size(), 2u);
  reply = probes[1];
  reply.Reply(0);
  f.clock.now = 5081;
  f.queue.SetReceivedCommand(reply);
  EXPECT_EQ(f.queue.BufferDelay(), 40);  // trunc(28 + 12)

  // A probe asked by the peer is answered with the same number.
  HX_MiscCommand request;
  request.TimeDelay(77);
  f.recorder->sent.clear();
  EXPECT_EQ(f.queue.SetReceivedCommand(request), HX_Cmd_TimeDelay);
  ASSERT_EQ(f.recorder->sent.size(), 1u);
  EXPECT_EQ(f.recorder->sent[0].mode, HX_CmdMode_Reply);
  EXPECT_EQ(f.recorder->sent[0].DataU32(), 77u);

  // A short TimeDelay and other codes are ignored.
  HX_MiscCommand short_probe;
  short_probe.TimeDelay(1);
  short_probe.length = 3;
  EXPECT_EQ(f.queue.SetReceivedCommand(short_probe), 0);
  HX_MiscCommand ping;
  ping.Ping();
  EXPECT_EQ(f.queue.SetReceivedCommand(ping), 0);
  // A reply to a probe never sent changes nothing.
  HX_MiscCommand unknown;
  unknown.TimeDelay(999);
  unknown.Reply(0);
  f.queue.SetReceivedCommand(unknown);
  EXPECT_EQ(f.queue.BufferDelay(), 40);
}

TEST(NhpReceiveQueue, LongDelayStopsResendRequests) {
  Fixture f;
  f.Add(Audio(0, 0));
  HX_MiscCommand reply(f.recorder->Of(HX_Cmd_TimeDelay)[0]);
  reply.Reply(0);
  f.clock.now = 6000;
  f.queue.SetReceivedCommand(reply);
  EXPECT_EQ(f.queue.BufferDelay(), 3000);
  EXPECT_FALSE(f.queue.BufferDelayValid());
  f.Add(Audio(2, 40));
  EXPECT_TRUE(f.recorder->Requests().empty());
  // A later reply below 2501 brings the requests back.
  f.clock.now = 11001;
  f.Add(Audio(3, 60));
  reply = f.recorder->Of(HX_Cmd_TimeDelay).back();
  reply.Reply(0);
  f.clock.now = 11011;
  f.queue.SetReceivedCommand(reply);  // trunc((35 + 9000) / 10) = 903 → 905
  EXPECT_EQ(f.queue.BufferDelay(), 905);
  EXPECT_TRUE(f.queue.BufferDelayValid());
  f.Add(Audio(5, 100));
  EXPECT_EQ(f.recorder->Requests(), (std::vector<int>{4}));
}

TEST(NhpReceiveQueue, FeedbackOffSendsNothing) {
  Fixture f(2, false);
  for (int i = 0; i < 50; ++i) {
    f.clock.now = i * 300;
    f.Add(Video(static_cast<uint16_t>(i * 3), 3, static_cast<uint8_t>(i), 1, i * 300));
    f.Add(Audio(static_cast<uint16_t>(i * 2), i * 300));
    f.Drain();
  }
  EXPECT_TRUE(f.recorder->sent.empty());
}

TEST(NhpReceiveQueue, ShortPacketsRefused) {
  struct Case {
    Bytes packet;
    bool accepted;
  };
  const Case cases[] = {
      {{}, false},
      {{0x01, 0, 0}, false},
      {{0x01, 0, 0, 0}, true},              // command, empty payload
      {{0x31, 0, 0, 0}, true},              // data, empty payload
      {{0x11, 0, 0, 0}, false},             // audio header only: no timestamp
      {{0x11, 0, 0, 0, 1, 2, 3}, false},    // audio timestamp cut short
      {{0x11, 0, 0, 0, 1, 2, 3, 4}, true},  // audio, empty codec bytes
      {Bytes(9, 0x23), false},
      {Video(0, 3, 0, 0, 1, 0), true},
  };
  for (const Case& c : cases) {
    Fixture f;
    EXPECT_EQ(f.queue.Add(c.packet.data(), c.packet.size()), c.accepted);
  }
}

TEST(NhpReceiveQueue, AudioKeepsItsTimestamp) {
  Fixture f;
  ASSERT_TRUE(f.Add(Audio(0, 0x01020304, 3)));
  f.clock.now = 15;
  const auto out = f.Drain();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].first, 1);
  EXPECT_EQ(out[0].second, (Bytes{4, 3, 2, 1, 0x77, 0x77, 0x77}));
}

TEST(NhpReceiveQueue, FrameLargerThanTheBuffer) {
  // A peer's frame larger than the caller's buffer is never written past it; mode 0 then waits
  // for the next key frame, which is delivered.
  Fixture f;
  for (uint16_t s = 0; s < 10; ++s) {
    f.Add(Video(s, s == 0 ? 2 : s == 9 ? 1 : 0, 1, 0, 1000, 1000));
  }
  f.clock.now = 5000;
  f.Add(Video(10, 3, 2, 1, 1040, 100));
  f.Add(Video(11, 3, 3, 0, 1080, 100));
  const auto out = f.Drain(2000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].second[0], 3);
  EXPECT_EQ(out[0].second.size(), 106u);
}

TEST(NhpReceiveQueue, StatisticsRecord) {
  Fixture f;
  f.Add(Video(0, 3, 0, 0, 100, 50));  // the first packet reports at once
  auto stats = f.recorder->Of(HX_Cmd_Stat);
  ASSERT_EQ(stats.size(), 1u);
  ASSERT_EQ(stats[0].length, 34);
  EXPECT_EQ(stats[0].data[1], 1);        // delay valid
  EXPECT_EQ(stats[0].data[2 + 16], 1);   // one video packet
  EXPECT_EQ(stats[0].data[6 + 16], 50);  // its payload bytes
  for (int i = 1; i <= 10; ++i) {
    f.clock.now = i * 110;
    f.Add(Video(static_cast<uint16_t>(i * 2), 3, static_cast<uint8_t>(i), 1, 100 + i * 40, 50));
  }
  stats = f.recorder->Of(HX_Cmd_Stat);
  ASSERT_EQ(stats.size(), 2u);  // at 1100 ms
  EXPECT_EQ(stats[1].data[2 + 16], 10);
  EXPECT_EQ(stats[1].data[4 + 16], 9);  // nine lost (each gap of one counted a packet later)
  EXPECT_EQ(stats[1].data[0], 1);       // more than a third lost
  uint32_t jitter = 0, lost = 0;
  f.queue.GetStatistics(jitter, lost);
  EXPECT_EQ(lost, 9u);
}

}  // namespace
