#pragma once
// Video levels and the automatic-quality ladders.
//
// A video level (10 to 98) stands for a video load: a maximum number of 16x16 macroblocks per
// second and per frame. kn_VideoLevels is the constant table of the 47 levels, indexed by the level
// itself; kn_VideoLevelCaps is the lookup over it (levels from macroblock rates and frame sizes,
// the rating a send level is worth and the receive level a rating allows).
//
// The automatic-quality ladders, kn_AutoVideoModeDesc, list for each scheme (eHQAutoScheme) and
// each of four codec columns the steps that the automatic mode climbs: a level with a frame rate,
// a bit-rate band, a codec and a picture size. kn_AutoLevelCaps is the lookup over them; column 0
// of its current scheme is the reference ladder for every query that takes no column.
//
// Every lookup accepts any argument value (any level byte, any rating, any column) and stays
// inside its tables: a level without a row or a column outside 0 to 3 is answered as "not found".
//
// Both classes are plain values with no locking: every owner builds its own copy, and a copy is
// used by one thread at a time (or guarded by its owner's lock).

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// One level: its number (0 marks an empty row of the constant table), the maximum macroblocks per
// second and per frame, and its display name (" M.m").
struct kn_levelVideo_t {
  uint8_t level;
  int32_t maxMBps;
  int32_t maxMBpf;
  char name[128];
};

// Rows 0 to 98 indexed by level (level 0 in the rows that hold no level), then a terminating row
// whose level is 255.
inline constexpr size_t kn_VideoLevelRows = 100;
extern const std::array<kn_levelVideo_t, kn_VideoLevelRows> kn_VideoLevels;

class kn_VideoLevelCaps {
 public:
  // Copies every level of kn_VideoLevels into the slot of its number.
  kn_VideoLevelCaps();

  // The highest level present (98).
  uint8_t GetMaxLevel() const { return max_level_; }
  // Copies the level's whole descriptor into *out; false, *out untouched, for a level without a
  // row (or a null out).
  bool GetLevelDesc(uint8_t level, kn_levelVideo_t* out) const;
  // The highest level present that is not above `level`; 10 for anything below 10.
  uint8_t CheckLevel(uint8_t level) const;
  // Walks the levels upwards from 10 and answers the last whose maximum macroblocks per second is
  // not above `mbps`, stopping at the first that is; 10 when even level 10 is above it.
  uint8_t MBps2Level(int mbps) const;
  // The same walk on the maximum macroblocks per frame. That column is not monotonic: the walk
  // stops at the first level above `mb`, even where a later level would fit again.
  uint8_t MB2Level(int mb) const;
  // The rating a send level is worth (0 to 870).
  int LevelSnd2Rating(uint8_t level) const;
  // The receive level a rating allows (24 to 89).
  uint8_t Rating2LevelRcv(int rating) const;
  // `level` when it is not 0, otherwise Rating2LevelRcv(rating).
  uint8_t MergeRatingVsLevel(int rating, uint8_t level) const;

 private:
  std::array<std::optional<kn_levelVideo_t>, 256> slots_;
  uint8_t max_level_ = 0;
};

// The automatic-quality schemes: 0 the standard ladder, 1 the extended frame-rate ladder (60
// frames per second above level 58).
enum eHQAutoScheme : int32_t {
  eHQAutoSchemeStandard = 0,
  eHQAutoSchemeExtended = 1,
};

// One ladder step. Level 0 ends a ladder in the constant table.
struct kn_AutoModeDesc_t {
  uint8_t level;
  int32_t frameRate;   // frames per second
  int32_t minBitrate;  // kbit/s
  int32_t maxBitrate;  // kbit/s
  uint32_t codec;      // video four-character code
  int32_t width;
  int32_t height;
};

inline constexpr int kn_AutoSchemes = 2;
inline constexpr int kn_AutoColumns = 4;
inline constexpr int kn_AutoRows = 9;
// [scheme][column][row]; the columns are the encoder kinds: 0 VP8 (software), 1 H.264, 2 H.265,
// 3 VP8. Within a scheme the columns differ only in their codec.
using kn_AutoLadder = std::array<kn_AutoModeDesc_t, kn_AutoRows>;
extern const std::array<std::array<kn_AutoLadder, kn_AutoColumns>, kn_AutoSchemes>
    kn_AutoVideoModeDesc;

class kn_AutoLevelCaps {
 public:
  // Fills the eight ladders from kn_AutoVideoModeDesc; scheme 0.
  kn_AutoLevelCaps();

  // Selects the scheme of every later query; a value other than 0 or 1 is ignored.
  void SetAutoScheme(eHQAutoScheme scheme);
  eHQAutoScheme GetAutoScheme() const { return scheme_; }

  // The first and last level of the reference ladder (28 and 91).
  uint8_t GetMinLevel() const;
  uint8_t GetMaxLevel() const;
  // The level of the reference ladder's second step (32): assumed before any bit-rate feedback.
  uint8_t GetStartBitrateLevel() const;
  // The step of ladder [scheme][column] whose level equals `level`. A level below the reference
  // ladder's first that has a row in kn_VideoLevels gets the reference ladder's first step with
  // that level's frame-rate limit (maximum macroblocks per second / per frame). False for a column
  // outside 0 to 3, a null out, or a level with no such step.
  bool GetLevelDesc(uint8_t level, int column, kn_AutoModeDesc_t* out) const;
  // 0 → the reference ladder's first level; a level below that first level unchanged; otherwise
  // the highest ladder level not above `level`.
  uint8_t CheckLevel(uint8_t level) const;
  // The ladder level for a bit rate (compared as unsigned). With `up` (the rate rose) `level` is a
  // floor: the first step whose maximum is above the rate and whose level is at least `level`, else
  // the top step. Without it `level` is a ceiling: walking down, the first step not above `level`
  // whose minimum is below the rate, else the first step. 10 for an empty ladder.
  uint8_t CheckBitrateLevel(int bitrate, bool up, uint8_t level) const;

 private:
  const std::vector<kn_AutoModeDesc_t>& Reference() const { return ladders_[scheme_][0]; }

  std::vector<kn_AutoModeDesc_t> ladders_[kn_AutoSchemes][kn_AutoColumns];
  eHQAutoScheme scheme_ = eHQAutoSchemeStandard;
};
