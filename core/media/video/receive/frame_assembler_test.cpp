// The TCP frame assembler fed hand-made parts (chunk and 3-byte trailer, each part copied into a
// heap block of exactly its size, so that AddressSanitizer sees any read past it), and VP8 key
// frames whose headers announce a picture size.
#include "core/media/video/receive/frame_assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A VP8 key-frame header announcing w x h, then `extra` bytes of payload.
Bytes Vp8Key(int w, int h, size_t extra = 20) {
  Bytes b = {0x10,       0x02,           0x00, 0x9D, 0x01, 0x2A, uint8_t(w), uint8_t(w >> 8),
             uint8_t(h), uint8_t(h >> 8)};
  for (size_t i = 0; i < extra; ++i) b.push_back(uint8_t(i * 7 + 1));
  return b;
}

// A VP8 delta frame (bit 0 of the tag set, no start code).
Bytes Vp8Delta(size_t size = 30) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = uint8_t(i * 13 + 5);
  b[0] = 0x31;
  return b;
}

// The parts of one frame: the 5-byte header (1 key / 0 delta, interval) and the bitstream,
// cut into `parts` chunks of nearly equal size, each followed by its trailer.
std::vector<Bytes> Parts(bool key, uint32_t interval, const Bytes& bitstream, int parts,
                         uint8_t counter) {
  Bytes data = {uint8_t(key ? 1 : 0), uint8_t(interval), uint8_t(interval >> 8),
                uint8_t(interval >> 16), uint8_t(interval >> 24)};
  data.insert(data.end(), bitstream.begin(), bitstream.end());
  std::vector<Bytes> out;
  size_t at = 0;
  for (int i = 0; i < parts; ++i) {
    const size_t size = (data.size() - at) / (parts - i);
    Bytes p(data.begin() + at, data.begin() + at + size);
    at += size;
    p.push_back(uint8_t(parts - 1 - i));
    p.push_back(uint8_t(parts - 1));
    p.push_back(counter);
    out.push_back(p);
  }
  return out;
}

struct Pushed {
  bool complete;
  bool keyNeeded;
};

// Pushes a heap copy of exactly the part's size.
Pushed Push(HX_VideoFrameAssembler& a, const Bytes& part) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[part.empty() ? 1 : part.size()]);
  if (!part.empty()) std::memcpy(exact.get(), part.data(), part.size());
  bool needed = true;
  const bool complete =
      a.PushFrame(part.empty() ? nullptr : exact.get(), static_cast<uint16_t>(part.size()), needed);
  return {complete, needed};
}

// Pushes every part; true when the last completed the frame and none before did.
bool PushAll(HX_VideoFrameAssembler& a, const std::vector<Bytes>& parts) {
  for (size_t i = 0; i < parts.size(); ++i) {
    const Pushed p = Push(a, parts[i]);
    if (p.complete != (i + 1 == parts.size())) return false;
  }
  return true;
}

Bytes Frame(const HX_VideoFrameAssembler& a, bool* key = nullptr, uint32_t* time = nullptr) {
  const uint8_t* data = nullptr;
  uint64_t length = 0;
  uint32_t t = 0;
  const HX_RecvNhpVideoHeader* header = nullptr;
  bool k = false;
  a.getFrame(data, length, t, header, k);
  if (key) *key = k;
  if (time) *time = t;
  if (data == nullptr) return {};
  EXPECT_EQ(static_cast<const void*>(header), static_cast<const void*>(data));
  return Bytes(data, data + length);
}

// The frame's bitstream: what follows the 5-byte header.
Bytes Body(const HX_VideoFrameAssembler& a) {
  const Bytes frame = Frame(a);
  return frame.size() < 5 ? Bytes() : Bytes(frame.begin() + 5, frame.end());
}

class AssemblerTest : public ::testing::Test {
 protected:
  void SetUp() override { a.Reset(320, 240, true); }
  HX_VideoFrameAssembler a;
};

TEST_F(AssemblerTest, OnePartKeyFrameIsCompleteWithItsHeaderRewritten) {
  const Bytes key = Vp8Key(320, 240);
  const auto parts = Parts(true, 0x01020304, key, 1, 9);
  ASSERT_EQ(parts[0][parts[0].size() - 3], 0);
  ASSERT_EQ(parts[0][parts[0].size() - 2], 0);
  const Pushed p = Push(a, parts[0]);
  EXPECT_TRUE(p.complete);
  EXPECT_FALSE(p.keyNeeded);
  bool isKey = false;
  uint32_t time = 0;
  const Bytes frame = Frame(a, &isKey, &time);
  ASSERT_EQ(frame.size(), 5 + key.size());
  EXPECT_TRUE(isKey);
  EXPECT_EQ(frame[0], 0);  // 0 marks a key frame in the receive header
  EXPECT_EQ(time, 0x01020304u);
  EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), key);
  HX_RecvNhpVideoHeader header;
  ASSERT_TRUE(header.Load(frame.data(), frame.size()));
  EXPECT_TRUE(header.isKeyFrame());
  const uint32_t timeValue = header.timeValue;  // a packed member: copied, not bound
  EXPECT_EQ(timeValue, 0x01020304u);
}

TEST_F(AssemblerTest, ThreePartFramesAssembleInOrderAndAMissingPartWaitsForAKeyFrame) {
  const Bytes key = Vp8Key(320, 240, 300);
  ASSERT_TRUE(PushAll(a, Parts(true, 0, key, 3, 0)));
  EXPECT_EQ(Body(a), key);

  const Bytes delta = Vp8Delta(400);
  const auto parts = Parts(false, 33, delta, 3, 1);
  ASSERT_TRUE(PushAll(a, parts));
  bool isKey = true;
  const Bytes frame = Frame(a, &isKey);
  EXPECT_FALSE(isKey);
  EXPECT_EQ(frame[0], 1);
  EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), delta);

  // Frame 2 loses its middle part: left 2, then left 0.
  const auto lost = Parts(false, 33, delta, 3, 2);
  EXPECT_FALSE(Push(a, lost[0]).complete);
  const Pushed p = Push(a, lost[2]);
  EXPECT_FALSE(p.complete);
  EXPECT_FALSE(p.keyNeeded);
  EXPECT_TRUE(a.IsWaitingForKeyFrame());
  EXPECT_TRUE(Frame(a).empty());
  // The next delta frame is refused and asks for a key frame; a key frame resumes.
  const Pushed refused = Push(a, Parts(false, 33, delta, 1, 3)[0]);
  EXPECT_FALSE(refused.complete);
  EXPECT_TRUE(refused.keyNeeded);
  ASSERT_TRUE(PushAll(a, Parts(true, 0, key, 2, 77)));
  ASSERT_TRUE(PushAll(a, Parts(false, 33, delta, 2, 78)));
}

TEST_F(AssemblerTest, RefusedDeltaFramesAskForAKeyFrameOnTheFirstAndEverySixteenth) {
  const Bytes delta = Vp8Delta();
  for (int i = 1; i <= 40; ++i) {
    const Pushed p = Push(a, Parts(false, 33, delta, 1, uint8_t(i))[0]);
    EXPECT_FALSE(p.complete) << i;
    EXPECT_EQ(p.keyNeeded, i == 1 || i == 17 || i == 33) << i;
  }
  // A key frame resets the count.
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  a.Reset(true);
  EXPECT_TRUE(Push(a, Parts(false, 33, delta, 1, 1)[0]).keyNeeded);
}

TEST_F(AssemblerTest, FrameCounterWrapsWithoutALoss) {
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 2, 254)));
  for (int c : {255, 0, 1, 2}) {
    EXPECT_TRUE(PushAll(a, Parts(false, 33, Vp8Delta(), 2, uint8_t(c)))) << c;
  }
  EXPECT_FALSE(a.IsWaitingForKeyFrame());
}

TEST_F(AssemblerTest, KeyFrameOfANewSizeReplacesTheBufferByBlackBeforeItsFirstChunk) {
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  ASSERT_TRUE(PushAll(a, Parts(false, 33, Vp8Delta(), 1, 1)));
  EXPECT_EQ(a.Capacity(), 320u * 240 * 3 / 2);

  const Bytes key = Vp8Key(640, 480, 100);
  const auto parts = Parts(true, 0, key, 2, 5);
  EXPECT_FALSE(Push(a, parts[0]).complete);
  EXPECT_EQ(a.Width(), 640u);
  EXPECT_EQ(a.Height(), 480u);
  EXPECT_EQ(a.Capacity(), 640u * 480 * 3 / 2);
  const size_t chunk = parts[0].size() - 3;
  const uint8_t* buffer = a.Buffer();
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(Bytes(buffer + 1, buffer + chunk), Bytes(parts[0].begin() + 1, parts[0].end() - 3));
  // Past the chunk: black luma, grey chroma, from the fresh picture.
  for (size_t i = chunk; i < 640u * 480; i += 997) ASSERT_EQ(buffer[i], 0) << i;
  for (size_t i = 640u * 480; i < 640u * 480 * 3 / 2; i += 331) ASSERT_EQ(buffer[i], 128) << i;
  EXPECT_TRUE(Push(a, parts[1]).complete);
  EXPECT_EQ(Body(a), key);
}

TEST_F(AssemblerTest, BufferGrowsForFramesLargerThanThePicture) {
  a.Reset(16, 16, true);
  const Bytes key = Vp8Key(16, 16, 3000);
  ASSERT_TRUE(PushAll(a, Parts(true, 0, key, 3, 0)));
  EXPECT_EQ(Frame(a).size(), 5 + key.size());
  EXPECT_GE(a.Capacity(), 5 + key.size());
  EXPECT_EQ(Body(a), key);
}

// Peer sizes the buffer must not follow: 0 and sides above 8192 keep the current buffer.
TEST_F(AssemblerTest, ProbedSizesOfZeroOrAbove8192KeepTheBuffer) {
  const struct {
    int w, h;
    bool used;
  } cases[] = {{0, 240, false},       {320, 0, false},  {8193, 8192, false}, {8192, 8193, false},
               {16383, 16383, false}, {8192, 16, true}, {176, 144, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    a.Reset(320, 240, true);
    const Bytes key = Vp8Key(c.w, c.h);
    ASSERT_TRUE(PushAll(a, Parts(true, 0, key, 1, 0)));
    EXPECT_EQ(a.Width(), c.used ? uint64_t(c.w) : 320u);
    EXPECT_EQ(a.Height(), c.used ? uint64_t(c.h) : 240u);
    EXPECT_EQ(Body(a), key);
  }
}

// Parts too short for their trailer or header are losses; nothing beyond them is read.
TEST_F(AssemblerTest, ShortPartsAreLossesThatAskForAKeyFrame) {
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  const std::vector<Bytes> shorts = {
      {},
      {0},
      {0, 0},
      {0, 0, 1},              // a first part of 3 bytes: no header
      {1, 0, 0, 0, 0, 0, 2},  // 7 bytes, first part (left 0 = minus-one 0)
  };
  for (size_t i = 0; i < shorts.size(); ++i) {
    a.Reset(false);
    ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
    const Pushed p = Push(a, shorts[i]);
    EXPECT_FALSE(p.complete) << i;
    EXPECT_TRUE(a.IsWaitingForKeyFrame()) << i;
    // The key frame before reset the refusal count: the first refusal asks.
    EXPECT_TRUE(p.keyNeeded) << i;
  }
  // An 8-byte first part (header and trailer, no bitstream) is a frame.
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  EXPECT_TRUE(Push(a, Parts(false, 7, {}, 1, 1)[0]).complete);
  EXPECT_EQ(Frame(a).size(), 5u);
}

// The last part of a frame whose first parts were lost carries the expected counter and position
// once the previous frame completed; it must not be taken for a frame.
TEST_F(AssemblerTest, ATailWithoutItsFirstPartIsALoss) {
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  const auto parts = Parts(false, 33, Vp8Delta(100), 2, 1);
  const Pushed p = Push(a, parts[1]);  // left 0, counter 1: the expected values
  EXPECT_FALSE(p.complete);
  EXPECT_TRUE(a.IsWaitingForKeyFrame());
  EXPECT_TRUE(Frame(a).empty());
  // While waiting, the same tail is refused too.
  EXPECT_FALSE(Push(a, Parts(false, 33, Vp8Delta(100), 2, 0)[1]).complete);
}

TEST(Assembler, NothingIsAssembledUntilASizeIsKnownFromTheStreamOrAKeyFrame) {
  HX_VideoFrameAssembler a;
  EXPECT_FALSE(a.IsReady());
  EXPECT_FALSE(Push(a, Parts(false, 33, Vp8Delta(), 1, 0)[0]).complete);
  // A key frame without a probeable size: still nothing.
  Bytes unknown(40, 0x55);
  EXPECT_FALSE(Push(a, Parts(true, 0, unknown, 1, 0)[0]).complete);
  EXPECT_FALSE(a.IsReady());
  // A key frame that announces its size.
  EXPECT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(176, 144), 2, 3)));
  EXPECT_TRUE(a.IsReady());
  EXPECT_EQ(a.Width(), 176u);
  // A size of 0 or above 8192 from the stream clears it again.
  for (const auto& size : {std::pair<uint64_t, uint64_t>{0, 240},
                           {320, 0},
                           {8193, 240},
                           {320, 8193},
                           {UINT64_MAX, UINT64_MAX},
                           {uint64_t{1} << 32, 2}}) {
    a.Reset(176, 144, true);
    ASSERT_TRUE(a.IsReady());
    a.Reset(size.first, size.second, true);
    EXPECT_FALSE(a.IsReady()) << size.first << "x" << size.second;
  }
  a.Reset(176, 144, true);
  EXPECT_TRUE(a.IsReady());
  EXPECT_TRUE(PushAll(a, Parts(true, 0, unknown, 1, 0)));
}

TEST_F(AssemblerTest, AKeyFrameStartingMidFrameReplacesTheFrameInProgress) {
  ASSERT_TRUE(PushAll(a, Parts(true, 0, Vp8Key(320, 240), 1, 0)));
  const auto delta = Parts(false, 33, Vp8Delta(90), 3, 1);
  EXPECT_FALSE(Push(a, delta[0]).complete);
  const Bytes key = Vp8Key(320, 240, 50);
  ASSERT_TRUE(PushAll(a, Parts(true, 0, key, 2, 40)));
  EXPECT_EQ(Body(a), key);
  // The rest of the interrupted frame is a loss.
  EXPECT_FALSE(Push(a, delta[1]).complete);
  EXPECT_TRUE(a.IsWaitingForKeyFrame());
}

}  // namespace
