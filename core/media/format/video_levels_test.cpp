// The level table and the automatic-quality ladders: the constant data checked by its invariants,
// the lookups' worked cases in one table, and a sweep over every argument value that must stay
// inside the tables (AddressSanitizer watches the reads).
#include "core/media/format/video_levels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/wire/media_format.h"

namespace {

TEST(VideoLevels, TableHoldsFortySevenRisingLevelsNamedAfterThemselves) {
  int filled = 0;
  int lastMBps = 0;
  for (size_t i = 0; i < kn_VideoLevelRows - 1; ++i) {
    const kn_levelVideo_t& row = kn_VideoLevels[i];
    if (row.level == 0) continue;
    ++filled;
    EXPECT_EQ(row.level, i) << "a row sits at the index of its level";
    EXPECT_GT(row.maxMBps, lastMBps) << "level " << i;
    lastMBps = row.maxMBps;
    EXPECT_GT(row.maxMBpf, 0);
    char expected[8];
    std::snprintf(expected, sizeof expected, " %d.%d", row.level / 10, row.level % 10);
    EXPECT_STREQ(row.name, expected);
  }
  EXPECT_EQ(filled, 47);
  EXPECT_EQ(kn_VideoLevels[kn_VideoLevelRows - 1].level, 255);
  EXPECT_EQ(kn_VideoLevels[10].maxMBps, 693);
  EXPECT_EQ(kn_VideoLevels[98].maxMBpf, 32400);
}

TEST(VideoLevels, LaddersHaveEightStepsAndColumnsDifferOnlyInCodec) {
  const uint32_t codecs[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264,
                             HX_MediaFormat::kCodecH265, HX_MediaFormat::kCodecVP8};
  for (int s = 0; s < kn_AutoSchemes; ++s) {
    for (int c = 0; c < kn_AutoColumns; ++c) {
      const kn_AutoLadder& ladder = kn_AutoVideoModeDesc[s][c];
      int steps = 0;
      while (steps < kn_AutoRows && ladder[steps].level != 0) ++steps;
      EXPECT_EQ(steps, 8) << s << "/" << c;
      for (int r = 0; r < 8; ++r) {
        const kn_AutoModeDesc_t& a = ladder[r];
        const kn_AutoModeDesc_t& ref = kn_AutoVideoModeDesc[s][0][r];
        EXPECT_EQ(a.codec, codecs[c]);
        EXPECT_EQ(a.level, ref.level);
        EXPECT_EQ(a.frameRate, ref.frameRate);
        EXPECT_EQ(a.minBitrate, ref.minBitrate);
        EXPECT_EQ(a.maxBitrate, ref.maxBitrate);
        EXPECT_EQ(a.width, ref.width);
        EXPECT_EQ(a.height, ref.height);
        if (r > 0) {
          EXPECT_GT(a.level, ladder[r - 1].level);
        }
        // Every ladder level is a level of the table.
        EXPECT_EQ(kn_VideoLevels[a.level].level, a.level);
        // Scheme 1 equals scheme 0 up to level 58.
        if (s == 1 && a.level <= 58) {
          const kn_AutoModeDesc_t& s0 = kn_AutoVideoModeDesc[0][c][r];
          EXPECT_EQ(std::memcmp(&a, &s0, sizeof a), 0) << "row " << r;
        }
      }
    }
  }
  EXPECT_EQ(kn_AutoVideoModeDesc[1][0][5].level, 62);
  EXPECT_EQ(kn_AutoVideoModeDesc[1][0][5].frameRate, 60);
}

TEST(VideoLevels, WorkedCases) {
  kn_VideoLevelCaps levels;
  kn_AutoLevelCaps ladders;
  kn_AutoLevelCaps extended;
  extended.SetAutoScheme(eHQAutoSchemeExtended);
  struct Case {
    const char* what;
    int got;
    int want;
  };
  const Case cases[] = {
      {"max level", levels.GetMaxLevel(), 98},
      {"CheckLevel(5)", levels.CheckLevel(5), 10},
      {"CheckLevel(14)", levels.CheckLevel(14), 13},
      {"CheckLevel(255)", levels.CheckLevel(255), 98},
      {"MBps2Level(692)", levels.MBps2Level(692), 10},
      {"MBps2Level(12000)", levels.MBps2Level(12000), 31},
      {"MBps2Level(10000000)", levels.MBps2Level(10000000), 98},
      {"MB2Level(100)", levels.MB2Level(100), 10},
      {"MB2Level(1000)", levels.MB2Level(1000), 30},
      {"MB2Level(32400)", levels.MB2Level(32400), 98},
      {"LevelSnd2Rating(60)", levels.LevelSnd2Rating(60), 830},
      {"LevelSnd2Rating(59)", levels.LevelSnd2Rating(59), 790},
      {"LevelSnd2Rating(11)", levels.LevelSnd2Rating(11), 0},
      {"LevelSnd2Rating(63)", levels.LevelSnd2Rating(63), 870},
      {"LevelSnd2Rating(62)", levels.LevelSnd2Rating(62), 830},
      {"LevelSnd2Rating(12)", levels.LevelSnd2Rating(12), 50},
      {"Rating2LevelRcv(600)", levels.Rating2LevelRcv(600), 58},
      {"Rating2LevelRcv(599)", levels.Rating2LevelRcv(599), 47},
      {"Rating2LevelRcv(710)", levels.Rating2LevelRcv(710), 75},
      {"Rating2LevelRcv(855)", levels.Rating2LevelRcv(855), 89},
      {"Rating2LevelRcv(854)", levels.Rating2LevelRcv(854), 85},
      {"Rating2LevelRcv(-5)", levels.Rating2LevelRcv(-5), 24},
      {"MergeRatingVsLevel(900, 0)", levels.MergeRatingVsLevel(900, 0), 89},
      {"MergeRatingVsLevel(900, 30)", levels.MergeRatingVsLevel(900, 30), 30},
      {"ladder min", ladders.GetMinLevel(), 28},
      {"ladder max", ladders.GetMaxLevel(), 91},
      {"extended max", extended.GetMaxLevel(), 91},
      {"start bit-rate level", ladders.GetStartBitrateLevel(), 32},
      {"ladder CheckLevel(0)", ladders.CheckLevel(0), 28},
      {"ladder CheckLevel(20)", ladders.CheckLevel(20), 20},
      {"ladder CheckLevel(40)", ladders.CheckLevel(40), 36},
      {"ladder CheckLevel(100)", ladders.CheckLevel(100), 91},
      {"ladder CheckLevel(62)", ladders.CheckLevel(62), 58},
      {"extended CheckLevel(62)", extended.CheckLevel(62), 62},
      {"CheckBitrateLevel(500, up, 32)", ladders.CheckBitrateLevel(500, true, 32), 47},
      {"CheckBitrateLevel(500, down, 91)", ladders.CheckBitrateLevel(500, false, 91), 47},
      {"CheckBitrateLevel(10, down, 91)", ladders.CheckBitrateLevel(10, false, 91), 28},
      {"CheckBitrateLevel(99999, up, 0)", ladders.CheckBitrateLevel(99999, true, 0), 91},
      {"CheckBitrateLevel(100, up, 58)", ladders.CheckBitrateLevel(100, true, 58), 58},
      {"CheckBitrateLevel(5000, down, 47)", ladders.CheckBitrateLevel(5000, false, 47), 47},
      // Compared as unsigned: a negative rate is larger than every maximum.
      {"CheckBitrateLevel(-1, up, 0)", ladders.CheckBitrateLevel(-1, true, 0), 91},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  kn_levelVideo_t row{};
  row.level = 77;
  EXPECT_FALSE(levels.GetLevelDesc(14, &row));
  EXPECT_EQ(row.level, 77) << "untouched";
  ASSERT_TRUE(levels.GetLevelDesc(30, &row));
  EXPECT_EQ(row.maxMBps, 9900);
  EXPECT_EQ(row.maxMBpf, 900);
  EXPECT_STREQ(row.name, " 3.0");

  // Below the first step: the reference ladder's first step with the level's frame-rate limit,
  // whatever the column.
  const struct {
    uint8_t level;
    int frameRate;
  } low[] = {{10, 7}, {21, 8}, {26, 15}};
  for (const auto& l : low) {
    for (kn_AutoLevelCaps* caps : {&ladders, &extended}) {
      kn_AutoModeDesc_t step{};
      ASSERT_TRUE(caps->GetLevelDesc(l.level, 1, &step));
      EXPECT_EQ(step.level, 28);
      EXPECT_EQ(step.frameRate, l.frameRate);
      EXPECT_EQ(step.codec, HX_MediaFormat::kCodecVP8);
      EXPECT_EQ(step.width, 320);
      EXPECT_EQ(step.height, 176);
    }
  }
  kn_AutoModeDesc_t step{};
  EXPECT_FALSE(ladders.GetLevelDesc(14, 0, &step)) << "no row for level 14";
  EXPECT_FALSE(ladders.GetLevelDesc(40, 0, &step)) << "between two steps";
  ASSERT_TRUE(ladders.GetLevelDesc(63, 1, &step));
  EXPECT_EQ(step.codec, HX_MediaFormat::kCodecH264);
  EXPECT_EQ(step.width, 1920);
  EXPECT_FALSE(extended.GetLevelDesc(63, 1, &step));
  ASSERT_TRUE(extended.GetLevelDesc(62, 2, &step));
  EXPECT_EQ(step.frameRate, 60);
  EXPECT_EQ(step.codec, HX_MediaFormat::kCodecH265);
}

TEST(VideoLevels, EveryArgumentStaysInsideTheTables) {
  kn_VideoLevelCaps levels;
  kn_AutoLevelCaps ladders[2];
  ladders[1].SetAutoScheme(eHQAutoSchemeExtended);
  int found = 0;
  for (int level = 0; level <= 255; ++level) {
    const uint8_t l = static_cast<uint8_t>(level);
    kn_levelVideo_t row{};
    found += levels.GetLevelDesc(l, &row);
    const uint8_t checked = levels.CheckLevel(l);
    EXPECT_TRUE(levels.GetLevelDesc(checked, &row)) << level;
    EXPECT_LE(checked, std::max(level, 10));
    for (const kn_AutoLevelCaps& caps : ladders) {
      const uint8_t c = caps.CheckLevel(l);
      EXPECT_LE(c, std::max<int>(level, 28));
      for (int column = -1; column <= 4; ++column) {
        kn_AutoModeDesc_t step{};
        step.level = 200;
        const bool ok = caps.GetLevelDesc(l, column, &step);
        if (column < 0 || column > 3) {
          EXPECT_FALSE(ok);
          EXPECT_EQ(step.level, 200);
        }
      }
      for (int rate : {-1, 0, 95, 96, 500, 16000, 1 << 30}) {
        for (bool up : {false, true}) {
          const uint8_t b = caps.CheckBitrateLevel(rate, up, l);
          EXPECT_GE(b, 28);
          EXPECT_LE(b, 91);
        }
      }
    }
  }
  EXPECT_EQ(found, 47);
  for (int rating = -1000; rating <= 2000; ++rating) {
    const uint8_t rcv = levels.Rating2LevelRcv(rating);
    EXPECT_GE(rcv, 24);
    EXPECT_LE(rcv, 89);
    EXPECT_EQ(levels.MergeRatingVsLevel(rating, 0), rcv);
  }
  for (int level = 0; level <= 255; ++level) {
    const int r = levels.LevelSnd2Rating(static_cast<uint8_t>(level));
    EXPECT_GE(r, 0);
    EXPECT_LE(r, 870);
  }
  // An unknown scheme value is ignored rather than used as an index.
  kn_AutoLevelCaps caps;
  caps.SetAutoScheme(static_cast<eHQAutoScheme>(7));
  EXPECT_EQ(caps.GetAutoScheme(), eHQAutoSchemeStandard);
  EXPECT_EQ(caps.CheckLevel(62), 58);
}

}  // namespace
