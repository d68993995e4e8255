// Stream control commands: the builders' wire bytes in one table, readers fed short, long and
// lying records (length bytes 251 to 255, lengths above the bytes present, frame heads of every
// payload size around the limits), and the command lists in arrival order.

#include "core/streams/stream_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/streams/stream_frame_head.h"
#include "core/wire/media_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(const HX_MiscCommand& command) {
  return Bytes(command.Bytes(), command.Bytes() + command.CommandSize());
}

bool AllZero(const HX_MiscCommand& command) {
  const Bytes zero(sizeof command, 0);
  return std::memcmp(&command, zero.data(), sizeof command) == 0;
}

Bytes Ramp(size_t n, uint8_t start = 1) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(start + i);
  return out;
}

HX_MediaFormat SomeFormat() {
  HX_MediaFormat format;
  format.width = 1280;
  format.height = 720;
  return format;
}

Bytes FormatBytes(const HX_MediaFormat& format) {
  const auto* p = reinterpret_cast<const uint8_t*>(&format);
  return Bytes(p, p + 44);
}

Bytes Concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST(StreamCommand, BuildersOnAFreshCommand) {
  const Bytes stat = Ramp(300);
  const HX_MediaFormat format = SomeFormat();
  struct Case {
    const char* name;
    std::function<void(HX_MiscCommand&)> build;
    Bytes wire;
  };
  const Case cases[] = {
      {"RequestKeyFrame", [](HX_MiscCommand& c) { c.RequestKeyFrame(); }, {1, 4, 0, 0}},
      {"RestrictBitrate",
       [](HX_MiscCommand& c) { c.RestrictBitrate(0x01020304); },
       {2, 1, 0, 4, 4, 3, 2, 1}},
      {"SetFpsVsQ", [](HX_MiscCommand& c) { c.SetFpsVsQ(30); }, {3, 1, 0, 4, 30, 0, 0, 0}},
      {"ChangeSndMFormat", [&](HX_MiscCommand& c) { c.ChangeSndMFormat(format); },
       Concat({4, 1, 0, 44}, FormatBytes(format))},
      {"ChangeRcvMFormat", [&](HX_MiscCommand& c) { c.ChangeRcvMFormat(format); },
       Concat({5, 1, 0, 44}, FormatBytes(format))},
      {"InfoRcvMFormat", [&](HX_MiscCommand& c) { c.InfoRcvMFormat(format); },
       Concat({5, 4, 0, 44}, FormatBytes(format))},
      {"Stat of 300 bytes", [&](HX_MiscCommand& c) { c.Stat(stat.data(), stat.size()); },
       Concat({6, 4, 0, 250}, Bytes(stat.begin(), stat.begin() + 250))},
      {"Stat of 34 bytes", [&](HX_MiscCommand& c) { c.Stat(stat.data(), 34); },
       Concat({6, 4, 0, 34}, Bytes(stat.begin(), stat.begin() + 34))},
      {"RequestPacket",
       [](HX_MiscCommand& c) { c.RequestPacket("\x07\x01\x02", 3); },
       {7, 4, 0, 3, 7, 1, 2}},
      {"TimeDelay", [](HX_MiscCommand& c) { c.TimeDelay(5); }, {8, 1, 0, 4, 5, 0, 0, 0}},
      {"Ping", [](HX_MiscCommand& c) { c.Ping(); }, {9, 4, 0, 0}},
      {"BrokerStat", [](HX_MiscCommand& c) { c.BrokerStat("ab", 2); }, {10, 4, 0, 2, 'a', 'b'}},
      {"Reply", [](HX_MiscCommand& c) { c.TimeDelay(9), c.Reply(3); }, {8, 2, 3, 4, 9, 0, 0, 0}},
      {"RequestKeyFrame keeps the data",
       [](HX_MiscCommand& c) { c.RestrictBitrate(7), c.RequestKeyFrame(); },
       {1, 4, 0, 4, 7, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    HX_MiscCommand command;
    c.build(command);
    EXPECT_EQ(Wire(command), c.wire) << c.name;
    EXPECT_LE(command.CommandSize(), 254u) << c.name;
  }
}

TEST(StreamCommand, FromBytes) {
  struct Case {
    const char* name;
    Bytes in;
    Bytes wire;  // empty: all zero
  };
  const Bytes full = Concat({6, 4, 9, 250}, Ramp(250));
  const Case cases[] = {
      {"3 bytes", {1, 4, 0}, {}},
      {"head only", {1, 4, 0, 0}, {1, 4, 0, 0}},
      {"exact", {2, 1, 0, 4, 1, 2, 3, 4}, {2, 1, 0, 4, 1, 2, 3, 4}},
      {"trailing bytes ignored", {2, 1, 0, 2, 1, 2, 3, 4}, {2, 1, 0, 2, 1, 2}},
      {"length above the bytes present", {7, 4, 0, 200, 1, 2, 3}, {7, 4, 0, 3, 1, 2, 3}},
      {"head claiming data it lacks", {7, 4, 0, 9}, {7, 4, 0, 0}},
      {"full record", full, full},
      {"longer than a record", Concat(full, Ramp(40)), full},
  };
  for (const Case& c : cases) {
    const HX_MiscCommand command(c.in.data(), c.in.size());
    if (c.wire.empty()) {
      EXPECT_TRUE(AllZero(command)) << c.name;
    } else {
      EXPECT_EQ(Wire(command), c.wire) << c.name;
    }
  }
  EXPECT_TRUE(AllZero(HX_MiscCommand(nullptr, 100)));
}

TEST(StreamCommand, LengthBytesAboveTheLimit) {
  // Every reader and copy keeps at most 250 data bytes, whatever the length byte says.
  for (unsigned byte = 250; byte <= 255; ++byte) {
    SCOPED_TRACE(byte);
    Bytes in = Concat({6, 4, 0, static_cast<uint8_t>(byte)}, Ramp(250));
    in.resize(300, 0xEE);
    const HX_MiscCommand read(in.data(), in.size());
    EXPECT_EQ(read.length, 250);
    EXPECT_EQ(Wire(read), Concat({6, 4, 0, 250}, Ramp(250)));

    HX_MiscCommand lying;
    lying.code = 6;
    lying.length = static_cast<uint8_t>(byte);
    std::memcpy(lying.data, Ramp(250).data(), 250);
    EXPECT_EQ(lying.CommandSize(), 254u);
    const HX_MiscCommand copy(lying);
    EXPECT_EQ(copy.length, 250);
    EXPECT_EQ(Wire(copy), Concat({6, 0, 0, 250}, Ramp(250)));
    HX_MiscCommand assigned;
    assigned = lying;
    EXPECT_EQ(assigned.length, 250);
    const HX_MiscData data(lying);
    EXPECT_EQ(data.length, 250);
    EXPECT_EQ(HX_MiscCommand(data).length, 250);
  }
}

Bytes Frame(const Bytes& payload, size_t declared) {
  HX_StreamFrameHead head;
  head.Set(payload.data(), static_cast<uint16_t>(payload.size()), 1234, 254);
  Bytes out(head.bytes, head.bytes + 8);
  out[0] = static_cast<uint8_t>(declared);
  out[1] = static_cast<uint8_t>(declared >> 8);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

TEST(StreamCommand, FromFrameHead) {
  struct Case {
    size_t payload;  // bytes behind the head, also the declared length
    bool read;
  };
  const Case cases[] = {{0, false},  {3, false},   {4, true},    {5, true},    {253, true},
                        {254, true}, {255, false}, {256, false}, {1000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    Bytes payload = Ramp(c.payload, 0);
    if (c.payload >= 4) payload[3] = 255;  // a length byte that lies
    const Bytes frame = Frame(payload, c.payload);
    const auto* head = reinterpret_cast<const HX_StreamFrameHead*>(frame.data());
    EXPECT_EQ(head->Length(), c.payload);
    EXPECT_EQ(head->Track(), 254);
    EXPECT_EQ(head->Tick(), 1234u);
    EXPECT_TRUE(head->CheckPayload(head->Payload()));
    const HX_MiscCommand command(head);
    if (!c.read) {
      EXPECT_TRUE(AllZero(command));
      continue;
    }
    EXPECT_EQ(command.code, 0);
    EXPECT_EQ(command.mode, 1);
    EXPECT_EQ(command.result, 2);
    EXPECT_EQ(command.length, std::min<size_t>(250, c.payload - 4));
    EXPECT_EQ(0, std::memcmp(command.data, payload.data() + 4, command.length));
  }
  EXPECT_TRUE(AllZero(HX_MiscCommand(static_cast<const HX_StreamFrameHead*>(nullptr))));
}

TEST(StreamFrameHead, LayoutAndChecksum) {
  const Bytes payload = Ramp(500);
  HX_StreamFrameHead head;
  head.Set(payload.data(), 500, 0xA1B2C3D4, 2);
  EXPECT_EQ(Bytes(head.bytes, head.bytes + 8),
            (Bytes{0xF4, 0x01, 0xD4, 0xC3, 0xB2, 0xA1, 2,
                   static_cast<uint8_t>(172 + payload[0] + payload[234] + payload[468])}));
  HX_StreamFrameHead empty;
  empty.Set(nullptr, 0, 0, 1);
  EXPECT_EQ(empty.Checksum(), 172);
  Bytes broken = payload;
  broken[234] ^= 1;
  EXPECT_FALSE(head.CheckPayload(broken.data()));
  broken = payload;
  broken[235] ^= 1;  // not a sampled byte
  EXPECT_TRUE(head.CheckPayload(broken.data()));
}

class RecordingProc : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    addCommandInt(command, to_send);
    return true;
  }
};

class QueueProcess : public HX_MiscCommandProcess {
 public:
  int SetReceivedCommand(const HX_MiscCommand& command) override { return command.code; }
};

TEST(CommandLists, ArrivalOrderAndWholeRecords) {
  RecordingProc proc;
  HX_MiscCommand out;
  EXPECT_FALSE(proc.ReadRcvCommand(out, true));
  EXPECT_FALSE(proc.PopSndCommand(out));

  for (uint32_t i = 0; i < 5; ++i) {
    HX_MiscCommand command;
    command.RestrictBitrate(100 + i);
    proc.AddCommand(command, false);
    command.TimeDelay(200 + i);
    proc.AddCommand(command, true);
  }
  EXPECT_EQ(proc.ReceivedCount(), 5u);
  EXPECT_EQ(proc.ToSendCount(), 5u);

  // Reading without removing leaves the oldest in place.
  ASSERT_TRUE(proc.ReadRcvCommand(out, false));
  EXPECT_EQ(out.DataU32(), 100u);
  for (uint32_t i = 0; i < 5; ++i) {
    // The out record is filled whole: a long earlier command leaves nothing behind.
    std::memset(&out, 0xAB, sizeof out);
    ASSERT_TRUE(proc.ReadRcvCommand(out, true));
    EXPECT_EQ(Wire(out), (Bytes{2, 1, 0, 4, static_cast<uint8_t>(100 + i), 0, 0, 0}));
    EXPECT_TRUE(std::all_of(out.data + 4, out.data + 250, [](uint8_t b) { return b == 0; }));
    ASSERT_TRUE(proc.PopSndCommand(out));
    EXPECT_EQ(out.code, 8);
    EXPECT_EQ(out.DataU32(), 200u + i);
  }
  EXPECT_FALSE(proc.ReadRcvCommand(out, false));
  EXPECT_FALSE(proc.PopSndCommand(out));
}

TEST(CommandLists, CommandToSendNeedsAProcessor) {
  QueueProcess queue;
  HX_MiscCommand command;
  command.RequestKeyFrame();
  EXPECT_FALSE(queue.CommandToSend(command));
  auto proc = std::make_shared<RecordingProc>();
  queue.setCmndProc(proc);
  EXPECT_TRUE(queue.CommandToSend(command));
  EXPECT_EQ(proc->ToSendCount(), 1u);
  EXPECT_EQ(proc->ReceivedCount(), 0u);
  HX_MiscCommand out;
  ASSERT_TRUE(proc->PopSndCommand(out));
  EXPECT_EQ(Wire(out), (Bytes{1, 4, 0, 0}));
}

TEST(StreamCommand, DataU32StaysWithinTheLength) {
  HX_MiscCommand command;
  command.RequestPacket("\x01\x02\x03", 3);
  EXPECT_EQ(command.DataU32(), 0u);
  command.TimeDelay(0xDEADBEEF);
  EXPECT_EQ(command.DataU32(), 0xDEADBEEFu);
  EXPECT_EQ(command.DataU32(1), 0u);
}

}  // namespace
