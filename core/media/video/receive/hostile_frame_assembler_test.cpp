// The frame assembler fed as a hostile or broken TCP peer would feed it: parts shorter than their
// trailer, lying trailers (missing first parts, parts out of order, repeated parts, wrong
// counters), key frames announcing sizes of 0 or beyond any limit, sizes that overflow
// width x height x 3 / 2, resets in the middle of a frame, and a long stream damaged at random.
// Every part is handed over in a heap buffer of exactly its length, so AddressSanitizer reports
// any read outside it. Whatever the damage, a frame the assembler reports complete must be
// byte for byte a frame the peer sent.

#include "core/media/video/receive/frame_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A VP8 key-frame bitstream announcing a size, then `tail` bytes.
Bytes Vp8Key(unsigned width, unsigned height, size_t tail = 20) {
  Bytes b = {0x10,
             0x02,
             0x00,
             0x9D,
             0x01,
             0x2A,
             static_cast<uint8_t>(width),
             static_cast<uint8_t>(width >> 8),
             static_cast<uint8_t>(height),
             static_cast<uint8_t>(height >> 8)};
  for (size_t i = 0; i < tail; ++i) b.push_back(static_cast<uint8_t>(i * 31 + 7));
  return b;
}

// Bytes no probe recognises as the start of a key frame (a VP8 inter-frame tag).
Bytes Opaque(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  if (n > 0) b[0] = 0x31;
  return b;
}

// A frame as the peer sends it: the type byte (1 key, 0 other), the time value, the bitstream;
// and as the assembler must hand it on (type byte 0 key, 1 other).
struct Frame {
  Bytes sent;
  Bytes assembled;
  uint32_t time;
  bool key;
};

Frame MakeFrame(bool key, uint32_t time, const Bytes& bitstream) {
  Frame f;
  f.key = key;
  f.time = time;
  f.sent = {static_cast<uint8_t>(key ? 1 : 0), static_cast<uint8_t>(time),
            static_cast<uint8_t>(time >> 8), static_cast<uint8_t>(time >> 16),
            static_cast<uint8_t>(time >> 24)};
  f.sent.insert(f.sent.end(), bitstream.begin(), bitstream.end());
  f.assembled = f.sent;
  f.assembled[0] = key ? 0 : 1;
  return f;
}

Bytes WithTrailer(Bytes chunk, uint8_t left, uint8_t minusOne, uint8_t counter) {
  chunk.push_back(left);
  chunk.push_back(minusOne);
  chunk.push_back(counter);
  return chunk;
}

// Cuts a frame into `count` parts of about equal size (the first at least the 5-byte header;
// later ones may be empty) with trailers.
std::vector<Bytes> Cut(const Frame& frame, int count, uint8_t counter) {
  std::vector<Bytes> parts;
  const size_t total = frame.sent.size();
  size_t pos = 0;
  for (int i = 0; i < count; ++i) {
    size_t end = std::max(pos, total * static_cast<size_t>(i + 1) / static_cast<size_t>(count));
    if (i == 0) end = std::max<size_t>(end, 5);
    end = std::min(end, total);
    Bytes chunk(frame.sent.begin() + static_cast<std::ptrdiff_t>(pos),
                frame.sent.begin() + static_cast<std::ptrdiff_t>(end));
    parts.push_back(WithTrailer(chunk, static_cast<uint8_t>(count - 1 - i),
                                static_cast<uint8_t>(count - 1), counter));
    pos = end;
  }
  return parts;
}

struct Result {
  bool complete;
  bool keyNeeded;
};

// The assembler with helpers that copy each part into a buffer of its exact length.
class Feeder {
 public:
  explicit Feeder(uint64_t width = 320, uint64_t height = 240) {
    assembler.Reset(width, height, true);
  }

  Result Push(const Bytes& part) {
    EXPECT_LE(part.size(), 65535u);
    std::unique_ptr<uint8_t[]> exact(part.empty() ? nullptr : new uint8_t[part.size()]);
    if (!part.empty()) std::memcpy(exact.get(), part.data(), part.size());
    bool keyNeeded = true;  // must be written by every call
    const bool complete =
        assembler.PushFrame(exact.get(), static_cast<uint16_t>(part.size()), keyNeeded);
    return {complete, keyNeeded};
  }

  // Pushes every part; the number of completions.
  int PushAll(const std::vector<Bytes>& parts) {
    int completions = 0;
    for (const Bytes& p : parts) {
      const Result r = Push(p);
      keyRequested = keyRequested || r.keyNeeded;
      if (r.complete) {
        ++completions;
        Check(r);
      }
    }
    return completions;
  }

  // The frame reported complete must be one that was sent.
  void Check(const Result& r) {
    ASSERT_TRUE(r.complete);
    ASSERT_FALSE(lastSent.empty()) << "a frame completed that was never sent";
    const uint8_t* data = nullptr;
    uint64_t length = 0;
    uint32_t time = 0;
    const HX_RecvNhpVideoHeader* header = nullptr;
    bool key = false;
    assembler.getFrame(data, length, time, header, key);
    ASSERT_NE(data, nullptr);
    const Bytes got(data, data + length);
    bool found = false;
    for (const Frame* f : lastSent) {
      if (f->assembled == got) {
        found = true;
        EXPECT_EQ(time, f->time);
        EXPECT_EQ(key, f->key);
      }
    }
    EXPECT_TRUE(found) << "a completed frame of " << length << " bytes is not a frame sent";
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(header), data);
  }

  // Sends the frame whole in `count` parts; true when it completed exactly once.
  bool Send(const Frame& frame, int count, uint8_t counter) {
    lastSent = {&frame};
    return PushAll(Cut(frame, count, counter)) == 1;
  }

  HX_VideoFrameAssembler assembler;
  std::vector<const Frame*> lastSent;
  bool keyRequested = false;  // some PushAll part set keyFrameNeeded
};

TEST(HostileFrameAssembler, NothingBeforeTheFirstFrame) {
  HX_VideoFrameAssembler a;
  const uint8_t* data = reinterpret_cast<const uint8_t*>(1);
  uint64_t length = 7;
  uint32_t time = 7;
  const HX_RecvNhpVideoHeader* header = reinterpret_cast<const HX_RecvNhpVideoHeader*>(1);
  bool key = true;
  a.getFrame(data, length, time, header, key);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(time, 0u);
  EXPECT_EQ(header, nullptr);
  EXPECT_FALSE(key);
}

// Parts too short for their trailer, or first parts too short for header and trailer, in the
// middle of a key frame: they are read within their length and drop the frame in progress.
TEST(HostileFrameAssembler, ShortPartsDropTheFrameInProgress) {
  const Frame key = MakeFrame(true, 40, Vp8Key(320, 240, 60));
  const Frame next = MakeFrame(true, 41, Vp8Key(320, 240, 70));
  const std::vector<Bytes> shortParts = {{},
                                         {2},
                                         {2, 2},
                                         WithTrailer({}, 0, 0, 1),
                                         WithTrailer({1}, 0, 0, 1),
                                         WithTrailer({1, 2}, 2, 2, 1),
                                         WithTrailer({1, 0, 0, 0}, 1, 1, 1),
                                         WithTrailer({0, 0, 0, 0}, 0, 0, 1)};
  for (size_t i = 0; i < shortParts.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "short part #" << i << " of " << shortParts[i].size());
    Feeder f;
    f.lastSent = {&key};
    const std::vector<Bytes> parts = Cut(key, 3, 0);
    EXPECT_FALSE(f.Push(parts[0]).complete);
    EXPECT_FALSE(f.Push(shortParts[i]).complete);
    EXPECT_TRUE(f.assembler.IsWaitingForKeyFrame());
    EXPECT_FALSE(f.Push(parts[1]).complete);
    EXPECT_FALSE(f.Push(parts[2]).complete);
    EXPECT_TRUE(f.Send(next, 2, 1)) << "the next key frame assembles";
  }
}

// Sequences of parts whose trailers lie, after a good key frame (counter 0): none may complete a
// frame that is not intact, every one is a loss, and the delta frame that follows is refused with
// a key-frame request until a key frame comes.
TEST(HostileFrameAssembler, LyingTrailersAreLosses) {
  const Frame key = MakeFrame(true, 10, Vp8Key(320, 240, 40));
  const Frame delta = MakeFrame(false, 33, Opaque(90, 1));
  const Frame later = MakeFrame(false, 33, Opaque(50, 2));
  const Frame key2 = MakeFrame(true, 11, Vp8Key(320, 240, 44));
  const std::vector<Bytes> d = Cut(delta, 3, 1);
  const std::vector<Bytes> after = Cut(later, 3, 2);
  auto withCounter = [](Bytes p, uint8_t c) {
    p.back() = c;
    return p;
  };
  auto withLeft = [](Bytes p, uint8_t left) {
    p[p.size() - 3] = left;
    return p;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> parts;
    int completions;
  } cases[] = {
      {"missing first part", {d[1], d[2]}, 0},
      {"out of order", {d[0], d[2], d[1]}, 0},
      {"middle part repeated", {d[0], d[1], d[1], d[2]}, 0},
      {"first part repeated", {d[0], d[0], d[1], d[2]}, 0},
      {"wrong counter in the middle", {d[0], withCounter(d[1], 7), d[2]}, 0},
      {"frame counter skipped",
       {withCounter(d[0], 2), withCounter(d[1], 2), withCounter(d[2], 2)},
       0},
      {"parts left above parts", {d[0], withLeft(d[1], 9), d[2]}, 0},
      {"last part lost, next frame starts", {d[0], d[1], after[0], after[1], after[2]}, 0},
      {"last part repeated after completion", {d[0], d[1], d[2], d[2]}, 1},
      {"whole frame repeated", {d[0], d[1], d[2], d[0], d[1], d[2]}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feeder f;
    ASSERT_TRUE(f.Send(key, 1, 0));
    f.lastSent = {&delta};
    f.keyRequested = false;
    EXPECT_EQ(f.PushAll(c.parts), c.completions);
    EXPECT_TRUE(f.assembler.IsWaitingForKeyFrame());

    // The next delta frame (counter 3) is refused; by its first part at the latest the caller
    // has been asked for a key frame.
    const Frame refused = MakeFrame(false, 33, Opaque(30, 3));
    const std::vector<Bytes> r = Cut(refused, 2, 3);
    EXPECT_EQ(f.PushAll({r[0]}), 0);
    EXPECT_TRUE(f.keyRequested);
    EXPECT_FALSE(f.Push(r[1]).complete);
    EXPECT_TRUE(f.Send(key2, 2, 4));
  }
}

// While waiting, the first refused delta frame and every 16th after it ask for a key frame, also
// past 256 refusals; a key frame ends the wait.
TEST(HostileFrameAssembler, KeyFrameRequestsEverySixteenthRefusal) {
  Feeder f;
  for (int i = 0; i < 300; ++i) {
    const Frame delta = MakeFrame(false, 33, Opaque(20, static_cast<uint8_t>(i)));
    const Result r = f.Push(Cut(delta, 1, static_cast<uint8_t>(i))[0]);
    EXPECT_FALSE(r.complete) << i;
    EXPECT_EQ(r.keyNeeded, i % 16 == 0) << "refusal " << i;
  }
  const Frame key = MakeFrame(true, 1, Vp8Key(320, 240));
  EXPECT_TRUE(f.Send(key, 1, 200));
  const Frame delta = MakeFrame(false, 33, Opaque(20, 9));
  EXPECT_TRUE(f.Send(delta, 1, 201));
}

TEST(HostileFrameAssembler, CounterWrapsWithoutLoss) {
  Feeder f;
  const Frame key = MakeFrame(true, 1, Vp8Key(320, 240));
  ASSERT_TRUE(f.Send(key, 2, 250));
  for (int i = 251; i < 262; ++i) {
    const Frame delta =
        MakeFrame(false, static_cast<uint32_t>(i), Opaque(40, static_cast<uint8_t>(i)));
    EXPECT_TRUE(f.Send(delta, 1 + i % 3, static_cast<uint8_t>(i))) << i;
  }
  EXPECT_FALSE(f.assembler.IsWaitingForKeyFrame());
}

// The size a key frame announces: a usable new size replaces the buffer by a black picture of it;
// 0, beyond the limit or the same size keep the buffer. The key frame itself is assembled intact.
TEST(HostileFrameAssembler, AnnouncedSizes) {
  struct Case {
    unsigned w, h;
    uint64_t expectW, expectH;
  } cases[] = {
      {640, 480, 640, 480},
      {320, 240, 320, 240},
      {0, 0, 320, 240},
      {0, 480, 320, 240},
      {8193, 480, 320, 240},
      {480, 8193, 320, 240},
      {16383, 16383, 320, 240},
      {0xFFFF, 0xFFFF, 320, 240},
      {8192, 8, 8192, 8},
      {641, 481, 641, 481},
      {1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    Feeder f;
    const Frame key = MakeFrame(true, 5, Vp8Key(c.w, c.h, 30));
    EXPECT_TRUE(f.Send(key, 1, 0));
    EXPECT_TRUE(f.assembler.IsReady());
    EXPECT_EQ(f.assembler.Width(), c.expectW);
    EXPECT_EQ(f.assembler.Height(), c.expectH);
    const uint64_t picture = c.expectW * c.expectH * 3 / 2;
    ASSERT_GE(f.assembler.Capacity(), std::max<uint64_t>(picture, key.assembled.size()));
    if (c.expectW != 320 && picture > key.assembled.size()) {
      // Beyond the frame the buffer still holds the black picture of the new size.
      const uint8_t* b = f.assembler.Buffer();
      const uint64_t luma = c.expectW * c.expectH;
      for (uint64_t i = key.assembled.size(); i < picture; ++i) {
        ASSERT_EQ(b[i], i < luma ? 0 : 128) << "byte " << i;
      }
    }
    const Frame delta = MakeFrame(false, 33, Opaque(25, 4));
    EXPECT_TRUE(f.Send(delta, 1, 1));
  }
}

// A key frame whose bitstream ends inside the size header: the probe reads only the part, the
// frame is assembled as sent, and the size is either kept or the announced one.
TEST(HostileFrameAssembler, KeyFrameCutInsideItsSizeHeader) {
  const Bytes full = Vp8Key(640, 480, 0);
  for (size_t n = 1; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    Feeder f;
    const Frame key = MakeFrame(true, 5, Bytes(full.begin(), full.begin() + static_cast<long>(n)));
    EXPECT_TRUE(f.Send(key, 1, 0));
    const bool kept = f.assembler.Width() == 320 && f.assembler.Height() == 240;
    const bool announced = f.assembler.Width() == 640 && f.assembler.Height() == 480;
    EXPECT_TRUE(kept || announced);
  }
}

// Sizes given by the stream's format: a side of 0 or beyond the limit (including products that
// wrap 64 bits) leaves the assembler without a size, so nothing is assembled and no huge buffer
// is allocated until a key frame announces a usable size; 1x1 works and grows for larger frames.
TEST(HostileFrameAssembler, ResetToHostileSizes) {
  struct Case {
    uint64_t w, h;
    bool ready;
  } cases[] = {
      {0, 240, false},
      {320, 0, false},
      {8193, 240, false},
      {320, 8193, false},
      {65535, 65535, false},
      {1ull << 31, 2, false},
      {1ull << 32, 1ull << 32, false},
      {UINT64_MAX, UINT64_MAX, false},
      {UINT64_MAX / 3 + 1, 2, false},
      {1, 1, true},
      {8192, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    Feeder f(c.w, c.h);
    EXPECT_EQ(f.assembler.IsReady(), c.ready);
    const Frame key = MakeFrame(true, 5, Opaque(70000, 3));
    f.lastSent = {&key};
    EXPECT_EQ(f.PushAll(Cut(key, 3, 0)), c.ready ? 1 : 0);
    if (c.ready) {
      EXPECT_EQ(f.assembler.Width(), c.w);
      EXPECT_GE(f.assembler.Capacity(), key.assembled.size());
      continue;
    }
    // Without a size, only a key frame announcing a usable one is assembled (and sets the size).
    const Frame beyond = MakeFrame(true, 6, Vp8Key(8193, 48));
    f.lastSent = {&beyond};
    EXPECT_EQ(f.PushAll(Cut(beyond, 2, 1)), 0);
    EXPECT_FALSE(f.assembler.IsReady());
    const Frame usable = MakeFrame(true, 7, Vp8Key(64, 48));
    EXPECT_TRUE(f.Send(usable, 2, 2));
    EXPECT_TRUE(f.assembler.IsReady());
    EXPECT_EQ(f.assembler.Width(), 64u);
    EXPECT_EQ(f.assembler.Height(), 48u);
  }
}

// Big frames: 256 parts (parts minus one 255) and parts of the largest length. The buffer grows
// geometrically and then stays: many frames do not make it grow further.
TEST(HostileFrameAssembler, LargeFramesAndBoundedGrowth) {
  Feeder f(16, 16);
  const Frame many = MakeFrame(true, 5, Vp8Key(16, 16, 256 * 400));
  EXPECT_TRUE(f.Send(many, 256, 0));

  const Frame huge = MakeFrame(true, 6, Vp8Key(16, 16, 3 * (65535 - 3) - 15));
  const std::vector<Bytes> parts = Cut(huge, 3, 1);
  for (const Bytes& p : parts) EXPECT_EQ(p.size(), 65535u);
  f.lastSent = {&huge};
  EXPECT_EQ(f.PushAll(parts), 1);
  const uint64_t largest = huge.assembled.size();
  EXPECT_LE(f.assembler.Capacity(), 2 * largest);

  const uint64_t capacity = f.assembler.Capacity();
  for (int i = 0; i < 500; ++i) {
    const Frame delta =
        MakeFrame(false, 33, Opaque(100 + (i * 997) % 60000, static_cast<uint8_t>(i)));
    ASSERT_TRUE(f.Send(delta, 1 + i % 4, static_cast<uint8_t>(2 + i)));
  }
  EXPECT_EQ(f.assembler.Capacity(), capacity);
}

// Resets between the parts of a frame: the frame in progress never completes torn.
TEST(HostileFrameAssembler, ResetsInTheMiddleOfAFrame) {
  const Frame key = MakeFrame(true, 5, Vp8Key(320, 240, 30));
  const Frame delta = MakeFrame(false, 33, Opaque(300, 1));
  const Frame key2 = MakeFrame(true, 6, Vp8Key(320, 240, 31));
  struct Case {
    const char* name;
    std::function<void(HX_VideoFrameAssembler&)> reset;
  } cases[] = {
      {"wait", [](HX_VideoFrameAssembler& a) { a.Reset(true); }},
      {"no wait", [](HX_VideoFrameAssembler& a) { a.Reset(false); }},
      {"same size, restart", [](HX_VideoFrameAssembler& a) { a.Reset(320, 240, true); }},
      {"new size, restart", [](HX_VideoFrameAssembler& a) { a.Reset(640, 480, true); }},
      {"new size, no restart", [](HX_VideoFrameAssembler& a) { a.Reset(640, 480, false); }},
      {"no size", [](HX_VideoFrameAssembler& a) { a.Reset(0, 0, false); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feeder f;
    ASSERT_TRUE(f.Send(key, 1, 0));
    f.lastSent = {&delta};
    const std::vector<Bytes> parts = Cut(delta, 3, 1);
    EXPECT_FALSE(f.Push(parts[0]).complete);
    EXPECT_FALSE(f.Push(parts[1]).complete);
    c.reset(f.assembler);
    // Completing here is allowed only with the intact frame (Check fails otherwise).
    f.PushAll({parts[2]});
    f.assembler.Reset(320, 240, false);
    EXPECT_TRUE(f.Send(key2, 2, 9));
  }
}

// A long stream damaged at random: parts dropped, swapped, cut below their trailer, or with the
// counter of a later part changed. Every completed frame is one that was sent; every undamaged
// key frame completes, and so does every undamaged delta frame that follows a completed frame
// without a loss in between.
TEST(HostileFrameAssembler, RandomDamageNeverTearsAFrame) {
  std::mt19937 rng(20261211);
  Feeder f(64, 48);
  bool waiting = true;
  int completions = 0;
  int expectedCompletions = 0;
  for (int i = 0; i < 3000; ++i) {
    const bool key = i % 25 == 0 || rng() % 40 == 0;
    const size_t size = 5 + rng() % 3000;
    const Frame frame =
        key ? MakeFrame(true, static_cast<uint32_t>(i), Vp8Key(64, 48, size))
            : MakeFrame(false, static_cast<uint32_t>(i), Opaque(size, static_cast<uint8_t>(i)));
    const int count = 1 + static_cast<int>(rng() % 5);
    std::vector<Bytes> parts = Cut(frame, count, static_cast<uint8_t>(i));
    bool damaged = true;
    switch (rng() % 40) {
      case 0:
        parts.erase(parts.begin() + static_cast<long>(rng() % parts.size()));
        break;
      case 1:
        if (parts.size() < 2) {
          damaged = false;
          break;
        }
        {
          const size_t at = rng() % (parts.size() - 1);
          std::swap(parts[at], parts[at + 1]);
        }
        break;
      case 2:
        parts[rng() % parts.size()].resize(rng() % 3);
        break;
      case 3:
        if (parts.size() < 2) {
          damaged = false;
          break;
        }
        parts[1 + rng() % (parts.size() - 1)].back() ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      default:
        damaged = false;
    }
    const bool expectComplete = !damaged && (key || !waiting);
    if (damaged) {
      waiting = true;
    } else if (key) {
      waiting = false;
    }
    f.lastSent = {&frame};
    const int got = f.PushAll(parts);
    completions += got;
    expectedCompletions += expectComplete ? 1 : 0;
    if (expectComplete) EXPECT_EQ(got, 1) << "frame " << i;
    if (testing::Test::HasFailure()) break;
  }
  EXPECT_EQ(completions, expectedCompletions);
  EXPECT_GT(expectedCompletions, 1000);
}

}  // namespace
