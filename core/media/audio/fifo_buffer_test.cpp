// The byte FIFO: wrapping, whole-block refusal, peeks, and one writer thread with one reader
// thread passing megabytes through a small ring in odd block sizes.
#include "core/media/audio/fifo_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(int first, int count) {
  std::vector<uint8_t> v(count);
  std::iota(v.begin(), v.end(), static_cast<uint8_t>(first));
  return v;
}

TEST(FifoBuffer, WrapsAndRefusesWhatDoesNotFit) {
  HX_FifoBuffer fifo(8);
  const auto a = Bytes(1, 5);
  ASSERT_TRUE(fifo.AddData(a.data(), a.size()));
  uint8_t out[8] = {};
  ASSERT_TRUE(fifo.GetData(out, 3, true));
  EXPECT_EQ((std::vector<uint8_t>(out, out + 3)), Bytes(1, 3));
  // Six more bytes run past the end of the storage and wrap to its start.
  const auto b = Bytes(6, 6);
  ASSERT_TRUE(fifo.AddData(b.data(), b.size()));
  EXPECT_EQ(fifo.GetDataLen(), 8u);
  const uint8_t one = 99;
  EXPECT_FALSE(fifo.AddData(&one, 1));
  EXPECT_EQ(fifo.GetDataLen(), 8u);
  EXPECT_FALSE(fifo.GetData(out, 0, true));
  EXPECT_FALSE(fifo.GetData(out, 9, true));
  ASSERT_TRUE(fifo.GetData(out, 8, true));
  EXPECT_EQ((std::vector<uint8_t>(out, out + 8)), Bytes(4, 8));
  EXPECT_EQ(fifo.GetDataLen(), 0u);
  EXPECT_TRUE(fifo.AddData(nullptr, 0));
}

TEST(FifoBuffer, BlockLargerThanFreeRoomIsNotStoredInPart) {
  HX_FifoBuffer fifo(8);
  const auto a = Bytes(1, 6);
  ASSERT_TRUE(fifo.AddData(a.data(), a.size()));
  const auto b = Bytes(50, 3);
  EXPECT_FALSE(fifo.AddData(b.data(), b.size()));
  uint8_t out[8] = {};
  ASSERT_TRUE(fifo.GetData(out, 6, true));
  EXPECT_EQ((std::vector<uint8_t>(out, out + 6)), a);
  EXPECT_FALSE(fifo.GetData(out, 1, true));
}

TEST(FifoBuffer, PeekTwiceGivesTheSameBytes) {
  HX_FifoBuffer fifo(8);
  const auto a = Bytes(1, 7);
  ASSERT_TRUE(fifo.AddData(a.data(), 5));
  uint8_t out[8] = {};
  ASSERT_TRUE(fifo.GetData(out, 4, true));
  ASSERT_TRUE(fifo.AddData(a.data(), 7));  // wraps: the read position is 4
  uint8_t first[8] = {}, second[8] = {};
  ASSERT_TRUE(fifo.GetData(first, 8, false));
  ASSERT_TRUE(fifo.GetData(second, 8, false));
  EXPECT_EQ(0, memcmp(first, second, 8));
  EXPECT_EQ(first[0], 5);
  EXPECT_EQ(first[1], 1);
  EXPECT_EQ(fifo.GetDataLen(), 8u);
}

TEST(FifoBuffer, WriterAndReaderThreadsPassTenMegabytesInOddBlocks) {
  constexpr size_t kTotal = 10u << 20;
  HX_FifoBuffer fifo(4096);
  auto byte_at = [](size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); };
  uint64_t sent_sum = 0;
  std::thread writer([&] {
    std::vector<uint8_t> block(1021);
    size_t pos = 0, k = 0;
    while (pos < kTotal) {
      const size_t n = std::min<size_t>(kTotal - pos, 1 + (k++ * 7919) % 1021);
      for (size_t i = 0; i < n; ++i) block[i] = byte_at(pos + i);
      if (fifo.AddData(block.data(), n)) {
        for (size_t i = 0; i < n; ++i) sent_sum = sent_sum * 31 + block[i];
        pos += n;
      } else {
        std::this_thread::yield();
      }
    }
  });
  uint64_t received_sum = 0;
  size_t mismatches = 0;
  std::vector<uint8_t> block(997);
  size_t pos = 0, k = 0;
  while (pos < kTotal) {
    const size_t n = std::min<size_t>(kTotal - pos, 1 + (k * 104729) % 997);
    // A peek now and then must not disturb the stream.
    if (k % 5 == 0 && fifo.GetData(block.data(), 1, false) && block[0] != byte_at(pos))
      ++mismatches;
    if (fifo.GetData(block.data(), n, true)) {
      for (size_t i = 0; i < n; ++i) {
        if (block[i] != byte_at(pos + i)) ++mismatches;
        received_sum = received_sum * 31 + block[i];
      }
      pos += n;
      ++k;
    } else {
      std::this_thread::yield();
    }
  }
  writer.join();
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(received_sum, sent_sum);
  EXPECT_EQ(fifo.GetDataLen(), 0u);
}

}  // namespace
