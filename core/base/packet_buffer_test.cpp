#include "core/base/packet_buffer.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

TEST(PacketBufferTest, StorageHasOneEighthOfSlackZeroFilled) {
  HXPacketBuffer buffer(800);
  EXPECT_EQ(buffer.capacity(), 900);
  EXPECT_EQ(buffer.GetBufferLimit() - buffer.GetBufferStart(), 800);
  EXPECT_EQ(buffer.GetPacketBufferSize(), 900);
  for (int64_t i = 0; i < buffer.capacity(); ++i) ASSERT_EQ(buffer.GetBufferStart()[i], 0);
}

TEST(PacketBufferTest, OutpassIsTrueExactlyFromTheLimitOn) {
  HXPacketBuffer buffer(800);
  ASSERT_TRUE(buffer.IncPacketBufferWrite(799));
  EXPECT_FALSE(buffer.IsOutpass(1));
  EXPECT_TRUE(buffer.IsOutpass(2));
  EXPECT_FALSE(buffer.IsOutpass());
  ASSERT_TRUE(buffer.IncPacketBufferWrite(1));
  EXPECT_TRUE(buffer.IsOutpass(1));
  EXPECT_FALSE(buffer.IsOutpass());
  ASSERT_TRUE(buffer.IncPacketBufferWrite(1));
  EXPECT_TRUE(buffer.IsOutpass());
  EXPECT_EQ(buffer.IsOutpassBuffer(buffer.GetPacketBufferWrite()), 1);
  EXPECT_EQ(buffer.IsOutpassBuffer(buffer.GetBufferStart(), 10), -790);
}

TEST(PacketBufferTest, CursorsNeverLeaveTheStorage) {
  HXPacketBuffer buffer(64);  // 72 bytes of storage
  EXPECT_FALSE(buffer.IncPacketBufferWrite(73));
  EXPECT_FALSE(buffer.IncPacketBufferWrite(-1));
  EXPECT_EQ(buffer.GetPacketBufferFill(), 0);
  EXPECT_TRUE(buffer.IncPacketBufferWrite(72));
  EXPECT_EQ(buffer.GetPacketBufferSize(), 0);
  EXPECT_FALSE(buffer.IncPacketBufferWrite(1));

  EXPECT_TRUE(buffer.IncPacketBuffer(70));
  EXPECT_FALSE(buffer.IncPacketBuffer(3));  // only two unread bytes
  EXPECT_EQ(buffer.GetPacketBufferWriteSize(), 2);
  EXPECT_FALSE(buffer.Head2Tail(buffer.GetBufferStart(), 73));
  EXPECT_FALSE(buffer.Tail2Head(buffer.GetBufferStart(), -1));
}

TEST(PacketBufferTest, CutHeadGapMovesUnreadBytesToTheStart) {
  HXPacketBuffer buffer(800);
  std::memcpy(buffer.GetBufferStart() + 100, "hello", 5);
  ASSERT_TRUE(buffer.IncPacketBufferWrite(105));
  ASSERT_TRUE(buffer.IncPacketBuffer(100));
  EXPECT_TRUE(buffer.cutHeadGap());
  EXPECT_EQ(buffer.GetPacketBufferRead(), buffer.GetBufferStart());
  EXPECT_EQ(buffer.GetPacketBufferFill(), 5);
  EXPECT_EQ(std::memcmp(buffer.GetBufferStart(), "hello", 5), 0);
  EXPECT_FALSE(buffer.cutHeadGap());

  ASSERT_TRUE(buffer.IncPacketBuffer(5));  // everything read: both cursors go back
  EXPECT_TRUE(buffer.cutHeadGap());
  EXPECT_EQ(buffer.GetPacketBufferFill(), 0);
  EXPECT_EQ(buffer.GetPacketBufferWriteSize(), 0);
}

TEST(PacketBufferTest, HeadAndTailCopiesAndReset) {
  HXPacketBuffer buffer(16);
  ASSERT_TRUE(buffer.Tail2Head(reinterpret_cast<const uint8_t*>("abcdef"), 6));
  // A packet straddling the limit is completed by copying the head into the slack.
  ASSERT_TRUE(buffer.Head2Tail(buffer.GetBufferLimit(), 2));
  EXPECT_EQ(std::memcmp(buffer.GetBufferLimit(), "ab", 2), 0);
  ASSERT_TRUE(buffer.Head2Tail(buffer.GetBufferStart() + 1, 4));  // overlapping
  EXPECT_EQ(std::memcmp(buffer.GetBufferStart(), "aabcdf", 6), 0);

  ASSERT_TRUE(buffer.IncPacketBufferWrite(6));
  ASSERT_TRUE(buffer.IncPacketBuffer(3));
  buffer.ResetPacketBufferPacket();
  EXPECT_EQ(buffer.GetPacketBufferWriteSize(), 6);
  buffer.Reset();
  EXPECT_EQ(buffer.GetPacketBufferFill(), 0);
  EXPECT_EQ(buffer.GetBufferStart()[0], 0);
  EXPECT_EQ(buffer.GetBufferLimit()[0], 0);
}

}  // namespace
