#include "core/net/socket/circular_buffer.h"

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
  std::vector<uint8_t> bytes(n);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

TEST(CircularBufferTest, KeepsOneByteFreeAndWrapsAround) {
  CircularBuffer ring(8);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.FreeSpace(), 7u);
  EXPECT_EQ(ring.linearFreeSpace(), 7u);  // read at 0: the last byte stays free

  const auto six = Bytes(6, 0);
  ring.Push(six.data(), six.size());
  EXPECT_EQ(ring.Cut(4), 4u);  // read 4, write 6
  EXPECT_EQ(ring.Size(), 2u);
  EXPECT_EQ(ring.FreeSpace(), 5u);
  EXPECT_EQ(ring.linearFreeSpace(), 2u);

  const auto four = Bytes(4, 6);  // wraps: two at the end, two at the start
  ring.Push(four.data(), four.size());
  EXPECT_EQ(ring.Capacity(), 8u);
  EXPECT_EQ(ring.Size(), 6u);
  EXPECT_EQ(ring.linearDataSize(), 4u);
  EXPECT_EQ(ring.FreeSpace(), 1u);
  EXPECT_EQ(ring.linearFreeSpace(), 1u);

  const auto expected = Bytes(6, 4);
  EXPECT_TRUE(ring.Compare(expected.data(), expected.size()));
  EXPECT_FALSE(ring.Compare(expected.data(), 5));
  std::vector<uint8_t> out(10, 0xEE);
  EXPECT_EQ(ring.Get(out.data(), out.size(), true), 6u);  // peek
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), expected);
  EXPECT_EQ(ring.Size(), 6u);
  EXPECT_EQ(ring.Get(out.data(), 3, false), 3u);
  EXPECT_EQ(ring.Size(), 3u);
}

TEST(CircularBufferTest, EmptyingMovesBothPositionsToTheStart) {
  CircularBuffer ring(8);
  const auto five = Bytes(5, 1);
  ring.Push(five.data(), five.size());
  uint8_t out[8];
  EXPECT_EQ(ring.Get(out, sizeof out, false), 5u);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.linearFreeSpace(), 7u);  // back at the start: one piece again
  EXPECT_EQ(ring.Get(out, sizeof out, false), 0u);
  EXPECT_EQ(ring.Cut(3), 0u);
  EXPECT_TRUE(ring.Compare(nullptr, 0));
}

TEST(CircularBufferTest, GrowsByHalfAgainWhenAPushWouldFillIt) {
  struct Case {
    size_t stored;
    size_t pushed;
    size_t capacity_after;
  } cases[] = {
      {0, 7, 8},    // stored + n = 7 < 8: fits, one byte left free
      {0, 8, 12},   // would reach the capacity: 3 * 8 / 2
      {3, 6, 13},   // 3 * 9 / 2 (integer division)
      {5, 20, 37},  // larger than the whole ring
  };
  for (const Case& c : cases) {
    CircularBuffer ring(8);
    // Leave the stored bytes wrapped, so growing must put them in order at the start.
    const auto filler = Bytes(6, 100);
    ring.Push(filler.data(), filler.size());
    ring.Cut(5);
    const auto stored = Bytes(c.stored, 0);
    ring.Push(stored.data(), stored.size());
    ring.Cut(1);
    const auto pushed = Bytes(c.pushed, static_cast<uint8_t>(c.stored));
    ring.Push(pushed.data(), pushed.size());
    EXPECT_EQ(ring.Capacity(), c.capacity_after) << c.stored << "+" << c.pushed;
    const auto all = Bytes(c.stored + c.pushed, 0);
    EXPECT_TRUE(ring.Compare(all.data(), all.size())) << c.stored << "+" << c.pushed;
  }
}

TEST(CircularBufferTest, DirectWritesCommitIntoTheRing) {
  CircularBuffer ring(8);
  ring.Push("abcde", 5);
  ring.Cut(5);  // empty: positions back at 0
  ring.Push("xy", 2);
  ring.Cut(1);  // read 1, write 2
  const size_t room = ring.linearFreeSpace();
  ASSERT_EQ(room, 6u);
  std::memcpy(ring.WritePtr(), "123456", room);
  ring.Commit(room);
  EXPECT_EQ(ring.linearFreeSpace(), 0u);  // write wrapped to 0, read at 1
  EXPECT_TRUE(ring.Compare("y123456", 7));
  ring.Reserve(1);
  EXPECT_GE(ring.FreeSpace(), 1u);
  EXPECT_TRUE(ring.Compare("y123456", 7));
}

}  // namespace
