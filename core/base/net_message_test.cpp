#include "core/base/net_message.h"

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

// A message owning bytes 0, 1, 2, ... of the given count, read offset set as given.
HXNetMessage Numbered(uint64_t count, uint64_t read_offset) {
  HXNetMessage message(count);
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), 0);
  message.append(bytes.data(), bytes.size());
  message.offset(static_cast<int32_t>(read_offset));
  return message;
}

std::vector<uint8_t> Used(const HXNetMessage& message) {
  return {message.buffer(), message.buffer() + message.size()};
}

TEST(NetMessageTest, CutMovesBytesAndReadOffset) {
  struct Case {
    uint64_t position, n, read_offset;
    std::vector<uint8_t> left;
    uint64_t offset_after;
  };
  const Case cases[] = {
      {2, 3, 8, {0, 1, 5, 6, 7, 8, 9}, 5},  // offset behind the cut moves back
      {2, 3, 3, {0, 1, 5, 6, 7, 8, 9}, 2},  // offset inside the cut moves to its start
      {2, 3, 1, {0, 1, 5, 6, 7, 8, 9}, 1},  // offset before the cut stays
      {2, 3, 5, {0, 1, 5, 6, 7, 8, 9}, 2},  // offset at the first kept byte
      {7, 3, 10, {0, 1, 2, 3, 4, 5, 6}, 7},  // cut reaching exactly the end
      {7, 50, 9, {0, 1, 2, 3, 4, 5, 6}, 7},  // cut beyond the end: size becomes the position
      {4, UINT64_MAX, 2, {0, 1, 2, 3}, 2},   // a huge count must not wrap around
      {10, 3, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4},  // position at the end: nothing
      {3, 0, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4},   // nothing to cut
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "cut(" << c.position << ", " << c.n << ") offset " << c.read_offset);
    HXNetMessage message = Numbered(10, c.read_offset);
    message.cut(c.position, c.n);
    EXPECT_EQ(Used(message), c.left);
    EXPECT_EQ(message.offset(), c.offset_after);
  }
}

TEST(NetMessageTest, OffsetMovesWithinZeroAndSize) {
  HXNetMessage message = Numbered(10, 3);
  EXPECT_EQ(message.offset(-5), 3u);
  EXPECT_EQ(message.offset(), 0u);
  EXPECT_EQ(message.offset(4), 0u);
  EXPECT_EQ(message.offset(100), 4u);
  EXPECT_EQ(message.offset(), 10u);
  EXPECT_EQ(message.offset(INT32_MIN), 10u);
  EXPECT_EQ(message.offset(), 0u);
}

TEST(NetMessageTest, SizeAdjustStaysWithinZeroAndCapacity) {
  struct Case {
    int64_t delta;
    uint64_t size_after, offset_after;
  };
  const Case cases[] = {{-4, 6, 6}, {-20, 0, 0}, {50, 16, 8}, {INT64_MIN, 0, 0}, {6, 16, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delta);
    HXNetMessage message(16);
    message.setSize(10);
    message.offset(8);
    message.sizeAdjust(c.delta);
    EXPECT_EQ(message.size(), c.size_after);
    EXPECT_EQ(message.offset(), c.offset_after);
  }
  HXNetMessage message(16);
  message.setSize(10);
  message.sizeAdjust(UINT64_MAX);  // the unsigned form: grows, at most to the capacity
  EXPECT_EQ(message.size(), 16u);
  message.setSize(10);
  message.sizeAdjust(3u);
  EXPECT_EQ(message.size(), 13u);
}

TEST(NetMessageTest, GrowingKeepsContentAndTakesOwnershipOfViewedStorage) {
  uint8_t foreign[4] = {9, 8, 7, 6};
  HXNetMessage message(foreign, sizeof foreign, 3);
  EXPECT_FALSE(message.owns());
  EXPECT_EQ(message.size(), 3u);
  EXPECT_EQ(message.offset(), 3u);
  message.ensureSize(2);  // already big enough: still the foreign storage
  EXPECT_EQ(message.buffer(), foreign);
  message.append("\x05\x04", 2);
  EXPECT_TRUE(message.owns());
  EXPECT_NE(message.buffer(), foreign);
  EXPECT_EQ(Used(message), (std::vector<uint8_t>{9, 8, 7, 5, 4}));
  EXPECT_EQ(foreign[3], 6);  // the foreign storage was not written
}

TEST(NetMessageTest, AppendFromItsOwnStorageSurvivesGrowth) {
  HXNetMessage message = Numbered(4, 0);
  EXPECT_EQ(message.capacity(), 4u);
  EXPECT_EQ(message.append(message), 8u);
  EXPECT_EQ(Used(message), (std::vector<uint8_t>{0, 1, 2, 3, 0, 1, 2, 3}));
  EXPECT_EQ(message.append(message.buffer() + 6, 2), 10u);
  EXPECT_EQ(Used(message), (std::vector<uint8_t>{0, 1, 2, 3, 0, 1, 2, 3, 2, 3}));
}

TEST(NetMessageTest, CopiesOwnOrShareStorageAsTheSourceDoes) {
  HXNetMessage owner = Numbered(8, 2);
  HXNetMessage copy(owner);
  EXPECT_TRUE(copy.owns());
  EXPECT_NE(copy.buffer(), owner.buffer());
  EXPECT_EQ(Used(copy), Used(owner));
  EXPECT_EQ(copy.capacity(), owner.capacity());
  EXPECT_EQ(copy.offset(), 2u);

  uint8_t foreign[8] = {};
  HXNetMessage view(foreign, sizeof foreign, 5);
  HXNetMessage view_copy;
  view_copy = view;
  EXPECT_FALSE(view_copy.owns());
  EXPECT_EQ(view_copy.buffer(), foreign);

  HXNetMessage moved(std::move(copy));
  EXPECT_EQ(Used(moved), Used(owner));
  EXPECT_EQ(copy.buffer(), nullptr);
  EXPECT_EQ(copy.size(), 0u);
  EXPECT_EQ(copy.capacity(), 0u);
}

TEST(NetMessageTest, FreedMessageCanBeFilledAgain) {
  HXNetMessage message = Numbered(8, 4);
  message.freeBuf();
  EXPECT_EQ(message.buffer(), nullptr);
  EXPECT_EQ(message.capacity(), 0u);
  EXPECT_EQ(message.append("ab", 2), 2u);
  EXPECT_EQ(std::memcmp(message.buffer(), "ab", 2), 0);
}

TEST(NetMessageTest, SetBufViewsStorageWithNothingUsed) {
  HXNetMessage message = Numbered(8, 0);
  uint8_t foreign[32];
  message.setBuf(foreign, sizeof foreign, 12);
  EXPECT_FALSE(message.owns());
  EXPECT_EQ(message.buffer(), foreign);
  EXPECT_EQ(message.capacity(), 32u);
  EXPECT_EQ(message.size(), 0u);
  EXPECT_EQ(message.offset(), 12u);
  message.setSize(20);
  EXPECT_EQ(message.buffer(), foreign);
  EXPECT_EQ(message.size(), 20u);
}

TEST(NetMessageTest, PrinthexFormatsSixteenBytesALineAndStopsAt7000) {
  hx::testing::LogCapture log;
  std::vector<uint8_t> bytes(18);
  std::iota(bytes.begin(), bytes.end(), 0xf0);
  HXNetMessage::printhex(bytes.data(), bytes.size(), "dump:");
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0],
            "dump:\n0000  f0 f1 f2 f3 f4 f5 f6 f7  f8 f9 fa fb fc fd fe ff\n0010  00 01");

  std::vector<uint8_t> big(9000, 0xab);
  HXNetMessage::printhex(big.data(), big.size(), "");
  const std::string line = log.Lines()[1];
  EXPECT_NE(line.find("\n1b50 "), std::string::npos);  // the line of byte 6992
  EXPECT_EQ(line.find("\n1b60 "), std::string::npos);  // byte 7008 is not shown
  size_t shown = 0;
  for (size_t at = line.find(" ab"); at != std::string::npos; at = line.find(" ab", at + 1)) ++shown;
  EXPECT_EQ(shown, 7000u);
}

}  // namespace
