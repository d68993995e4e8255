#pragma once
// HX_VideoCaptureSlotList, the capture-mode list: from the camera's capability list
// (HX_VideoCaptureCaps) it precomputes, for every video level and aspect slot, which camera mode to
// open and at what picture size and macroblock rate (HX_VideoCaptureModeDesc), so that a frame's
// lookup is one indexed copy.
//
// Tables: 4 x 256 levels x 6 aspect slots. Table 0 holds camera modes. Table 1 holds the
// hardware-encoded modes (pixel format 6, kind 16) above level 57 and a copy of table 0 at and
// below it. Tables 2 and 3 are kept but never filled. All six aspect slots of table 0 hold the same
// mode; GetLevelDesc reads slot 0.
//
// Levels: every level of the level table up to the allowed level is computed from the modes;
// levels above it repeat the last computed one. The allowed level is the maximum level (the debug
// tuning's cap, read once at construction) for a screen capture, otherwise the smaller of the
// ladder level at or below the sender level and the maximum; below 10 it counts as 10, so every
// level with a row gets a descriptor.
//
// Validity: SetVideoCaptureCaps always recomputes; a capability list without a usable camera mode
// (or a level for which no mode can be chosen) makes the list invalid, and while it is invalid
// UpdateSenderLevel and UpdateHQAutoScheme do nothing and descriptors read "not computed" (-2).
//
// Thread safety: the capture slot (capture thread, SDK bridge) and the media format manager share
// one list; its own lock serialises every operation, and GetLevelDesc copies a whole descriptor
// under it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/base/lock.h"
#include "core/media/format/video_levels.h"
#include "core/media/video/capture_mode.h"

struct HX_VideoCaptureCaps {
  uint32_t flags = 1;          // 0x10: the list may offer hardware-encoded modes
  uint32_t reserved = 0;       // not read
  bool screenCapture = false;  // a screen grabber: free sizes, rounded down to multiples of 8
  std::vector<HX_CaptureMode> modes;
};

struct HX_VideoCaptureModeDesc {
  int32_t modeIndex = -2;  // index into the caps' modes; -1 none; -2 not computed
  int32_t reserved = 0;    // -1 in GetFixedDesc's descriptors
  int32_t kind = 1;        // 1 camera mode, 16 hardware-encoded mode
  int32_t width = 0;
  int32_t height = 0;
  int32_t mbPerSecond = 0;
  int32_t mbPerFrame = 0;

  bool operator==(const HX_VideoCaptureModeDesc&) const = default;
};

// The aspect slots: 16:9, 4:3, 5:3, 16:10, 11:9, 3:2 (slot 0 is 16:9).
struct kn_AspectRatioEntry {
  int32_t width;
  int32_t height;
};
inline constexpr kn_AspectRatioEntry kn_AspectRatio[6] = {{16, 9},  {4, 3},  {5, 3},
                                                          {16, 10}, {11, 9}, {3, 2}};

class HX_VideoCaptureSlotList {
 public:
  static constexpr int kTables = 4;
  static constexpr int kLevels = 256;
  static constexpr int kAspectSlots = 6;

  struct bestMode {
    int32_t mbPerFrame = 0;
    int32_t index = -1;
  };
  // Macroblocks per frame → mode index.
  using ModeMap = std::multimap<int32_t, int32_t>;

  // Reads HX_DebugTuning::getVideoLevelMax() as the maximum level.
  HX_VideoCaptureSlotList();
  // With an explicit maximum level (what the debug tuning would answer).
  explicit HX_VideoCaptureSlotList(uint8_t maxLevel);
  HX_VideoCaptureSlotList(const HX_VideoCaptureSlotList&) = delete;
  HX_VideoCaptureSlotList& operator=(const HX_VideoCaptureSlotList&) = delete;

  // Nothing for null; otherwise copies the caps, stores the scheme and recomputes.
  void SetVideoCaptureCaps(const HX_VideoCaptureCaps* caps, eHQAutoScheme scheme);
  // While valid: a level (capped at the maximum) that differs from the sender level becomes it,
  // with the scheme, and the list is recomputed.
  void UpdateSenderLevel(uint8_t level, eHQAutoScheme scheme);
  // While valid: stores the scheme and recomputes. Answers IsValid().
  bool UpdateHQAutoScheme(eHQAutoScheme scheme);
  // A copy of the level's descriptor: table 1 when `hardware` and the caps' flags have 0x10,
  // else table 0.
  HX_VideoCaptureModeDesc GetLevelDesc(uint8_t level, bool hardware) const;
  // The usable mode nearest to width x height (pixel format + size distance; a later mode wins a
  // tie): (index, -1, 1, W, H, macroblocks x min(its maximum rate, fps), macroblocks);
  // (-1, 0, 1, 0, 0, 0, 0) when there is none.
  HX_VideoCaptureModeDesc GetFixedDesc(int width, int height, int fps) const;
  // level := the ladders' CheckLevel(level); then that level's step of ladder column 0.
  bool GetPerfLevelDesc(int& level, kn_AutoModeDesc_t* out) const;
  eHQAutoScheme GetHQAutoScheme() const;
  uint8_t MBps2Lvl(int mbps) const { return levels_.MBps2Level(mbps); }
  bool IsValid() const { return valid_.load() > 0; }
  void GetCaps(HX_VideoCaptureCaps* caps) const;
  // Marks every descriptor of the four tables as not computed.
  void CleanCaptureList();
  uint8_t GetMaxLevel() const { return max_level_; }

  // Helpers of the recomputation, exposed for tests (they read only their arguments and the caps).
  // Sorts and filters the caps' modes (rounding screen sizes in the stored caps) into camera,
  // stereo and per-kind lists (kinds[1] is pixel format 6).
  void FilterCaptureModes(ModeMap& camera, ModeMap& stereo, ModeMap kinds[4]);
  ModeMap GetExtendedModes(const ModeMap& modes, float minFps) const;
  int FindBestModes(const ModeMap& camera, const ModeMap& extended, const kn_levelVideo_t& level,
                    bestMode out[kAspectSlots]) const;
  // Unused by the recomputation, kept for the capture slot's own choices.
  int FindHDMode(const ModeMap& modes, const kn_levelVideo_t& level, bestMode& out) const;
  void RecalcTargetParameters(kn_levelVideo_t& level) const;

 private:
  bool UpdateCaptureList();
  void CleanCaptureListNL();
  HX_VideoCaptureModeDesc& Desc(int table, int level, int slot) {
    return tables_[(static_cast<size_t>(table) * kLevels + level) * kAspectSlots + slot];
  }
  float MaxRate(int index) const;

  mutable HXLock lock_;
  kn_AutoLevelCaps auto_levels_;
  kn_VideoLevelCaps levels_;
  eHQAutoScheme scheme_ = eHQAutoSchemeStandard;
  uint8_t max_level_;
  float unused_rate_ = 15;
  int32_t aspect_slot_ = 0;
  uint8_t sender_level_ = 69;
  std::atomic<int32_t> valid_{0};
  HX_VideoCaptureCaps caps_;
  std::vector<HX_VideoCaptureModeDesc> tables_;
};
