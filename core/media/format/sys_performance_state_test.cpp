// The benchmark record: its 32 stored bytes at their offsets, what follows from
// a score (the worked cases of the benchmark), the level names, and the stored
// bytes read as the untrusted file input they are: other sizes, garbage, and
// fields that lie about the score.
#include "core/media/format/sys_performance_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/media/format/video_levels.h"

namespace {

const kn_VideoLevelCaps& Levels() {
  static const kn_VideoLevelCaps levels;
  return levels;
}

std::vector<uint8_t> Bytes(const HX_SysPerformanceState& s) {
  std::vector<uint8_t> out(HX_SysPerformanceState::kBytes);
  s.ToBytes(out.data());
  return out;
}

HX_SysPerformanceState Read(const std::vector<uint8_t>& bytes) {
  return HX_SysPerformanceState::FromBytes(bytes.data(), bytes.size());
}

TEST(SysPerformanceState, StoredBytesAreLittleEndianAtFixedOffsets) {
  HX_SysPerformanceState s;
  s.score = 0x01020304;
  s.sendRate = -2;
  s.secondRate = 0x0A0B0C0D;
  s.groupRate = 0x11121314;
  s.sendLevel = 47;
  s.secondLevel = 54;
  s.groupLevel = 60;
  std::memset(s.reserved, 0xEE, sizeof(s.reserved));  // never written
  s.duration = 0x2122232425262728ULL;
  const std::vector<uint8_t> expected = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x0D, 0x0C, 0x0B,
                                         0x0A, 0x14, 0x13, 0x12, 0x11, 47,   54,   60,   0,    0,    0,
                                         0,    0,    0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21};
  EXPECT_EQ(Bytes(s), expected);
}

TEST(SysPerformanceState, FirstRunOfFiveHundredMilliseconds) {
  // 79000 / 500 = 158; 640 x 480 x 158 >> 8 = 189600.
  const HX_SysPerformanceState s = HX_SysPerformanceState::FromScore(189600, 500, Levels());
  EXPECT_EQ(s.score, 189600);
  EXPECT_EQ(s.sendRate, 49296);
  EXPECT_EQ(s.sendLevel, 47);
  EXPECT_EQ(s.secondRate, 79632);
  EXPECT_EQ(s.secondLevel, 54);
  // truncate((75840 - 13500) x 2.0999999999999996)
  EXPECT_EQ(s.groupRate, 130913);
  EXPECT_EQ(s.groupLevel, 60);
  EXPECT_EQ(s.duration, 500u);
}

TEST(SysPerformanceState, GroupRateCases) {
  struct Case {
    int rate, score, percent;
    double factor;
    int expected;
  };
  const Case cases[] = {
      {11600, 40000, 60, 3.0, 12809},    // 6100 x 2.0999999999999996, not 12810
      {49296, 189600, 60, 3.0, 130913},  // the level is capped at 32
      {0, 0, 60, 3.0, -1455},            // level 10 (693): (0 - 693) x 2.1
      {11600, 20000, 60, 3.0, -3989},    // 8000 - 9900 < 0: negative
      // Extreme arguments stay in range instead of overflowing.
      {2147483647, 2147483647, -2147483647 - 1, 1e300, 2147483647},
      {0, -2147483647 - 1, -100, 1e300, -2147483647 - 1},
      {0, 0, 60, std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HX_SysPerformanceState::GroupMBps(Levels(), c.rate, c.score, c.percent, c.factor), c.expected)
        << c.rate << " " << c.score << " " << c.percent;
  }
}

TEST(SysPerformanceState, ScoresUpToTheLargestMeasurementDoNotOverflow) {
  const HX_SysPerformanceState s =
      HX_SysPerformanceState::FromScore(HX_SysPerformanceState::kMaxScore, 1, Levels());
  EXPECT_EQ(s.sendRate, 24648000);
  EXPECT_EQ(s.secondRate, 39816000);  // score x 42 does not fit 32 bits
  EXPECT_EQ(s.sendLevel, Levels().MBps2Level(24648000));
  EXPECT_GT(s.groupRate, 0);
}

TEST(SysPerformanceState, ResultsReadBackUnchanged) {
  for (int32_t score : {0, 1, 40000, 60000, 90000, 189600, 1234567, HX_SysPerformanceState::kMaxScore}) {
    const HX_SysPerformanceState s = HX_SysPerformanceState::FromScore(score, 321, Levels());
    EXPECT_EQ(Read(Bytes(s)), s) << score;
  }
  // The record of a device that never measured.
  EXPECT_EQ(Read(std::vector<uint8_t>(32, 0)), HX_SysPerformanceState());
}

TEST(SysPerformanceState, StoredValuesOfAnotherSizeReadAsNeverMeasured) {
  const std::vector<uint8_t> good = Bytes(HX_SysPerformanceState::FromScore(189600, 500, Levels()));
  for (size_t size : {0u, 1u, 19u, 24u, 31u, 33u, 64u}) {
    std::vector<uint8_t> bytes = good;
    bytes.resize(size, 0);
    EXPECT_EQ(Read(bytes), HX_SysPerformanceState()) << size;
  }
  EXPECT_EQ(HX_SysPerformanceState::FromBytes(nullptr, 32), HX_SysPerformanceState());
}

TEST(SysPerformanceState, ImpossibleScoresReadAsNeverMeasured) {
  for (int32_t score : {-1, -2147483647 - 1, HX_SysPerformanceState::kMaxScore + 1, 2147483647}) {
    HX_SysPerformanceState s = HX_SysPerformanceState::FromScore(score, 500, Levels());
    EXPECT_EQ(Read(Bytes(s)), HX_SysPerformanceState()) << score;
  }
  EXPECT_EQ(Read(std::vector<uint8_t>(32, 0xFF)), HX_SysPerformanceState());
}

TEST(SysPerformanceState, FieldsThatLieAboutTheScoreAreRebuiltFromIt) {
  const HX_SysPerformanceState truth = HX_SysPerformanceState::FromScore(189600, 500, Levels());
  struct Lie {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
  };
  const Lie lies[] = {
      {"send level 255 (a level without a row)", 16, {255}},
      {"send level 0", 16, {0}},
      {"second level 98", 17, {98}},
      {"group level 200", 18, {200}},
      {"send rate", 4, {0xFF, 0xFF, 0xFF, 0x7F}},
      {"negative second rate", 8, {0x00, 0x00, 0x00, 0x80}},
      {"group rate", 12, {1, 0, 0, 0}},
      {"reserved bytes", 19, {1, 2, 3, 4, 5}},
  };
  for (const Lie& lie : lies) {
    std::vector<uint8_t> bytes = Bytes(truth);
    std::memcpy(bytes.data() + lie.offset, lie.bytes.data(), lie.bytes.size());
    EXPECT_EQ(Read(bytes), truth) << lie.what;
  }
  // A zero score with levels is not the never-measured record: it is what a
  // measurement of 0 gives (level 10 everywhere, a negative group rate).
  std::vector<uint8_t> zeroScore(32, 0);
  zeroScore[16] = 90;
  const HX_SysPerformanceState read = Read(zeroScore);
  EXPECT_EQ(read, HX_SysPerformanceState::FromScore(0, 0, Levels()));
  EXPECT_EQ(read.sendLevel, 10);
  EXPECT_LT(read.groupRate, 0);
  // The duration is kept as stored: nothing derives from it.
  std::vector<uint8_t> longDuration = Bytes(truth);
  std::memset(longDuration.data() + 24, 0xFF, 8);
  EXPECT_EQ(Read(longDuration).duration, ~uint64_t{0});
  // A never-measured record keeps no duration.
  std::vector<uint8_t> zeroWithDuration(32, 0);
  zeroWithDuration[24] = 7;
  EXPECT_EQ(Read(zeroWithDuration), HX_SysPerformanceState());
}

TEST(SysPerformanceState, EveryByteFlipReadsAsARecordTheBenchmarkCouldWrite) {
  const HX_SysPerformanceState truth = HX_SysPerformanceState::FromScore(1234567, 77, Levels());
  const std::vector<uint8_t> good = Bytes(truth);
  for (size_t i = 0; i < good.size(); ++i) {
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> bytes = good;
      bytes[i] ^= mask;
      const HX_SysPerformanceState read = Read(bytes);
      const bool neverMeasured = read == HX_SysPerformanceState();
      if (!neverMeasured) {
        EXPECT_EQ(read, HX_SysPerformanceState::FromScore(read.score, read.duration, Levels()))
            << "byte " << i << " mask " << int(mask);
      }
      if (i >= 4) EXPECT_EQ(read.score, truth.score) << "byte " << i;
    }
  }
}

TEST(SysPerformanceOverall, LevelNames) {
  struct Case {
    uint8_t level;
    const char* name;
  };
  const Case cases[] = {{0, "SD"},    {10, "SD"},  {31, "SD"},  {32, "HQ"},    {46, "HQ"},     {47, "ED"},
                        {57, "ED"},   {58, "HD"},  {62, "HD"},  {63, "FHD"},   {80, "FHD"},    {81, "WQHD"},
                        {90, "WQHD"}, {91, "UHD"}, {97, "UHD"}, {98, "UHD60"}, {254, "UHD60"}, {255, ""}};
  for (const Case& c : cases) {
    EXPECT_STREQ(HX_SysPerformanceOverall::sysRating::LevelName(c.level), c.name) << int(c.level);
  }
  HX_SysPerformanceOverall::sysRating rating;
  HX_SysPerformanceState s;
  s.sendLevel = 58;
  s.secondLevel = 57;
  s.groupLevel = 98;
  rating.setIdc(s);
  EXPECT_EQ(rating.sendLevel, 58);
  EXPECT_EQ(rating.sendName, "HD");
  EXPECT_EQ(rating.secondName, "ED");
  EXPECT_EQ(rating.groupName, "UHD60");
  rating.groupLevel = 255;
  rating.fillNames();
  EXPECT_EQ(rating.groupName, "");
}

}  // namespace
