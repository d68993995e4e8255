#include "core/media/format/video_levels.h"

#include "core/wire/media_format.h"

namespace {

struct LevelRow {
  uint8_t level;
  int32_t maxMBps;
  int32_t maxMBpf;
};

// The filled rows; the names follow from the level (" M.m").
constexpr LevelRow kLevelRows[] = {
    {10, 693, 99},        {11, 756, 108},       {12, 990, 99},        {13, 1080, 108},
    {15, 1485, 99},       {17, 1620, 108},      {21, 1800, 225},      {22, 2100, 300},
    {23, 2250, 225},      {24, 3000, 300},      {25, 3375, 225},      {26, 4500, 300},
    {28, 6750, 225},      {29, 9000, 300},      {30, 9900, 900},      {31, 12000, 1200},
    {32, 13500, 900},     {33, 18000, 1200},    {35, 22800, 1200},    {36, 27000, 900},
    {38, 36000, 1200},    {43, 40500, 1620},    {47, 48600, 1620},    {51, 54000, 3600},
    {54, 72000, 3600},    {56, 90000, 3600},    {58, 108000, 3600},   {60, 121500, 8100},
    {61, 162000, 8100},   {62, 216000, 8100},   {63, 243000, 8100},   {65, 288000, 8100},
    {66, 324000, 8100},   {67, 405000, 8100},   {68, 432000, 8100},   {69, 486000, 8100},
    {72, 516096, 12288},  {75, 540672, 12288},  {81, 576000, 14400},  {83, 619200, 14400},
    {85, 648000, 14400},  {87, 734400, 14400},  {89, 864000, 14400},  {91, 972000, 32400},
    {93, 1134000, 32400}, {96, 1620000, 32400}, {98, 1944000, 32400},
};

constexpr std::array<kn_levelVideo_t, kn_VideoLevelRows> BuildLevels() {
  std::array<kn_levelVideo_t, kn_VideoLevelRows> table{};
  for (const LevelRow& row : kLevelRows) {
    kn_levelVideo_t& out = table[row.level];
    out.level = row.level;
    out.maxMBps = row.maxMBps;
    out.maxMBpf = row.maxMBpf;
    out.name[0] = ' ';
    out.name[1] = static_cast<char>('0' + row.level / 10);
    out.name[2] = '.';
    out.name[3] = static_cast<char>('0' + row.level % 10);
  }
  table[kn_VideoLevelRows - 1].level = 255;
  return table;
}

struct StepRow {
  uint8_t level;
  int32_t frameRate;
  int32_t minBitrate;
  int32_t maxBitrate;
  int32_t width;
  int32_t height;
};

constexpr StepRow kScheme0[8] = {
    {28, 30, 0, 96, 320, 176},        {32, 15, 64, 192, 640, 360},
    {36, 30, 154, 500, 640, 360},     {47, 30, 400, 1000, 864, 480},
    {58, 30, 800, 2000, 1280, 720},   {63, 30, 1600, 4000, 1920, 1080},
    {81, 30, 3200, 8000, 2560, 1440}, {91, 30, 6400, 16000, 3840, 2160},
};
constexpr StepRow kScheme1[8] = {
    {28, 30, 0, 96, 320, 176},        {32, 15, 64, 192, 640, 360},
    {36, 30, 154, 500, 640, 360},     {47, 30, 400, 1000, 864, 480},
    {58, 30, 800, 2000, 1280, 720},   {62, 60, 1600, 4000, 1280, 720},
    {81, 60, 3200, 8000, 1920, 1080}, {91, 60, 6400, 16000, 2560, 1440},
};
constexpr uint32_t kColumnCodecs[kn_AutoColumns] = {
    HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264, HX_MediaFormat::kCodecH265,
    HX_MediaFormat::kCodecVP8};

constexpr std::array<std::array<kn_AutoLadder, kn_AutoColumns>, kn_AutoSchemes> BuildLadders() {
  std::array<std::array<kn_AutoLadder, kn_AutoColumns>, kn_AutoSchemes> table{};
  for (int scheme = 0; scheme < kn_AutoSchemes; ++scheme) {
    const StepRow* rows = scheme == 0 ? kScheme0 : kScheme1;
    for (int column = 0; column < kn_AutoColumns; ++column) {
      for (int i = 0; i < 8; ++i) {
        const StepRow& r = rows[i];
        table[scheme][column][i] = {r.level,      r.frameRate,           r.minBitrate,
                                    r.maxBitrate, kColumnCodecs[column], r.width,
                                    r.height};
      }
      // Row 8 stays zero: the terminator.
    }
  }
  return table;
}

}  // namespace

const std::array<kn_levelVideo_t, kn_VideoLevelRows> kn_VideoLevels = BuildLevels();
const std::array<std::array<kn_AutoLadder, kn_AutoColumns>, kn_AutoSchemes> kn_AutoVideoModeDesc =
    BuildLadders();

// ---- kn_VideoLevelCaps ----

kn_VideoLevelCaps::kn_VideoLevelCaps() {
  for (const kn_levelVideo_t& row : kn_VideoLevels) {
    if (row.level == 255) break;
    if (row.level == 0) continue;
    slots_[row.level] = row;
    max_level_ = row.level;
  }
}

bool kn_VideoLevelCaps::GetLevelDesc(uint8_t level, kn_levelVideo_t* out) const {
  if (!out || !slots_[level]) return false;
  *out = *slots_[level];
  return true;
}

uint8_t kn_VideoLevelCaps::CheckLevel(uint8_t level) const {
  for (int l = level; l >= 10; --l) {
    if (slots_[l]) return static_cast<uint8_t>(l);
  }
  return 10;
}

uint8_t kn_VideoLevelCaps::MBps2Level(int mbps) const {
  uint8_t found = 10;
  for (int l = 10; l <= max_level_; ++l) {
    if (!slots_[l]) continue;
    if (slots_[l]->maxMBps > mbps) break;
    found = static_cast<uint8_t>(l);
  }
  return found;
}

uint8_t kn_VideoLevelCaps::MB2Level(int mb) const {
  uint8_t found = 10;
  for (int l = 10; l <= max_level_; ++l) {
    if (!slots_[l]) continue;
    if (slots_[l]->maxMBpf > mb) break;
    found = static_cast<uint8_t>(l);
  }
  return found;
}

int kn_VideoLevelCaps::LevelSnd2Rating(uint8_t level) const {
  struct Step {
    int fromLevel;
    int rating;
  };
  static constexpr Step kSteps[] = {{63, 870}, {60, 830}, {58, 790}, {51, 750},
                                    {47, 690}, {38, 600}, {33, 530}, {28, 430},
                                    {26, 350}, {24, 140}, {15, 100}, {12, 50}};
  for (const Step& s : kSteps) {
    if (level >= s.fromLevel) return s.rating;
  }
  return 0;
}

uint8_t kn_VideoLevelCaps::Rating2LevelRcv(int rating) const {
  struct Step {
    int fromRating;
    uint8_t level;
  };
  static constexpr Step kSteps[] = {{855, 89}, {807, 85}, {782, 83}, {710, 75},
                                    {662, 65}, {600, 58}, {566, 47}, {496, 43},
                                    {383, 38}, {141, 33}, {100, 28}, {70, 26}};
  for (const Step& s : kSteps) {
    if (rating >= s.fromRating) return s.level;
  }
  return 24;
}

uint8_t kn_VideoLevelCaps::MergeRatingVsLevel(int rating, uint8_t level) const {
  return level != 0 ? level : Rating2LevelRcv(rating);
}

// ---- kn_AutoLevelCaps ----

kn_AutoLevelCaps::kn_AutoLevelCaps() {
  for (int scheme = 0; scheme < kn_AutoSchemes; ++scheme) {
    for (int column = 0; column < kn_AutoColumns; ++column) {
      for (const kn_AutoModeDesc_t& step : kn_AutoVideoModeDesc[scheme][column]) {
        if (step.level == 0) break;
        ladders_[scheme][column].push_back(step);
      }
    }
  }
}

void kn_AutoLevelCaps::SetAutoScheme(eHQAutoScheme scheme) {
  // The scheme indexes the ladders: an out-of-range value would read past them.
  if (scheme == eHQAutoSchemeStandard || scheme == eHQAutoSchemeExtended) scheme_ = scheme;
}

uint8_t kn_AutoLevelCaps::GetMinLevel() const {
  return Reference().empty() ? 0 : Reference().front().level;
}

uint8_t kn_AutoLevelCaps::GetMaxLevel() const {
  return Reference().empty() ? 0 : Reference().back().level;
}

uint8_t kn_AutoLevelCaps::GetStartBitrateLevel() const {
  return Reference().size() < 2 ? GetMinLevel() : Reference()[1].level;
}

bool kn_AutoLevelCaps::GetLevelDesc(uint8_t level, int column, kn_AutoModeDesc_t* out) const {
  if (!out || column < 0 || column >= kn_AutoColumns || Reference().empty()) return false;
  const kn_AutoModeDesc_t& first = Reference().front();
  if (level < first.level) {
    if (level >= kn_VideoLevelRows || kn_VideoLevels[level].level == 0) return false;
    const kn_levelVideo_t& row = kn_VideoLevels[level];
    *out = first;
    out->frameRate = row.maxMBps / row.maxMBpf;
    return true;
  }
  for (const kn_AutoModeDesc_t& step : ladders_[scheme_][column]) {
    if (step.level == level) {
      *out = step;
      return true;
    }
  }
  return false;
}

uint8_t kn_AutoLevelCaps::CheckLevel(uint8_t level) const {
  const auto& ladder = Reference();
  if (ladder.empty()) return level;
  if (level == 0) return ladder.front().level;
  if (level < ladder.front().level) return level;
  uint8_t found = ladder.front().level;
  for (const kn_AutoModeDesc_t& step : ladder) {
    if (step.level > level) break;
    found = step.level;
  }
  return found;
}

uint8_t kn_AutoLevelCaps::CheckBitrateLevel(int bitrate, bool up, uint8_t level) const {
  const auto& ladder = Reference();
  if (ladder.empty()) return 10;
  const uint32_t rate = static_cast<uint32_t>(bitrate);
  if (up) {
    for (const kn_AutoModeDesc_t& step : ladder) {
      if (static_cast<uint32_t>(step.maxBitrate) > rate && step.level >= level) return step.level;
    }
    return ladder.back().level;
  }
  for (auto it = ladder.rbegin(); it != ladder.rend(); ++it) {
    if (it->level <= level && static_cast<uint32_t>(it->minBitrate) < rate) return it->level;
  }
  return ladder.front().level;
}
