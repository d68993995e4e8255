// The capture-mode list: the descriptors it computes per level from a camera's capability list
// (worked reductions, filtering and merging of modes, the levels above the allowed one, screen
// capture, hardware-encoded modes, invalid caps), the fixed-size choice, and readers racing a
// recomputation.
#include "core/media/video/capture_slot_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/client/debug_tuning.h"

namespace {

using hx_processing_defs::eProcessingPixelFormat;

HX_CaptureMode Mode(int w, int h, float fps, int pf = 0) {
  HX_CaptureMode m;
  m.width = w;
  m.height = h;
  m.pixelFormat = static_cast<eProcessingPixelFormat>(pf);
  m.frameRates = {fps / 2, fps};
  return m;
}

HX_VideoCaptureModeDesc D(int i, int r, int k, int w, int h, int mbps, int mb) {
  return {i, r, k, w, h, mbps, mb};
}

void PrintTo(const HX_VideoCaptureModeDesc& d, std::ostream* os) {
  *os << "(" << d.modeIndex << ", " << d.reserved << ", " << d.kind << ", " << d.width << ", "
      << d.height << ", " << d.mbPerSecond << ", " << d.mbPerFrame << ")";
}

// The bridge's four camera modes, width first as it builds them.
HX_VideoCaptureCaps BridgeCaps() {
  HX_VideoCaptureCaps caps;
  caps.modes = {Mode(288, 352, 30), Mode(360, 480, 30), Mode(480, 640, 30), Mode(720, 1280, 30)};
  return caps;
}

TEST(CaptureSlotList, DefaultMaximumComesFromTheDebugTuning) {
  HX_VideoCaptureSlotList list;
  EXPECT_EQ(list.GetMaxLevel(), HX_DebugTuning::getVideoLevelMax());
  EXPECT_FALSE(list.IsValid());
  EXPECT_EQ(list.GetLevelDesc(30, false), HX_VideoCaptureModeDesc());
  EXPECT_EQ(list.GetLevelDesc(30, false).modeIndex, -2);
}

TEST(CaptureSlotList, ReducesTheFallbackModeToTheLevel) {
  HX_VideoCaptureSlotList list(69);
  HX_VideoCaptureCaps caps;
  caps.modes = {Mode(640, 480, 30), Mode(1280, 720, 30)};
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  ASSERT_TRUE(list.IsValid());
  EXPECT_EQ(list.GetLevelDesc(30, false), D(0, 0, 1, 552, 408, 9669, 879));
  // Level 51 (3600 per frame) takes 1280x720 whole, its rate limited by the level (54000/3600).
  EXPECT_EQ(list.GetLevelDesc(51, false), D(1, 0, 1, 1280, 720, 54000, 3600));
  // Level 31 (1200 per frame, 12000 per second): 640x480 whole at 10 frames per second.
  EXPECT_EQ(list.GetLevelDesc(31, false), D(0, 0, 1, 640, 480, 12000, 1200));
  EXPECT_EQ(list.GetLevelDesc(14, false).modeIndex, -2) << "no such level";
}

TEST(CaptureSlotList, FiltersAndMergesModes) {
  // 639x480 is not a multiple of 8: skipped by a camera, rounded to 632x480 by a screen capture.
  for (bool screen : {false, true}) {
    HX_VideoCaptureSlotList list(69);
    HX_VideoCaptureCaps caps;
    caps.screenCapture = screen;
    caps.modes = {Mode(639, 480, 30)};
    list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    EXPECT_EQ(list.IsValid(), screen);
    if (screen) {
      HX_VideoCaptureCaps stored;
      list.GetCaps(&stored);
      EXPECT_EQ(stored.modes[0].width, 632);
      EXPECT_EQ(list.GetLevelDesc(33, false), D(0, 0, 1, 632, 480, 15 * 1185, 1185));
    }
  }
  // Two modes of the same size, rate and flag: pixel format 0 is kept, whichever comes first.
  for (bool zeroFirst : {false, true}) {
    HX_VideoCaptureSlotList list(69);
    HX_VideoCaptureCaps caps;
    caps.modes = zeroFirst
                     ? std::vector<HX_CaptureMode>{Mode(640, 480, 30, 0), Mode(640, 480, 30, 3)}
                     : std::vector<HX_CaptureMode>{Mode(640, 480, 30, 3), Mode(640, 480, 30, 0)};
    list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    ASSERT_TRUE(list.IsValid());
    EXPECT_EQ(list.GetLevelDesc(33, false).modeIndex, zeroFirst ? 0 : 1);
  }
  // Disabled, unusable, too small, rate-less and hardware 8/9/10 modes are all skipped.
  HX_VideoCaptureSlotList list(69);
  HX_VideoCaptureCaps caps;
  caps.modes = {Mode(640, 480, 30),      Mode(1280, 720, 30, -1), Mode(32, 32, 30),
                Mode(1280, 720, 0),      Mode(1280, 720, 30, 8),  Mode(1280, 720, 30, 9),
                Mode(1280, 720, 30, 10), Mode(1280, 720, 30)};
  caps.modes[0].disabled = true;
  caps.modes.push_back(Mode(960, 544, 30));
  caps.modes.back().frameRates.clear();
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  ASSERT_TRUE(list.IsValid());
  for (int level : {10, 30, 51, 63}) EXPECT_EQ(list.GetLevelDesc(level, false).modeIndex, 7);
}

TEST(CaptureSlotList, BridgeModesFillEveryLevelAndRepeatAboveTheAllowedOne) {
  HX_VideoCaptureSlotList list(69);
  HX_VideoCaptureCaps caps = BridgeCaps();
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  ASSERT_TRUE(list.IsValid());
  kn_VideoLevelCaps levels;
  // The allowed level: the ladder level at or below the sender level 69, that is 63.
  const HX_VideoCaptureModeDesc at63 = list.GetLevelDesc(63, false);
  int rows = 0;
  for (int level = 0; level <= 255; ++level) {
    kn_levelVideo_t row;
    const HX_VideoCaptureModeDesc d = list.GetLevelDesc(static_cast<uint8_t>(level), false);
    if (!levels.GetLevelDesc(static_cast<uint8_t>(level), &row)) {
      EXPECT_EQ(d.modeIndex, -2) << level;
      continue;
    }
    ++rows;
    EXPECT_GE(d.modeIndex, 0) << level;
    EXPECT_GT(d.mbPerFrame, 0) << level;
    EXPECT_LE(d.mbPerFrame, row.maxMBpf) << level;
    EXPECT_LE(d.mbPerSecond, row.maxMBps) << level;
    EXPECT_EQ(d.width % 8, 0);
    EXPECT_EQ(d.height % 8, 0);
    if (level > 63) EXPECT_EQ(d, at63) << level;
  }
  EXPECT_EQ(rows, 47);
  EXPECT_EQ(at63.modeIndex, 3);
  EXPECT_EQ(at63.width, 720);
  EXPECT_EQ(at63.height, 1280);
  // Level 10: 288x352 reduced to 99 macroblocks.
  EXPECT_EQ(list.GetLevelDesc(10, false), D(0, 0, 1, 144, 176, 693, 99));

  // A lower sender level lowers the allowed level; a level above the maximum is capped.
  list.UpdateSenderLevel(40, eHQAutoSchemeExtended);  // ladder level 36
  EXPECT_EQ(list.GetHQAutoScheme(), eHQAutoSchemeExtended);
  const HX_VideoCaptureModeDesc at36 = list.GetLevelDesc(36, false);
  EXPECT_EQ(list.GetLevelDesc(38, false), at36);
  EXPECT_EQ(list.GetLevelDesc(98, false), at36);
  EXPECT_NE(list.GetLevelDesc(63, false), at63);
  list.UpdateSenderLevel(200, eHQAutoSchemeStandard);
  EXPECT_EQ(list.GetLevelDesc(63, false), at63);
  EXPECT_TRUE(list.UpdateHQAutoScheme(eHQAutoSchemeExtended));
  EXPECT_EQ(list.GetLevelDesc(63, false), at63);

  // A debug maximum below the first level: level 10 is computed and repeated above.
  HX_VideoCaptureSlotList low(5);
  low.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  ASSERT_TRUE(low.IsValid());
  const HX_VideoCaptureModeDesc at10 = low.GetLevelDesc(10, false);
  EXPECT_EQ(at10, D(0, 0, 1, 144, 176, 693, 99));
  EXPECT_EQ(low.GetLevelDesc(98, false), at10);
}

TEST(CaptureSlotList, ScreenCaptureComputesEveryLevelWithSchemeZero) {
  HX_VideoCaptureSlotList list(69);
  HX_VideoCaptureCaps caps;
  caps.screenCapture = true;
  caps.modes = {Mode(2560, 1440, 30)};
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeExtended);
  ASSERT_TRUE(list.IsValid());
  EXPECT_EQ(list.GetHQAutoScheme(), eHQAutoSchemeStandard);
  // Above the maximum level 69 the screen is still computed: level 81 (14400 per frame) takes it
  // whole at its 30 frames per second.
  EXPECT_EQ(list.GetLevelDesc(81, false), D(0, 0, 1, 2560, 1440, 432000, 14400));
  EXPECT_NE(list.GetLevelDesc(72, false), list.GetLevelDesc(63, false));
  EXPECT_NE(list.GetLevelDesc(72, false), list.GetLevelDesc(81, false));

  // The same mode from a camera repeats level 63 above it.
  HX_VideoCaptureSlotList camera(69);
  caps.screenCapture = false;
  camera.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  EXPECT_EQ(camera.GetLevelDesc(81, false), camera.GetLevelDesc(63, false));
  EXPECT_EQ(camera.GetLevelDesc(72, false), camera.GetLevelDesc(63, false));
  EXPECT_EQ(camera.GetLevelDesc(63, false), list.GetLevelDesc(63, false));
}

TEST(CaptureSlotList, HardwareModesFillTableOneAboveLevel57) {
  for (uint32_t flags : {0x11u, 0x1u}) {
    HX_VideoCaptureSlotList list(69);
    HX_VideoCaptureCaps caps;
    caps.flags = flags;
    caps.modes = {Mode(640, 480, 30), Mode(1280, 720, 30, 6), Mode(1920, 1080, 30, 6),
                  Mode(1440, 1080, 25, 6)};
    list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
    ASSERT_TRUE(list.IsValid());
    for (int level : {10, 30, 51, 56}) {
      EXPECT_EQ(list.GetLevelDesc(static_cast<uint8_t>(level), true),
                list.GetLevelDesc(static_cast<uint8_t>(level), false))
          << "table 1 copies table 0 at level " << level;
    }
    const HX_VideoCaptureModeDesc hw58 = list.GetLevelDesc(58, true);
    const HX_VideoCaptureModeDesc hw63 = list.GetLevelDesc(63, true);
    if (flags & 0x10) {
      // Level 58 allows 3600 per frame: only 1280x720. Level 63 (8100): 1920x1080 is the closest
      // to 16:9 (1440x1080 is 4:3).
      EXPECT_EQ(hw58, D(1, 0, 16, 1280, 720, 108000, 3600));
      EXPECT_EQ(hw63, D(2, 0, 16, 1920, 1080, 243000, 8100));
      // Slot 1 (4:3) would pick 1440x1080; GetLevelDesc reads slot 0 only.
    } else {
      EXPECT_EQ(hw58, list.GetLevelDesc(58, false)) << "without flag 0x10 table 0 answers";
      EXPECT_EQ(hw63.kind, 1);
      EXPECT_EQ(hw63.modeIndex, 0);
    }
  }
}

TEST(CaptureSlotList, UnusableCapsLeaveTheListInvalid) {
  HX_VideoCaptureSlotList list(69);
  list.SetVideoCaptureCaps(nullptr, eHQAutoSchemeExtended);
  EXPECT_FALSE(list.IsValid());
  HX_VideoCaptureCaps caps;
  caps.modes = {Mode(636, 480, 30), Mode(1280, 720, 30, -1), Mode(1280, 720, 30, 6)};
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  EXPECT_FALSE(list.IsValid());
  list.UpdateSenderLevel(30, eHQAutoSchemeExtended);
  EXPECT_EQ(list.GetHQAutoScheme(), eHQAutoSchemeStandard) << "ignored while invalid";
  EXPECT_FALSE(list.UpdateHQAutoScheme(eHQAutoSchemeExtended));
  EXPECT_EQ(list.GetHQAutoScheme(), eHQAutoSchemeStandard);
  for (int level = 0; level <= 255; ++level) {
    EXPECT_EQ(list.GetLevelDesc(static_cast<uint8_t>(level), false).modeIndex, -2);
    EXPECT_EQ(list.GetLevelDesc(static_cast<uint8_t>(level), true).modeIndex, -2);
  }
  // Good caps make it valid; bad caps afterwards make it invalid again, all marked not computed.
  HX_VideoCaptureCaps good = BridgeCaps();
  list.SetVideoCaptureCaps(&good, eHQAutoSchemeStandard);
  EXPECT_TRUE(list.IsValid());
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  EXPECT_FALSE(list.IsValid());
  EXPECT_EQ(list.GetLevelDesc(30, false).modeIndex, -2);
  list.SetVideoCaptureCaps(&good, eHQAutoSchemeStandard);
  list.CleanCaptureList();
  EXPECT_EQ(list.GetLevelDesc(30, false).modeIndex, -2);
}

TEST(CaptureSlotList, FixedDescriptorPicksTheNearestUsableMode) {
  HX_VideoCaptureSlotList list(69);
  EXPECT_EQ(list.GetFixedDesc(640, 480, 30), D(-1, 0, 1, 0, 0, 0, 0));
  HX_VideoCaptureCaps caps;
  // Modes 1 and 2 are equally near 660x480 (20 away each): the later one wins.
  caps.modes = {Mode(320, 240, 30), Mode(640, 480, 30), Mode(680, 480, 15), Mode(636, 480, 30),
                Mode(1280, 720, 30)};
  caps.modes.push_back(Mode(656, 480, 30));
  caps.modes.back().disabled = true;
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  EXPECT_EQ(list.GetFixedDesc(660, 480, 30), D(2, -1, 1, 680, 480, 1275 * 15, 1275));
  EXPECT_EQ(list.GetFixedDesc(640, 480, 10), D(1, -1, 1, 640, 480, 12000, 1200));
  EXPECT_EQ(list.GetFixedDesc(4000, 4000, 60), D(4, -1, 1, 1280, 720, 3600 * 30, 3600));

  int level = 40;
  kn_AutoModeDesc_t step{};
  ASSERT_TRUE(list.GetPerfLevelDesc(level, &step));
  EXPECT_EQ(level, 36);
  EXPECT_EQ(step.width, 640);
  EXPECT_EQ(step.height, 360);
  EXPECT_EQ(list.MBps2Lvl(12000), 31);
}

// One thread recomputes while another reads: every copy is one whole descriptor of one of the two
// computations.
TEST(CaptureSlotList, ReadersSeeWholeDescriptorsWhileTheLevelChanges) {
  HX_VideoCaptureCaps caps = BridgeCaps();
  HX_VideoCaptureSlotList list(69);
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  const HX_VideoCaptureModeDesc high = list.GetLevelDesc(58, false);
  list.UpdateSenderLevel(30, eHQAutoSchemeStandard);
  const HX_VideoCaptureModeDesc low = list.GetLevelDesc(58, false);
  ASSERT_NE(high, low);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 200; ++i) list.UpdateSenderLevel(i % 2 ? 30 : 69, eHQAutoSchemeStandard);
    done = true;
  });
  int reads = 0, bad = 0;
  while (!done || reads < 3000) {
    const HX_VideoCaptureModeDesc d = list.GetLevelDesc(58, false);
    // Between the clean and the refill a reader can only be shut out by the lock, never see -2.
    bad += !(d == high || d == low);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(bad, 0) << "of " << reads;
}

}  // namespace
