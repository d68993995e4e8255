// Hostile inputs for the stream control command record: what a broken or malicious peer puts on
// track 254. Every byte buffer is allocated at its exact size, so a read past it trips ASan.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"

namespace {

// The record's invariants, whatever it was built from.
void ExpectSane(const HX_MiscCommand& c) {
  EXPECT_LE(c.length, HX_MiscCommandMaxData);
  EXPECT_EQ(c.DataLength(), c.length);
  EXPECT_EQ(c.CommandSize(), HX_MiscCommandHeadSize + c.DataLength());
  EXPECT_LE(c.CommandSize(), HX_MiscCommandRecordSize);
  for (size_t i = c.DataLength(); i < HX_MiscCommandMaxData; ++i) {
    ASSERT_EQ(c.data[i], 0) << "stale byte past the data length at " << i;
  }
}

bool AllZero(const HX_MiscCommand& c) {
  const uint8_t* p = c.Bytes();
  for (size_t i = 0; i < HX_MiscCommandRecordSize; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// Bytes as a peer sends them: code, mode, result, the (possibly lying) length byte, then a pattern.
std::unique_ptr<uint8_t[]> WireBytes(size_t size, uint8_t length_byte) {
  auto bytes = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0x40 + i * 7);
  if (size > 0) bytes[0] = 0xEE;  // an unknown code
  if (size > 1) bytes[1] = 0x77;  // an unknown mode
  if (size > 2) bytes[2] = 0x99;
  if (size > 3) bytes[3] = length_byte;
  return bytes;
}

TEST(HostileStreamCommand, EveryCutAndEveryLengthByteFromBytes) {
  // Sizes 0..300 against every length byte 0..255.
  for (size_t size = 0; size <= 300; ++size) {
    for (int lb = 0; lb <= 255; lb += (size > 8 && size < 240) ? 17 : 1) {
      auto bytes = WireBytes(size, static_cast<uint8_t>(lb));
      HX_MiscCommand c(bytes.get(), size);
      SCOPED_TRACE(testing::Message() << "size " << size << " length byte " << lb);
      if (size < 4) {
        ASSERT_TRUE(AllZero(c));
        continue;
      }
      ASSERT_EQ(c.code, 0xEE);
      ASSERT_EQ(c.mode, 0x77);
      ASSERT_EQ(c.result, 0x99);
      size_t want = std::min<size_t>({static_cast<size_t>(lb), 250, size - 4});
      ASSERT_EQ(c.DataLength(), want);
      ASSERT_EQ(std::memcmp(c.data, bytes.get() + 4, want), 0);
      ExpectSane(c);
    }
  }
}

TEST(HostileStreamCommand, NullBytesWithAnySizeIsAllZero) {
  for (size_t size : {size_t{0}, size_t{4}, size_t{254}, SIZE_MAX}) {
    HX_MiscCommand c(nullptr, size);
    EXPECT_TRUE(AllZero(c)) << size;
  }
}

TEST(HostileStreamCommand, FrameHeadPayloadLengthsZeroTo300) {
  for (size_t len = 0; len <= 300; ++len) {
    // Head and exactly `len` payload bytes behind it, nothing more.
    auto buf = std::make_unique<uint8_t[]>(HX_StreamFrameHead::kSize + len);
    uint8_t* payload = buf.get() + HX_StreamFrameHead::kSize;
    for (size_t i = 0; i < len; ++i) payload[i] = static_cast<uint8_t>(i * 13 + 1);
    if (len > 3) payload[3] = 255;  // the command's length byte lies: 255
    auto* head = reinterpret_cast<HX_StreamFrameHead*>(buf.get());
    head->Set(payload, static_cast<uint16_t>(len), 1234, 254);
    HX_MiscCommand c(head);
    SCOPED_TRACE(len);
    if (len < 4 || len > 254) {
      ASSERT_TRUE(AllZero(c));
      continue;
    }
    EXPECT_EQ(c.code, payload[0]);
    EXPECT_EQ(c.mode, payload[1]);
    EXPECT_EQ(c.DataLength(), std::min<size_t>(250, len - 4));
    EXPECT_EQ(std::memcmp(c.data, payload + 4, c.DataLength()), 0);
    ExpectSane(c);
  }
  HX_MiscCommand none(static_cast<const HX_StreamFrameHead*>(nullptr));
  EXPECT_TRUE(AllZero(none));
}

TEST(HostileStreamCommand, CopyAndAssignClampLyingLengths) {
  for (int lb = 245; lb <= 255; ++lb) {
    HX_MiscData d;
    d.code = 6;
    d.mode = 4;
    d.length = static_cast<uint8_t>(lb);
    for (size_t i = 0; i < HX_MiscCommandMaxData; ++i) d.data[i] = static_cast<uint8_t>(i + 1);
    HX_MiscCommand fromData(d);
    EXPECT_EQ(fromData.DataLength(), std::min(lb, 250));
    ExpectSane(fromData);

    HX_MiscCommand lying;
    std::memcpy(&lying, &d, sizeof d);
    HX_MiscCommand copy(lying);
    EXPECT_EQ(copy.DataLength(), std::min(lb, 250));
    EXPECT_EQ(copy.data[copy.DataLength() - 1], static_cast<uint8_t>(copy.DataLength()));

    HX_MiscCommand assigned;
    assigned = lying;
    EXPECT_EQ(assigned.length, std::min(lb, 250));
    EXPECT_LE(assigned.CommandSize(), HX_MiscCommandRecordSize);

    HX_MiscData back(lying);
    EXPECT_LE(back.length, 250);
  }
}

TEST(HostileStreamCommand, DataU32NeverReadsPastTheDataLength) {
  auto bytes = WireBytes(254, 250);
  HX_MiscCommand c(bytes.get(), 254);
  ASSERT_EQ(c.DataLength(), 250u);
  EXPECT_NE(c.DataU32(246), 0u);
  EXPECT_EQ(c.DataU32(247), 0u);
  EXPECT_EQ(c.DataU32(250), 0u);
  // Offsets whose sum with 4 wraps around must not pass the bound check.
  EXPECT_EQ(c.DataU32(SIZE_MAX), 0u);
  EXPECT_EQ(c.DataU32(SIZE_MAX - 3), 0u);
  EXPECT_EQ(c.DataU32(SIZE_MAX - 1), 0u);

  for (size_t n = 0; n < 4; ++n) {
    auto shortBytes = WireBytes(4 + n, static_cast<uint8_t>(n));
    HX_MiscCommand s(shortBytes.get(), 4 + n);
    EXPECT_EQ(s.DataU32(), 0u) << "a u32 read from " << n << " data bytes";
  }
}

TEST(HostileStreamCommand, BuildersClampAndCarryNothingStale) {
  std::vector<uint8_t> big(300, 0xAB);
  HX_MiscCommand stat;
  stat.Stat(big.data(), big.size());
  EXPECT_EQ(stat.code, HX_Cmd_Stat);
  EXPECT_EQ(stat.DataLength(), 250u);
  ExpectSane(stat);

  // A null payload with a lying count carries nothing.
  HX_MiscCommand req;
  req.RequestPacket(nullptr, 1000);
  EXPECT_EQ(req.code, HX_Cmd_RequestPacket);
  EXPECT_EQ(req.DataLength(), 0u);
  HX_MiscCommand broker;
  broker.BrokerStat(nullptr, 3);
  EXPECT_EQ(broker.DataLength(), 0u);

  HX_MiscCommand key;
  key.RequestKeyFrame();
  const uint8_t want[4] = {1, 4, 0, 0};
  EXPECT_EQ(std::memcmp(key.Bytes(), want, 4), 0);
  EXPECT_EQ(key.CommandSize(), 4u);

  // Reply keeps everything else, including a foreign code.
  auto bytes = WireBytes(20, 16);
  HX_MiscCommand foreign(bytes.get(), 20);
  foreign.Reply(7);
  EXPECT_EQ(foreign.code, 0xEE);
  EXPECT_EQ(foreign.mode, HX_CmdMode_Reply);
  EXPECT_EQ(foreign.result, 7);
  EXPECT_EQ(foreign.DataLength(), 16u);
}

class ListProc : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    addCommandInt(command, to_send);
    return true;
  }
};

TEST(HostileStreamCommand, ListsKeepOrderAndClampWhatWasStoredWithALyingLength) {
  ListProc proc;
  HX_MiscCommand out;
  EXPECT_FALSE(proc.ReadRcvCommand(out, true));
  EXPECT_FALSE(proc.PopSndCommand(out));

  for (int i = 0; i < 300; ++i) {
    HX_MiscCommand c;
    c.code = static_cast<uint8_t>(i);
    c.length = static_cast<uint8_t>(i);  // up to 255: lies past 250
    for (auto& b : c.data) b = static_cast<uint8_t>(i);
    proc.AddCommand(c, i % 2 == 0);
  }
  EXPECT_EQ(proc.ReceivedCount(), 150u);
  EXPECT_EQ(proc.ToSendCount(), 150u);
  for (int i = 1; i < 300; i += 2) {
    out = HX_MiscCommand();
    std::memset(out.data, 0xCC, sizeof out.data);
    ASSERT_TRUE(proc.ReadRcvCommand(out, false));
    ASSERT_TRUE(proc.ReadRcvCommand(out, true));
    EXPECT_EQ(out.code, static_cast<uint8_t>(i));
    EXPECT_EQ(out.DataLength(), std::min(i % 256, 250));
    ExpectSane(out);
  }
  for (int i = 0; i < 300; i += 2) {
    ASSERT_TRUE(proc.PopSndCommand(out));
    EXPECT_EQ(out.code, static_cast<uint8_t>(i));
    EXPECT_LE(out.length, 250);
  }
  EXPECT_FALSE(proc.ReadRcvCommand(out, true));
  EXPECT_FALSE(proc.PopSndCommand(out));
}

TEST(HostileStreamCommand, CommandToSendWithoutProcessorFails) {
  struct Q : HX_MiscCommandProcess {
    int SetReceivedCommand(const HX_MiscCommand&) override { return 0; }
  } q;
  HX_MiscCommand c;
  c.Ping();
  EXPECT_FALSE(q.CommandToSend(c));
  auto proc = std::make_shared<ListProc>();
  q.setCmndProc(proc);
  EXPECT_TRUE(q.CommandToSend(c));
  EXPECT_EQ(proc->ToSendCount(), 1u);
}

}  // namespace
