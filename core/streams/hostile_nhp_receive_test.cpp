// Hostile packets for the UDP receive queue, built byte by byte from the NHP packet format: cuts at
// every offset, lying fragment positions, duplicates, reordering, sequence and timestamp wraps,
// endless incomplete frames, output buffers smaller than a frame. Packets are handed in buffers of
// their exact size and outputs carry guard bytes, so any read or write past a bound shows.

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/streams/nhp_receive_queue.h"
#include "core/streams/nhp_send_queue.h"
#include "core/streams/stream_command.h"

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

using Bytes = std::vector<uint8_t>;

size_t HeapInUse() {
  if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
  return mallinfo2().uordblks;
}

Bytes Header(uint8_t type, uint8_t fragment, uint8_t resend, uint16_t seq) {
  return {static_cast<uint8_t>((fragment & 3) | ((resend & 3) << 2) | ((type & 3) << 4)), 0,
          static_cast<uint8_t>(seq & 0xff), static_cast<uint8_t>(seq >> 8)};
}
void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
Bytes Payload(size_t n, uint8_t seed) {
  Bytes p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed * 31 + i);
  return p;
}
Bytes Video(uint16_t seq, uint8_t fragment, uint8_t counter, uint8_t frame_type, uint32_t ts,
            const Bytes& payload, uint8_t resend = 0) {
  Bytes b = Header(2, fragment, resend, seq);
  b.push_back(counter);
  b.push_back(frame_type);
  PutU32(b, ts);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}
Bytes Audio(uint16_t seq, uint32_t ts, const Bytes& payload) {
  Bytes b = Header(1, 1, 0, seq);
  PutU32(b, ts);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}
Bytes Plain(uint8_t type, uint16_t seq, const Bytes& payload) {
  Bytes b = Header(type, 1, 0, seq);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

// Counts every command the queue sends by code and, while `keep` is on, records it. A command
// takes 254 bytes: the long runs turn the record off, or the record itself is what grows.
class Sink : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    EXPECT_TRUE(to_send);
    ++counts[command.code];
    ++total;
    if (keep) sent.push_back(command);
    return true;
  }
  size_t Count(uint8_t code) const { return counts[code]; }
  std::vector<HX_MiscCommand> sent;
  size_t counts[256] = {};
  size_t total = 0;
  bool keep = true;
};

struct Out {
  Bytes data;
  int type;
};

class Fixture {
 public:
  explicit Fixture(bool feedback = true, int mode = 0, int64_t start = 1'000'000)
      : now(start), sink(std::make_shared<Sink>()),
        queue(feedback, mode, feedback, [this] { return now; }) {
    queue.setCmndProc(sink);
  }
  // The packet in a heap block of exactly its size.
  bool Add(const Bytes& packet) {
    auto exact = std::make_unique<uint8_t[]>(packet.size() + (packet.empty() ? 1 : 0));
    std::copy(packet.begin(), packet.end(), exact.get());
    return queue.Add(packet.empty() ? nullptr : exact.get(), packet.size());
  }
  // Everything due, each output checked against guard bytes behind `capacity`.
  std::vector<Out> Drain(size_t capacity = 70000) {
    std::vector<Out> outs;
    for (int guard = 0; guard < 100000; ++guard) {
      Bytes buf(capacity + 16, 0x5A);
      size_t length = 0;
      int type = -1;
      if (!queue.Get(buf.data(), capacity, length, type)) break;
      EXPECT_LE(length, capacity);
      for (size_t i = capacity; i < buf.size(); ++i) {
        EXPECT_EQ(buf[i], 0x5A) << "written past the output room at " << i;
      }
      EXPECT_GE(type, 0);
      EXPECT_LE(type, 3);
      buf.resize(std::min(length, capacity));
      outs.push_back({buf, type});
    }
    return outs;
  }
  std::vector<Bytes> DrainVideo(size_t capacity = 70000) {
    std::vector<Bytes> v;
    for (auto& o : Drain(capacity)) {
      if (o.type == 2) v.push_back(o.data);
    }
    return v;
  }

  int64_t now;
  std::shared_ptr<Sink> sink;
  HX_ReceiveFrameQueueNhp queue;
};

Bytes Frame(uint8_t counter, uint8_t frame_type, uint32_t ts, const std::vector<Bytes>& parts) {
  Bytes f = {counter, frame_type};
  PutU32(f, ts);
  for (auto& p : parts) f.insert(f.end(), p.begin(), p.end());
  return f;
}

// Splits a frame into packets with the sender's fragment positions.
std::vector<Bytes> VideoPackets(uint16_t first_seq, uint8_t counter, uint8_t frame_type,
                                uint32_t ts, const std::vector<Bytes>& parts) {
  std::vector<Bytes> packets;
  for (size_t i = 0; i < parts.size(); ++i) {
    uint8_t frag = parts.size() == 1 ? 3 : i == 0 ? 2 : i + 1 == parts.size() ? 1 : 0;
    packets.push_back(Video(static_cast<uint16_t>(first_seq + i), frag, counter, frame_type, ts,
                            parts[i]));
  }
  return packets;
}

TEST(HostileNhpReceive, PacketsCutAtEveryOffset) {
  Fixture f;
  const Bytes full[] = {Plain(0, 0, Payload(8, 1)), Audio(0, 100, Payload(20, 2)),
                        Video(0, 3, 0, 0, 100, Payload(30, 3)), Plain(3, 0, Payload(12, 4))};
  const size_t header[] = {4, 8, 10, 4};
  for (int t = 0; t < 4; ++t) {
    for (size_t cut = 0; cut <= full[t].size(); ++cut) {
      Bytes piece(full[t].begin(), full[t].begin() + static_cast<long>(cut));
      EXPECT_EQ(f.Add(piece), cut >= header[t]) << "type " << t << " cut " << cut;
      f.now += 1;
      f.Drain();
    }
  }
  EXPECT_FALSE(f.queue.Add(nullptr, 0));
}

TEST(HostileNhpReceive, ReservedFlagBitsAndZeroByteDoNotBreakTheQueue) {
  Fixture f;
  for (int flags = 0; flags < 256; ++flags) {
    Bytes p = {static_cast<uint8_t>(flags), 0xFF, static_cast<uint8_t>(flags), 0};
    Bytes tail = Payload(static_cast<size_t>(flags % 17), static_cast<uint8_t>(flags));
    p.insert(p.end(), tail.begin(), tail.end());
    f.Add(p);
    f.now += 3;
    f.Drain(64);
  }
  f.now += 10000;
  f.Drain(64);
}

TEST(HostileNhpReceive, KeyFrameDeliveredWholeInEveryArrivalOrder) {
  const std::vector<Bytes> parts = {Payload(100, 1), Payload(50, 2), Payload(70, 3)};
  std::vector<int> order = {0, 1, 2};
  do {
    Fixture f;
    // The stream runs: a one-packet key frame went through before.
    f.Add(Video(499, 3, 8, 0, 3960, Payload(5, 5)));
    ASSERT_EQ(f.DrainVideo().size(), 1u);
    for (uint8_t frame_type : {uint8_t{0}, uint8_t{1}}) {
      uint16_t first = frame_type == 0 ? 500 : 503;
      uint32_t ts = frame_type == 0 ? 4000 : 4040;
      uint8_t counter = frame_type == 0 ? 9 : 10;
      auto packets = VideoPackets(first, counter, frame_type, ts, parts);
      for (int i : order) f.Add(packets[static_cast<size_t>(i)]);
      f.now += 1000;
      auto frames = f.DrainVideo();
      ASSERT_EQ(frames.size(), 1u) << order[0] << order[1] << order[2];
      EXPECT_EQ(frames[0], Frame(counter, frame_type, ts, parts));
    }
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST(HostileNhpReceive, DuplicatedPartsAreNotCountedTwice) {
  Fixture f;
  const std::vector<Bytes> parts = {Payload(40, 1), Payload(41, 2), Payload(42, 3)};
  auto packets = VideoPackets(7, 1, 0, 1000, parts);
  f.Add(packets[0]);
  f.Add(packets[1]);
  f.Add(packets[1]);  // the same packet again
  f.Add(packets[0]);
  f.Add(packets[2]);
  f.Add(packets[2]);
  f.now += 1000;
  auto frames = f.DrainVideo();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Frame(1, 0, 1000, parts));
}

TEST(HostileNhpReceive, SequenceWrapInsideAFrame) {
  Fixture f;
  f.Add(Video(65533, 3, 4, 0, 37, Payload(5, 5)));
  ASSERT_EQ(f.DrainVideo().size(), 1u);
  const std::vector<Bytes> parts = {Payload(30, 1), Payload(31, 2), Payload(32, 3)};
  auto packets = VideoPackets(65534, 5, 0, 77, parts);  // 65534, 65535, 0
  f.Add(packets[2]);
  f.Add(packets[0]);
  f.Add(packets[1]);
  f.now += 1000;
  auto frames = f.DrainVideo();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], Frame(5, 0, 77, parts));
}

TEST(HostileNhpReceive, FrameMissingAPartIsNeverDeliveredInPieces) {
  for (int mode : {0, 2}) {
    Fixture f(true, mode);
    uint16_t seq = 100;
    // Key frame 1 complete, key frame 2 with its middle packet lost for good, then delta frames.
    auto k1 = VideoPackets(seq, 1, 0, 1000, {Payload(10, 1)});
    seq += 1;
    auto k2 = VideoPackets(seq, 2, 0, 1040, {Payload(20, 2), Payload(20, 3), Payload(20, 4)});
    seq += 3;
    f.Add(k1[0]);
    f.Add(k2[0]);
    f.Add(k2[2]);
    std::vector<Bytes> got;
    for (uint8_t c = 3; c < 20; ++c) {
      auto d = VideoPackets(seq++, c, 1, 1000 + 40u * c, {Payload(15, c)});
      f.now += 40;
      f.Add(d[0]);
      for (auto& fr : f.DrainVideo()) got.push_back(fr);
    }
    f.now += 5000;
    for (auto& fr : f.DrainVideo()) got.push_back(fr);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], Frame(1, 0, 1000, {Payload(10, 1)}));
    for (auto& fr : got) {
      // Frame 2 is 6 + 60 bytes whole; any other size for its timestamp is a piece of it.
      uint32_t ts = fr[2] | fr[3] << 8 | fr[4] << 16 | static_cast<uint32_t>(fr[5]) << 24;
      EXPECT_NE(ts, 1040u) << "mode " << mode << ": the incomplete frame left the queue";
      if (mode == 0) EXPECT_EQ(ts, 1000u) << "a delta frame before the next key frame";
    }
    EXPECT_GE(f.sink->Count(HX_Cmd_RequestPacket) + f.sink->Count(HX_Cmd_RequestKeyFrame), 1u);
  }
}

TEST(HostileNhpReceive, LyingFragmentPositionsStayMemorySafe) {
  // Every combination of fragment positions over frames of 1..4 packets, with and without a
  // lying key/delta mix; whatever leaves must be a prefix plus the payloads of that timestamp.
  Fixture f;
  uint16_t seq = 0;
  uint32_t ts = 10;
  for (int n = 1; n <= 4; ++n) {
    for (int combo = 0; combo < (1 << (2 * n)); ++combo) {
      ts += 40;
      size_t total = 0;
      for (int i = 0; i < n; ++i) {
        uint8_t frag = static_cast<uint8_t>((combo >> (2 * i)) & 3);
        Bytes p = Payload(static_cast<size_t>(5 + i), static_cast<uint8_t>(combo));
        total += p.size();
        f.Add(Video(seq++, frag, static_cast<uint8_t>(ts / 40), 0, ts, p));
      }
      f.now += 40;
      for (auto& fr : f.DrainVideo()) {
        ASSERT_GE(fr.size(), 6u);
        EXPECT_LE(fr.size(), 6u + 4 * 8) << "more bytes than any frame was sent with";
      }
      (void)total;
    }
  }
  f.now += 10000;
  f.DrainVideo();
}

TEST(HostileNhpReceive, TimestampsAcrossTheWrapAndBackwards) {
  Fixture f;
  uint16_t seq = 0;
  std::vector<uint32_t> stamps = {0xFFFFFF00u, 0xFFFFFF28u, 0xFFFFFF50u, 0x00000010u, 0x00000038u};
  std::vector<uint32_t> got;
  uint8_t counter = 0;
  for (uint32_t ts : stamps) {
    f.Add(Video(seq++, 3, counter++, 0, ts, Payload(12, static_cast<uint8_t>(ts))));
    f.now += 40;
    for (auto& fr : f.DrainVideo()) {
      got.push_back(fr[2] | fr[3] << 8 | fr[4] << 16 | static_cast<uint32_t>(fr[5]) << 24);
    }
  }
  f.now += 2000;
  for (auto& fr : f.DrainVideo()) {
    got.push_back(fr[2] | fr[3] << 8 | fr[4] << 16 | static_cast<uint32_t>(fr[5]) << 24);
  }
  EXPECT_EQ(got, stamps) << "key frames across the 32-bit wrap come out once each, in order";

  // Frames from far in the past (backwards by up to 2^31 - 1): whatever the queue does with them,
  // it goes on delivering the frames that follow, whole and once.
  for (uint32_t back : {40u, 100000u, 0x7FFFFFFFu}) {
    f.Add(Video(seq++, 3, counter++, 0, 0x00000038u - back, Payload(9, 9)));
    f.now += 100;
    for (auto& fr : f.DrainVideo()) EXPECT_EQ(fr.size(), 6u + 9u);
  }
  uint32_t ts = 0x60;
  f.Add(Video(seq++, 3, counter++, 0, ts, Payload(11, 1)));
  f.now += 2000;
  auto after = f.DrainVideo();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0], Frame(static_cast<uint8_t>(counter - 1), 0, ts, {Payload(11, 1)}));
}

TEST(HostileNhpReceive, OutputRoomSmallerThanTheFrame) {
  const std::vector<Bytes> parts = {Payload(300, 1), Payload(300, 2)};
  const Bytes whole = Frame(4, 0, 500, parts);
  for (size_t capacity = 0; capacity <= whole.size(); ++capacity) {
    Fixture f;
    for (auto& p : VideoPackets(0, 4, 0, 500, parts)) f.Add(p);
    f.now += 1000;
    auto frames = f.DrainVideo(capacity);  // guard bytes checked inside
    if (capacity < whole.size()) {
      EXPECT_TRUE(frames.empty()) << "capacity " << capacity;
    } else {
      ASSERT_EQ(frames.size(), 1u);
      EXPECT_EQ(frames[0], whole);
    }
  }
  // Command, audio and data payloads larger than the room are dropped, never cut.
  for (size_t capacity : {size_t{0}, size_t{1}, size_t{10}}) {
    Fixture f;
    f.Add(Plain(0, 0, Payload(40, 1)));
    f.Add(Audio(0, 20, Payload(40, 2)));
    f.Add(Plain(3, 0, Payload(40, 3)));
    f.now += 5000;
    auto outs = f.Drain(capacity);
    for (auto& o : outs) EXPECT_NE(o.type, 2);
    EXPECT_TRUE(outs.empty()) << capacity;
  }
}

TEST(HostileNhpReceive, EmptyPayloadsAreAccepted) {
  Fixture f;
  EXPECT_TRUE(f.Add(Plain(0, 0, {})));
  EXPECT_TRUE(f.Add(Audio(0, 5, {})));
  EXPECT_TRUE(f.Add(Plain(3, 0, {})));
  EXPECT_TRUE(f.Add(Video(0, 3, 0, 0, 9, {})));
  f.now += 5000;
  auto outs = f.Drain();
  bool video = false;
  for (auto& o : outs) {
    if (o.type == 2) {
      video = true;
      EXPECT_EQ(o.data, Frame(0, 0, 9, {}));
    }
    if (o.type == 0) EXPECT_TRUE(o.data.empty());
  }
  EXPECT_TRUE(video);
}

TEST(HostileNhpReceive, EndlessIncompleteFramesKeepMemoryBounded) {
  Fixture f;
  // About one resend request a frame goes out: the sink counts them but does not keep them.
  f.sink->keep = false;
  uint16_t seq = 0;
  uint32_t ts = 0;
  // A key frame first so the queue runs, then frames whose last packet never comes.
  for (auto& p : VideoPackets(seq, 0, 0, ts, {Payload(100, 1)})) f.Add(p);
  seq += 1;
  auto run = [&](int frames, bool complete) {
    for (int i = 0; i < frames; ++i) {
      ts += 33;
      uint8_t counter = static_cast<uint8_t>(ts / 33);
      auto packets =
          VideoPackets(seq, counter, i % 50 == 0 ? 0 : 1, ts, {Payload(600, 1), Payload(600, 2),
                                                                 Payload(600, 3)});
      seq = static_cast<uint16_t>(seq + 3);
      f.Add(packets[0]);
      f.Add(packets[1]);
      if (complete) f.Add(packets[2]);
      f.now += 33;
      f.Drain();
    }
  };
  run(3000, false);
  size_t before = HeapInUse();
  const size_t requests = f.sink->Count(HX_Cmd_RequestPacket);
  run(60000, false);  // twenty times as many, about 33 minutes of video, sequence numbers wrapping
  size_t after = HeapInUse();
  // Nothing is held for more than a few hundred milliseconds: what the queue keeps must not
  // follow the number of frames that went through it.
  EXPECT_LT(after, before + 8 * 1024 * 1024)
      << "heap grew from " << before << " to " << after << " over incomplete frames";
  // The lost packets were asked for all along.
  EXPECT_GT(f.sink->Count(HX_Cmd_RequestPacket), requests + 50000);

  // Complete frames keep nothing either: 14 bytes a frame would show here.
  run(3000, true);
  before = HeapInUse();
  run(20000, true);
  after = HeapInUse();
  EXPECT_LT(after, before + 128 * 1024)
      << "heap grew from " << before << " to " << after << " over complete frames";
}

TEST(HostileNhpReceive, SequenceJumpsKeepMemoryBounded) {
  Fixture f;
  uint16_t seq = 0;
  size_t before = 0;
  for (int i = 0; i < 400; ++i) {
    f.Add(Plain(3, seq, Payload(8, 1)));
    seq = static_cast<uint16_t>(seq + 32000);  // just inside the window, over and over
    f.now += 20;
    f.Drain();
    if (i == 40) before = HeapInUse();
  }
  EXPECT_LT(HeapInUse(), before + 16 * 1024 * 1024);
}

TEST(HostileNhpReceive, DeltaFramesWithoutKeyFrameAskAtMostOncePer2500ms) {
  Fixture f;
  uint16_t seq = 0;
  uint8_t counter = 0;
  for (int i = 0; i < 2400; ++i) {  // 2400 ms, one delta packet a millisecond
    f.Add(Video(seq++, 3, counter++, 1, static_cast<uint32_t>(i * 40), Payload(20, 1)));
    f.now += 1;
    EXPECT_TRUE(f.DrainVideo().empty());
  }
  EXPECT_EQ(f.sink->Count(HX_Cmd_RequestKeyFrame), 1u);
  f.now += 200;
  f.Add(Video(seq++, 3, counter++, 1, 999999, Payload(20, 1)));
  f.Drain();
  EXPECT_EQ(f.sink->Count(HX_Cmd_RequestKeyFrame), 2u);
}

TEST(HostileNhpReceive, ForgedTimeDelayRepliesKeepTheDelaySane) {
  // The tick runs far past 2^31 ms; replies name probes never sent and come absurdly late.
  Fixture f(true, 0, int64_t{1} << 36);
  f.Add(Plain(3, 0, Payload(4, 1)));  // sends probe 0
  ASSERT_EQ(f.sink->Count(HX_Cmd_TimeDelay), 1u);
  std::vector<uint32_t> numbers = {0, 1, 7, 19, 20, 12345, 0xFFFFFFFFu};
  for (int round = 0; round < 3; ++round) {
    for (uint32_t n : numbers) {
      HX_MiscCommand reply;
      reply.TimeDelay(n);
      reply.Reply(0);
      f.now += int64_t{1} << 33;
      f.queue.SetReceivedCommand(reply);
      EXPECT_GE(f.queue.BufferDelay(), 10) << n;
      if (f.queue.BufferDelayValid()) {
        EXPECT_LE(f.queue.BufferDelay(), 2500) << n;
        EXPECT_EQ(f.queue.BufferDelay() % 5, 0) << n;
      }
    }
  }
  // A TimeDelay with no number at all, request and reply, and non-TimeDelay commands.
  HX_MiscCommand empty;
  empty.code = HX_Cmd_TimeDelay;
  empty.mode = HX_CmdMode_Request;
  size_t before = f.sink->sent.size();
  f.queue.SetReceivedCommand(empty);  // answered or ignored, never anything else
  EXPECT_LE(f.sink->sent.size(), before + 1);
  if (f.sink->sent.size() > before) EXPECT_EQ(f.sink->sent.back().mode, HX_CmdMode_Reply);
  empty.mode = HX_CmdMode_Reply;
  f.queue.SetReceivedCommand(empty);
  EXPECT_GE(f.queue.BufferDelay(), 10);
  for (int code = 0; code < 256; ++code) {
    if (code == HX_Cmd_TimeDelay) continue;
    HX_MiscCommand c;
    c.code = static_cast<uint8_t>(code);
    c.mode = HX_CmdMode_Request;
    EXPECT_EQ(f.queue.SetReceivedCommand(c), 0) << code;
  }
  // The queue still works.
  f.Add(Video(0, 3, 0, 0, 5, Payload(10, 1)));
  f.now += 60000;
  EXPECT_EQ(f.DrainVideo().size(), 1u);
}

TEST(HostileNhpReceive, FeedbackOffSendsNothingWhateverArrives) {
  Fixture f(false, 2);
  uint16_t seq = 0;
  for (int i = 0; i < 500; ++i) {
    f.Add(Video(seq, static_cast<uint8_t>(i % 4), static_cast<uint8_t>(i), 1,
                static_cast<uint32_t>(i * 40), Payload(30, 1)));
    seq = static_cast<uint16_t>(seq + 1 + (i % 7) * 3);
    f.Add(Audio(static_cast<uint16_t>(i * 3), static_cast<uint32_t>(i * 20), Payload(10, 1)));
    f.now += 30;
    f.Drain();
  }
  HX_MiscCommand probe;
  probe.TimeDelay(0);
  EXPECT_EQ(f.queue.SetReceivedCommand(probe), 0);
  EXPECT_TRUE(f.sink->sent.empty());
}

// The sequence numbers named by every RequestPacket sent, for one packet type.
std::vector<uint16_t> Requested(const Sink& sink, uint8_t type) {
  std::vector<uint16_t> seqs;
  for (const auto& c : sink.sent) {
    if (c.code != HX_Cmd_RequestPacket) continue;
    EXPECT_EQ(c.DataLength(), 3u);
    if (c.data[2] == type) seqs.push_back(static_cast<uint16_t>(c.data[0] | c.data[1] << 8));
  }
  return seqs;
}

TEST(HostileNhpReceive, LostPacketsAreRequestedOnceAndOnlyThoseMissing) {
  Fixture f;
  f.Add(Video(0, 3, 0, 0, 10, Payload(5, 1)));
  f.DrainVideo();
  f.Add(Video(5, 3, 5, 1, 210, Payload(5, 1)));  // 1..4 missing
  f.Add(Video(6, 3, 6, 1, 250, Payload(5, 1)));
  f.Add(Video(3, 3, 3, 1, 130, Payload(5, 1)));  // one of them late
  f.Add(Video(7, 3, 7, 1, 290, Payload(5, 1)));
  f.Add(Video(5, 3, 5, 1, 210, Payload(5, 1)));  // a duplicate
  f.now += 2000;
  f.Drain();
  EXPECT_EQ(Requested(*f.sink, HX_Nhp_Video), (std::vector<uint16_t>{1, 2, 3, 4}));

  // A far jump names only numbers inside the gap, each once, and the queue keeps working.
  Fixture g;
  g.Add(Video(0, 3, 0, 0, 10, Payload(5, 1)));
  g.DrainVideo();
  g.Add(Video(30000, 3, 1, 0, 50, Payload(5, 1)));
  auto named = Requested(*g.sink, HX_Nhp_Video);
  std::vector<uint16_t> sorted = named;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "named twice";
  for (uint16_t s : named) {
    EXPECT_GE(s, 1);
    EXPECT_LE(s, 29999);
  }
  fprintf(stderr, "one packet 30000 ahead made %zu resend requests\n", named.size());
  g.now += 2000;
  EXPECT_EQ(g.DrainVideo().size(), 1u);
}

TEST(HostileNhpReceive, StatisticsStaySaneUnderAbsurdTimestamps) {
  Fixture f;
  uint16_t seq = 0;
  for (int i = 0; i < 2000; ++i) {
    uint32_t ts = (i % 2) ? 0x7FFFFFFFu : 1u;
    f.Add(Audio(seq, ts, Payload(10, 1)));
    seq = static_cast<uint16_t>(seq + 1 + (i % 3 == 0 ? 30000 : 0));
    f.now += 10;
    f.Drain();
  }
  uint32_t jitter = 0, lost = 0;
  f.queue.GetStatistics(jitter, lost);
  // Every Stat record sent is 34 bytes with counts no larger than what arrived in a second.
  for (auto& c : f.sink->sent) {
    if (c.code != HX_Cmd_Stat) continue;
    ASSERT_EQ(c.DataLength(), HX_NhpStatRecordSize);
    EXPECT_LE(c.data[0], 1);
    EXPECT_LE(c.data[1], 1);
    uint16_t audioPackets = static_cast<uint16_t>(c.data[2 + 8] | c.data[3 + 8] << 8);
    EXPECT_LE(audioPackets, 110) << "more than arrived in one second";
  }
  EXPECT_GT(f.sink->Count(HX_Cmd_Stat), 10u);
}

}  // namespace
