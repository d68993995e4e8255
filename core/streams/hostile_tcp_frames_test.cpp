// A hostile or broken peer on a TCP media connection: frames cut at every byte, lying and oversized
// lengths, wrong checksums, garbage, floods of empty frames, and commands cut out of such frames.
// Every input is copied into a heap buffer of exactly its size, so that a read past it shows up
// under AddressSanitizer.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_control_band.h"
#include "core/streams/tcp_send_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A heap copy of exactly bytes.size() bytes (a zero-sized allocation for an empty input).
struct Exact {
  explicit Exact(const Bytes& bytes) : size(bytes.size()), data(new uint8_t[bytes.size()]) {
    if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
  }
  Exact(const uint8_t* p, size_t n) : size(n), data(new uint8_t[n]) {
    if (n != 0) std::memcpy(data.get(), p, n);
  }
  size_t size;
  std::unique_ptr<uint8_t[]> data;
};

// The checksum as the wire defines it, written independently of the code under test.
uint8_t ReferenceCksum(const uint8_t* p, size_t n) {
  unsigned sum = 172;
  for (size_t i = 0; i < n; i += 234) sum += p[i];
  return static_cast<uint8_t>(sum);
}

// A frame as a peer writes it: head (little-endian) then payload. `checksum` < 0: the right one.
Bytes Frame(const Bytes& payload, uint8_t track, uint32_t tick = 0x01020304, int checksum = -1,
            int length_override = -1) {
  const unsigned length = length_override >= 0 ? unsigned(length_override) : payload.size();
  Bytes out(8);
  out[0] = uint8_t(length);
  out[1] = uint8_t(length >> 8);
  out[2] = uint8_t(tick);
  out[3] = uint8_t(tick >> 8);
  out[4] = uint8_t(tick >> 16);
  out[5] = uint8_t(tick >> 24);
  out[6] = track;
  out[7] = checksum >= 0 ? uint8_t(checksum) : ReferenceCksum(payload.data(), payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Pattern(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out(n);
  for (auto& b : out) b = uint8_t(random());
  return out;
}

const HX_StreamFrameHead* AsHead(const uint8_t* p) {
  return reinterpret_cast<const HX_StreamFrameHead*>(p);
}

// --- The frame head ------------------------------------------------------------------------------

TEST(HostileTcpFrameHead, FieldsAreLittleEndianAtAnyAlignment) {
  // An odd offset in an exact buffer: the head may sit anywhere in the receive buffer.
  Bytes raw = {0xEE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x5A};
  Exact exact(raw);
  const HX_StreamFrameHead* head = AsHead(exact.data.get() + 1);
  EXPECT_EQ(head->Length(), 0xFFFF);
  EXPECT_EQ(head->Tick(), 0xFFFFFFFFu);
  EXPECT_EQ(head->Track(), 7);
  EXPECT_EQ(head->Checksum(), 0x5A);
}

TEST(HostileTcpFrameHead, ChecksumSamplesEvery234thByteAndChecksExactlyTheLength) {
  for (size_t length : {0u, 1u, 233u, 234u, 235u, 467u, 468u, 469u, 4000u, 65535u}) {
    SCOPED_TRACE(length);
    const Bytes payload = Pattern(length, unsigned(length) + 1);
    Exact exact(payload);
    HX_StreamFrameHead head;
    head.Set(length ? exact.data.get() : nullptr, uint16_t(length), 0xFFFFFFFFu, 254);
    EXPECT_EQ(head.Length(), length);
    EXPECT_EQ(head.Tick(), 0xFFFFFFFFu);
    EXPECT_EQ(head.Checksum(), ReferenceCksum(payload.data(), length));
    EXPECT_TRUE(head.CheckPayload(exact.data.get()));
    if (length == 0) {
      EXPECT_EQ(head.Checksum(), 172);
      continue;
    }
    // A wrong checksum byte is rejected.
    HX_StreamFrameHead lying = head;
    lying.bytes[7] ^= 0x01;
    EXPECT_FALSE(lying.CheckPayload(exact.data.get()));
    // A corrupted sampled byte is rejected; the last sampled offset is the hostile edge.
    const size_t last_sampled = (length - 1) / 234 * 234;
    exact.data[last_sampled] ^= 0x80;
    EXPECT_FALSE(head.CheckPayload(exact.data.get()));
  }
}

// --- Cutting frames out of the byte stream -------------------------------------------------------

TEST(HostileTcpAssemble, FrameCutAtEveryByteIsNeverReturnedEarly) {
  for (size_t length : {0u, 1u, 7u, 8u, 9u, 234u, 1000u}) {
    SCOPED_TRACE(length);
    // The frame followed by the start of another one, so the cut may also run past its end.
    Bytes stream = Frame(Pattern(length, 3), 254);
    const size_t total = stream.size();
    const Bytes next = Frame(Pattern(20, 4), 1);
    stream.insert(stream.end(), next.begin(), next.end());
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
      Exact exact(stream.data(), cut);
      const HX_StreamFrameHead* head =
          HX_RecvFrameQueueTCPv2::AssemblePacket(exact.data.get(), cut);
      if (cut < total) {
        EXPECT_EQ(head, nullptr) << "cut " << cut;
      } else {
        ASSERT_EQ(reinterpret_cast<const uint8_t*>(head), exact.data.get()) << "cut " << cut;
        EXPECT_EQ(head->Length(), length);
      }
    }
  }
}

TEST(HostileTcpAssemble, LengthsNearTheTopOfSixteenBitsDoNotWrap) {
  // Length + 8 computed in 16 bits would wrap to 0..7 and hand out a frame of a few bytes whose
  // head claims up to 65535: the caller would then read far past the buffer.
  for (int length = 0xFFF0; length <= 0xFFFF; ++length) {
    for (size_t buffered : {8u, 9u, 15u, 16u, 64u, 65000u}) {
      Bytes stream = Frame({}, 2, 0, 0, length);
      stream.resize(buffered, 0xAB);
      Exact exact(stream);
      EXPECT_EQ(HX_RecvFrameQueueTCPv2::AssemblePacket(exact.data.get(), buffered), nullptr)
          << "length " << length << " buffered " << buffered;
    }
  }
  // The largest frame: complete only with every one of its 65543 bytes.
  Bytes big = Frame(Pattern(0xFFFF, 9), 255);
  Exact almost(big.data(), big.size() - 1);
  EXPECT_EQ(HX_RecvFrameQueueTCPv2::AssemblePacket(almost.data.get(), almost.size), nullptr);
  Exact whole(big);
  EXPECT_NE(HX_RecvFrameQueueTCPv2::AssemblePacket(whole.data.get(), whole.size), nullptr);
}

TEST(HostileTcpAssemble, NothingOrAPartialHeadGivesNothing) {
  EXPECT_EQ(HX_RecvFrameQueueTCPv2::AssemblePacket(nullptr, 0), nullptr);
  const Bytes zero_frame = Frame({}, 254);
  for (size_t n = 0; n < 8; ++n) {
    Exact exact(zero_frame.data(), n);
    EXPECT_EQ(HX_RecvFrameQueueTCPv2::AssemblePacket(exact.data.get(), n), nullptr) << n;
  }
  Exact whole(zero_frame);
  EXPECT_NE(HX_RecvFrameQueueTCPv2::AssemblePacket(whole.data.get(), 8), nullptr);
}

// A receive loop over the buffer as the TCP receive handler runs it: append what the socket gave,
// cut out every complete frame, move the unread rest to the front when space runs out.
struct Receiver {
  HX_RecvFrameQueueTCPv2 queue;
  std::vector<Bytes> frames;

  void Feed(const uint8_t* p, size_t n) {
    while (n > 0) {
      if (queue.GetPacketBufferSize() <= 0) {
        ASSERT_TRUE(queue.cutHeadGap()) << "buffer full of one incomplete frame";
      }
      const size_t room = size_t(queue.GetPacketBufferSize());
      const size_t take = std::min(room, n);
      std::memcpy(queue.GetPacketBufferWrite(), p, take);
      ASSERT_TRUE(queue.IncPacketBufferWrite(int64_t(take)));
      p += take;
      n -= take;
      Drain();
    }
  }

  void Drain() {
    while (const HX_StreamFrameHead* head = queue.AssemblePacket()) {
      const uint8_t* start = reinterpret_cast<const uint8_t*>(head);
      ASSERT_EQ(start, queue.GetPacketBufferRead());
      const int64_t size = int64_t(head->Length()) + 8;
      ASSERT_LE(size, queue.GetPacketBufferWriteSize()) << "frame claims more than is buffered";
      frames.emplace_back(start, start + size);
      ASSERT_TRUE(queue.IncPacketBuffer(size));
    }
  }
};

TEST(HostileTcpReceive, GoodFramesAfterBadOnesAreStillDeliveredWhateverTheChunking) {
  // Framing does not depend on the checksum: a frame with a wrong one is cut out like any other
  // (and fails CheckPayload), and the stream goes on with the next frame.
  struct Item {
    Bytes frame;
    bool good;
  };
  std::vector<Item> items;
  items.push_back({Frame(Pattern(100, 1), 254), true});
  items.push_back({Frame(Pattern(300, 2), 1, 7, 0x00 /* wrong */), false});
  items.push_back({Frame({}, 2), true});
  items.push_back({Frame({}, 5, 0, 0 /* empty payload needs 172 */), false});
  items.push_back({Frame(Pattern(0xFFFF, 3), 255), true});
  items.push_back({Frame(Pattern(470, 4), 0, 0, 0x5A), false});
  items.push_back({Frame(Pattern(8, 5), 254, 0xFFFFFFFF), true});
  for (auto& item : items) {
    if (!item.good && item.frame.size() > 8 &&
        item.frame[7] == ReferenceCksum(item.frame.data() + 8, item.frame.size() - 8)) {
      item.frame[7] ^= 0xFF;  // make sure the "wrong" checksum is wrong
    }
  }
  Bytes stream;
  for (const auto& item : items) stream.insert(stream.end(), item.frame.begin(), item.frame.end());

  for (size_t chunk : {size_t(1), size_t(7), size_t(8), size_t(9), size_t(4096), size_t(65543),
                       size_t(131072 + 16384), stream.size()}) {
    SCOPED_TRACE(chunk);
    Receiver receiver;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      const size_t n = std::min(chunk, stream.size() - at);
      Exact piece(stream.data() + at, n);
      receiver.Feed(piece.data.get(), n);
      if (HasFatalFailure()) return;
    }
    ASSERT_EQ(receiver.frames.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(receiver.frames[i], items[i].frame) << i;
      Exact copy(receiver.frames[i]);
      EXPECT_EQ(AsHead(copy.data.get())->CheckPayload(copy.data.get() + 8), items[i].good) << i;
    }
    EXPECT_EQ(receiver.queue.GetPacketBufferWriteSize(), 0);
  }
}

TEST(HostileTcpReceive, EndlessEmptyFramesKeepFlowingThroughTheFixedBuffer) {
  const Bytes one = Frame({}, 254);
  Bytes chunk;
  for (int i = 0; i < 4096 / 8 + 1; ++i) chunk.insert(chunk.end(), one.begin(), one.end());
  Receiver receiver;
  const int64_t capacity = receiver.queue.capacity();
  size_t fed = 0;
  size_t delivered = 0;
  for (int round = 0; round < 400; ++round) {
    // Reads that end inside a head, so that heads straddle every read.
    receiver.Feed(chunk.data(), 4099);
    receiver.Feed(chunk.data() + 4099, chunk.size() - 4099);
    if (HasFatalFailure()) return;
    fed += chunk.size();
    delivered += receiver.frames.size();
    receiver.frames.clear();
  }
  EXPECT_EQ(receiver.queue.capacity(), capacity);
  EXPECT_EQ(delivered * 8, fed);
  EXPECT_EQ(receiver.queue.GetPacketBufferWriteSize(), 0);
}

TEST(HostileTcpReceive, GarbageNeverYieldsAFrameLongerThanWhatIsBuffered) {
  std::mt19937 random(1234);
  for (int run = 0; run < 20; ++run) {
    const Bytes garbage = Pattern(200000, run);
    Receiver receiver;
    size_t consumed = 0;
    for (size_t at = 0; at < garbage.size();) {
      const size_t n = std::min<size_t>(1 + random() % 70000, garbage.size() - at);
      Exact piece(garbage.data() + at, n);
      receiver.Feed(piece.data.get(), n);
      if (HasFatalFailure()) return;
      at += n;
    }
    for (const auto& f : receiver.frames) consumed += f.size();
    EXPECT_EQ(consumed + size_t(receiver.queue.GetPacketBufferWriteSize()), garbage.size());
    // The same walk over an exact copy of the whole stream, frame by frame.
    Exact whole(garbage);
    size_t at = 0;
    size_t walked = 0;
    while (const HX_StreamFrameHead* head =
               HX_RecvFrameQueueTCPv2::AssemblePacket(whole.data.get() + at, whole.size - at)) {
      at += head->Length() + 8u;
      ASSERT_LE(at, whole.size);
      ++walked;
    }
    EXPECT_EQ(walked, receiver.frames.size());
  }
}

// --- Commands cut out of received frames ---------------------------------------------------------

TEST(HostileTcpCommand, CommandFromAFrameHeadReadsOnlyThePayloadItHas) {
  // Payload: code 10, mode 4, result 9, a length byte that lies (255), then data.
  for (size_t length : {0u, 1u, 3u, 4u, 5u, 8u, 100u, 253u, 254u, 255u, 256u, 1000u, 65535u}) {
    SCOPED_TRACE(length);
    Bytes payload = Pattern(length, 77);
    if (length > 0) payload[0] = 10;
    if (length > 1) payload[1] = 4;
    if (length > 2) payload[2] = 9;
    if (length > 3) payload[3] = 255;
    Exact frame(Frame(payload, 254));
    const HX_MiscCommand command(AsHead(frame.data.get()));
    const uint8_t* record = command.Bytes();
    if (length < 4 || length > 254) {
      for (size_t i = 0; i < HX_MiscCommandRecordSize; ++i) ASSERT_EQ(record[i], 0) << i;
      continue;
    }
    EXPECT_EQ(command.code, 10);
    EXPECT_EQ(command.mode, 4);
    EXPECT_EQ(command.result, 9);
    const size_t data_length = std::min<size_t>(250, length - 4);
    EXPECT_EQ(command.DataLength(), data_length);
    EXPECT_EQ(command.CommandSize(), 4 + data_length);
    EXPECT_LE(command.CommandSize(), length);
    for (size_t i = 0; i < 250; ++i) {
      ASSERT_EQ(command.data[i], i < data_length ? payload[4 + i] : 0) << i;
    }
  }
  const HX_MiscCommand none(static_cast<const HX_StreamFrameHead*>(nullptr));
  EXPECT_EQ(none.CommandSize(), 4u);
  EXPECT_EQ(none.code, 0);
}

TEST(HostileTcpCommand, CommandFromRawBytesOfEverySizeNeverReadsPastThem) {
  for (size_t size = 0; size <= 300; ++size) {
    Bytes raw = Pattern(size, unsigned(size));
    if (size > 3) raw[3] = 255;
    Exact exact(raw);
    const HX_MiscCommand command(size ? static_cast<const void*>(exact.data.get()) : nullptr, size);
    if (size < 4) {
      EXPECT_EQ(command.code, 0) << size;
      EXPECT_EQ(command.CommandSize(), 4u) << size;
      continue;
    }
    const size_t data_length = std::min<size_t>(250, size - 4);
    ASSERT_EQ(command.DataLength(), data_length) << size;
    // Reading integers at and past the end of the data gives 0, never bytes from beyond it.
    for (size_t offset : {size_t(0), data_length >= 4 ? data_length - 4 : 0, data_length,
                          size_t(250), SIZE_MAX - 3, SIZE_MAX - 1, SIZE_MAX}) {
      const uint32_t value = command.DataU32(offset);
      if (offset <= data_length && data_length - offset >= 4) {
        uint32_t expect = 0;
        for (int i = 3; i >= 0; --i) expect = (expect << 8) | raw[4 + offset + i];
        EXPECT_EQ(value, expect) << size << " at " << offset;
      } else {
        EXPECT_EQ(value, 0u) << size << " at " << offset;
      }
    }
  }
}

struct Processor : HX_CmndProc {
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    addCommandInt(command, to_send);
    return true;
  }
};

TEST(HostileTcpCommand, LengthBytesAbove250NeverWidenARecord) {
  // A record whose length byte lies (251 to 255), taken through every copy a command makes on its
  // way through the lists: what comes out carries at most 250 data bytes.
  for (int length = 250; length <= 255; ++length) {
    SCOPED_TRACE(length);
    HX_MiscCommand raw;
    raw.code = HX_Cmd_Stat;
    raw.mode = HX_CmdMode_Info;
    std::memset(raw.data, 0x5C, sizeof(raw.data));
    raw.length = uint8_t(length);
    EXPECT_LE(raw.CommandSize(), HX_MiscCommandRecordSize);
    EXPECT_LE(raw.DataLength(), HX_MiscCommandMaxData);
    const HX_MiscCommand copy(raw);
    EXPECT_EQ(copy.length, 250);
    HX_MiscData data;
    data.length = uint8_t(length);
    const HX_MiscCommand from_data(data);
    EXPECT_EQ(from_data.length, 250);
    HX_MiscCommand assigned;
    assigned = data;
    EXPECT_EQ(assigned.length, 250);
    Processor processor;
    processor.AddCommand(raw, false);
    processor.AddCommand(raw, true);
    HX_MiscCommand out;
    ASSERT_TRUE(processor.ReadRcvCommand(out, true));
    EXPECT_EQ(out.length, 250);
    EXPECT_EQ(out.CommandSize(), HX_MiscCommandRecordSize);
    ASSERT_TRUE(processor.PopSndCommand(out));
    EXPECT_EQ(out.length, 250);
    EXPECT_FALSE(processor.ReadRcvCommand(out, true));
    EXPECT_FALSE(processor.PopSndCommand(out));
  }
}

// --- Passing received frames on ------------------------------------------------------------------

struct Clock {
  int64_t now = 1000;
  HX_TickSource Source() {
    return [this] { return now; };
  }
};

// Sends everything queued, part by part, as the TCP send handler does; returns the byte stream.
Bytes SendAll(HX_SendFrameQueueTCPv2& queue) {
  Bytes wire;
  while (HX_CommitFrameBase* frame = queue.GetFrame()) {
    const uint64_t part = frame->CurrentPartSize();
    if (part == 0) break;
    wire.insert(wire.end(), frame->Buffer(), frame->Buffer() + part);
    queue.NextPart(part);
  }
  return wire;
}

TEST(HostileTcpPost, PassedOnFramesGetAFreshChecksumAndTheirTracksPriority) {
  Clock clock;
  HX_SendFrameQueueTCPv2 queue(clock.Source());
  queue.Reset(1000);
  // Received frames, some with wrong checksums, in an order that their priorities reverse.
  const std::vector<std::pair<uint8_t, size_t>> received = {{7, 0},     {5, 3},  {2, 65535}, {1, 1},
                                                            {255, 250}, {0, 10}, {254, 4}};
  for (const auto& [track, length] : received) {
    Exact frame(Frame(Pattern(length, track), track, 0, 0x11 /* likely wrong */));
    ASSERT_TRUE(queue.PostFrame(AsHead(frame.data.get()))) << int(track);
  }
  const Bytes wire = SendAll(queue);
  Receiver receiver;
  receiver.Feed(wire.data(), wire.size());
  ASSERT_EQ(receiver.frames.size(), received.size());
  const std::vector<uint8_t> order = {255, 254, 1, 2, 5, 7, 0};  // priorities 1,1,2,3,4,5,5
  for (size_t i = 0; i < order.size(); ++i) {
    Exact copy(receiver.frames[i]);
    const HX_StreamFrameHead* head = AsHead(copy.data.get());
    EXPECT_EQ(head->Track(), order[i]) << i;
    EXPECT_TRUE(head->CheckPayload(copy.data.get() + 8)) << i;
  }
  for (unsigned track : {0u, 3u, 6u, 253u, 256u, UINT_MAX}) {
    EXPECT_EQ(HX_SendFrameQueueTCPv2::PostPriority(track), 5) << track;
  }
  QueueStatistics all;
  queue.GetQueueStatistics(256, all);
  EXPECT_EQ(all.bytes, 0u);
  EXPECT_EQ(all.frames, 0u);
}

TEST(HostileTcpPost, RelayStatisticsCutOutOfAHostileStreamReachTheControlSafely) {
  // The whole receive path of relay statistics: a stream of command frames with any payload
  // length and any bytes, read in arbitrary pieces, each frame of track 254 made a command and
  // handed to the send queue's bandwidth control while the clock runs.
  std::mt19937 random(4242);
  Bytes stream;
  for (int i = 0; i < 3000; ++i) {
    Bytes payload = Pattern(random() % 300, i);
    if (!payload.empty() && random() % 4 != 0) payload[0] = HX_Cmd_BrokerStat;
    if (payload.size() > 14 && random() % 2) payload[14] = uint8_t(random() % 16);  // entry count
    const Bytes frame = Frame(payload, random() % 8 == 0 ? 2 : 254);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  Clock clock;
  HX_SendFrameQueueTCPv2 queue(clock.Source());
  queue.Reset(1000);
  queue.CalcVideoBandwidth(1000);
  Receiver receiver;
  size_t commands = 0;
  for (size_t at = 0; at < stream.size();) {
    const size_t n = std::min<size_t>(1 + random() % 3000, stream.size() - at);
    Exact piece(stream.data() + at, n);
    receiver.Feed(piece.data.get(), n);
    if (HasFatalFailure()) return;
    at += n;
    for (const Bytes& f : receiver.frames) {
      Exact copy(f);
      const HX_StreamFrameHead* head = AsHead(copy.data.get());
      if (head->Track() != 254) continue;
      const HX_MiscCommand command(head);
      ASSERT_LE(command.CommandSize(), std::max<size_t>(4, head->Length()));
      const int acted = queue.ProcessBrokerStatistics(command);
      EXPECT_EQ(acted, command.code == HX_Cmd_BrokerStat ? 10 : 0);
      ++commands;
    }
    receiver.frames.clear();
    clock.now += random() % 700;
    const int answer = queue.CalcVideoBandwidth(1000);
    ASSERT_GE(answer, 0);
    ASSERT_LE(answer, 1000);
  }
  EXPECT_GT(commands, 2000u);
  EXPECT_EQ(receiver.queue.GetPacketBufferWriteSize(), 0);
  EXPECT_LE(queue.Control().Tracks().size(), 257u);
}

// --- What the send queue refuses -----------------------------------------------------------------

TEST(HostileTcpQueue, SizesTracksAndPrioritiesAtTheirLimits) {
  Clock clock;
  HX_SendFrameQueueTCPv2 queue(clock.Source());
  queue.Reset(1000);
  struct Case {
    int track;
    size_t size;
    int descriptor;
    int accepted;  // 1 queued, 0 refused, -1 either (a negative descriptor
                   // length)
  };
  const size_t max_video = 1 + HX_TcpVideoMaxParts * HX_TcpVideoPartSize;
  const Case cases[] = {
      {INT_MIN, 10, 0, false},
      {-1, 10, 0, false},
      {0, 10, 0, false},
      {3, 10, 0, false},
      {255, 10, 0, false},
      {256, 10, 0, false},
      {INT_MAX, 10, 0, false},
      {1, 0, 0, false},
      {1, 3, 0, false},
      {1, 4, 0, true},
      {1, 65539, 0, true},
      {1, 65540, 0, false},
      {254, 0, 0, true},
      {254, 65535, 0, true},
      {254, 65536, 0, false},
      {2, 0, 0, false},
      {2, 5, 0, false},
      {2, 6, 0, true},
      {2, max_video, 0, true},
      {2, max_video + 1, 0, false},
      // Descriptors stay off TCP: whatever the header says, no part carries one.
      {2, 9000, 57532, true},
      {2, 9000, 57533, true},
      {2, 9000, INT_MAX, true},
      {2, 9000, -1, true},
      {2, 9000, INT_MIN, true},
  };
  const Bytes input = Pattern(max_video + 1, 5);
  const Bytes descriptor(65536, 0xD5);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "track " << c.track << " size " << c.size << " d " << c.descriptor);
    Exact data(input.data(), c.size);
    Exact desc(descriptor.data(), c.descriptor > 0 && c.descriptor <= 65536 ? c.descriptor : 0);
    HX_SendNhpVideoHeader header;
    header.layerDescriptor = desc.data.get();
    header.layerDescriptorLength = c.descriptor;
    const size_t before = queue.QueuedFrames();
    const bool accepted = queue.AddFrame(c.track, c.size, data.data.get(), &header, 3);
    if (c.accepted >= 0) EXPECT_EQ(accepted, c.accepted == 1);
    EXPECT_EQ(queue.QueuedFrames(), before + (accepted ? 1 : 0));
  }
  // Whatever was accepted goes out as well-formed frames.
  const Bytes wire = SendAll(queue);
  Receiver receiver;
  receiver.Feed(wire.data(), wire.size());
  EXPECT_EQ(receiver.queue.GetPacketBufferWriteSize(), 0);
  for (const Bytes& f : receiver.frames) {
    Exact copy(f);
    EXPECT_TRUE(AsHead(copy.data.get())->CheckPayload(copy.data.get() + 8));
    // A video part is chunk and trailer, nothing after it.
    if (AsHead(copy.data.get())->Track() == 2) {
      EXPECT_LE(AsHead(copy.data.get())->Length(), HX_TcpVideoPartSize + HX_TcpVideoTrailerSize);
    }
  }
}

TEST(HostileTcpQueue, PriorityValuesOutsideAByteAreTakenModulo256) {
  Clock clock;
  HX_SendFrameQueueTCPv2 queue(clock.Source());
  queue.Reset(1000);
  const int priorities[] = {INT_MAX, -1, 256, INT_MIN, 1, 257};
  for (size_t i = 0; i < std::size(priorities); ++i) {
    const uint8_t marker = uint8_t(i);
    ASSERT_TRUE(queue.AddOrdinaryFrame(254, 1, &marker, priorities[i]));
  }
  // mod 256: INT_MAX -> 255, -1 -> 255, 256 -> 0, INT_MIN -> 0, 1 -> 1, 257 -> 1.
  const Bytes expected_order = {2, 3, 4, 5, 0, 1};
  const Bytes wire = SendAll(queue);
  ASSERT_EQ(wire.size(), 9 * expected_order.size());
  for (size_t i = 0; i < expected_order.size(); ++i) {
    EXPECT_EQ(wire[9 * i + 8], expected_order[i]) << i;
  }
}

TEST(HostileTcpQueue, StrayNextPartCallsChangeNothing) {
  Clock clock;
  HX_SendFrameQueueTCPv2 queue(clock.Source());
  queue.Reset(1000);
  queue.NextPart(65543);  // nothing queued, nothing selected
  const uint8_t byte = 1;
  ASSERT_TRUE(queue.AddOrdinaryFrame(254, 1, &byte, 1));
  queue.NextPart(9);  // a frame queued but not selected by GetFrame
  QueueStatistics all;
  queue.GetQueueStatistics(256, all);
  EXPECT_EQ(all.bytes, 9u);
  EXPECT_EQ(all.frames, 1u);
  HX_CommitFrameBase* frame = queue.GetFrame();
  ASSERT_NE(frame, nullptr);
  queue.NextPart(frame->CurrentPartSize());
  queue.NextPart(9);  // once more, after the part went out
  queue.GetQueueStatistics(256, all);
  EXPECT_EQ(all.bytes, 0u);
  EXPECT_EQ(all.frames, 0u);
  EXPECT_EQ(queue.GetFrame(), nullptr);
}

}  // namespace
