#include "core/media/format/sys_performance_state.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/media/format/video_levels.h"

namespace {

void PutLE32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutLE64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLE32(const uint8_t* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

uint64_t GetLE64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

int32_t ClampTo32(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

bool IsNeverMeasured(const HX_SysPerformanceState& s) {
  return s.score == 0 && s.sendRate == 0 && s.secondRate == 0 && s.groupRate == 0 && s.sendLevel == 0 &&
         s.secondLevel == 0 && s.groupLevel == 0;
}

}  // namespace

void HX_SysPerformanceState::ToBytes(uint8_t out[kBytes]) const {
  PutLE32(out + 0, static_cast<uint32_t>(score));
  PutLE32(out + 4, static_cast<uint32_t>(sendRate));
  PutLE32(out + 8, static_cast<uint32_t>(secondRate));
  PutLE32(out + 12, static_cast<uint32_t>(groupRate));
  out[16] = sendLevel;
  out[17] = secondLevel;
  out[18] = groupLevel;
  std::memset(out + 19, 0, 5);
  PutLE64(out + 24, duration);
}

HX_SysPerformanceState HX_SysPerformanceState::FromBytes(const void* data, size_t size) {
  if (data == nullptr || size != kBytes) return HX_SysPerformanceState();
  const auto* in = static_cast<const uint8_t*>(data);
  HX_SysPerformanceState read;
  read.score = static_cast<int32_t>(GetLE32(in + 0));
  read.sendRate = static_cast<int32_t>(GetLE32(in + 4));
  read.secondRate = static_cast<int32_t>(GetLE32(in + 8));
  read.groupRate = static_cast<int32_t>(GetLE32(in + 12));
  read.sendLevel = in[16];
  read.secondLevel = in[17];
  read.groupLevel = in[18];
  read.duration = GetLE64(in + 24);
  // The reserved bytes are left 0 whatever the file holds.

  // A negative score or one above what any measurement gives is not a result of
  // this benchmark; treat the record as never measured rather than guess.
  if (read.score < 0 || read.score > kMaxScore) return HX_SysPerformanceState();
  if (IsNeverMeasured(read)) {
    read.duration = 0;
    return read;
  }
  // Every other field follows from the score: rebuilding them leaves a true
  // record unchanged and corrects one whose rates or levels were altered.
  static const kn_VideoLevelCaps levels;
  return FromScore(read.score, read.duration, levels);
}

HX_SysPerformanceState HX_SysPerformanceState::FromScore(int32_t score, uint64_t duration,
                                                         const kn_VideoLevelCaps& levels) {
  HX_SysPerformanceState state;
  state.score = score;
  state.sendRate = ClampTo32(int64_t{score} * 26 / 100);
  state.secondRate = ClampTo32(int64_t{score} * 42 / 100);
  state.groupRate = GroupMBps(levels, state.sendRate, score, 60, 3.0);
  state.sendLevel = levels.MBps2Level(state.sendRate);
  state.secondLevel = levels.MBps2Level(state.secondRate);
  state.groupLevel = levels.MBps2Level(state.groupRate);
  state.duration = duration;
  return state;
}

int HX_SysPerformanceState::GroupMBps(const kn_VideoLevelCaps& levels, int rate, int score, int percent,
                                      double factor) {
  const uint8_t level = std::min<uint8_t>(levels.MBps2Level(rate), 32);
  kn_levelVideo_t desc{};
  const int64_t levelRate = levels.GetLevelDesc(level, &desc) ? desc.maxMBps : 0;
  const int64_t share = (100 - int64_t{percent}) * score / 100;
  // factor x 0.7 first, as one double: 3.0 x 0.7 is 2.0999999999999996, which
  // the stored results of every device reflect (6100 gives 12809, not 12810).
  const double value = static_cast<double>(share - levelRate) * (factor * 0.7);
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int>(value);
}

const char* HX_SysPerformanceOverall::sysRating::LevelName(uint8_t level) {
  struct Threshold {
    uint8_t last;
    const char* name;
  };
  static constexpr Threshold kThresholds[] = {{31, "SD"},  {46, "HQ"},   {57, "ED"},  {62, "HD"},
                                              {80, "FHD"}, {90, "WQHD"}, {97, "UHD"}, {254, "UHD60"}};
  for (const Threshold& t : kThresholds) {
    if (level <= t.last) return t.name;
  }
  return "";
}

void HX_SysPerformanceOverall::sysRating::setIdc(const HX_SysPerformanceState& state) {
  sendLevel = state.sendLevel;
  secondLevel = state.secondLevel;
  groupLevel = state.groupLevel;
  fillNames();
}

void HX_SysPerformanceOverall::sysRating::fillNames() {
  sendName = LevelName(sendLevel);
  secondName = LevelName(secondLevel);
  groupName = LevelName(groupLevel);
}
