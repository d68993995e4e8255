#include "core/media/video/capture_slot_list.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/client/debug_tuning.h"

namespace {

int32_t MacroblocksOf(int32_t width, int32_t height) {
  return static_cast<int32_t>(static_cast<int64_t>(width) * height / 256);
}

bool SameIdentity(const HX_CaptureMode& a, const HX_CaptureMode& b) {
  return a.width == b.width && a.height == b.height && a.extraPass == b.extraPass;
}

}  // namespace

HX_VideoCaptureSlotList::HX_VideoCaptureSlotList()
    : HX_VideoCaptureSlotList(HX_DebugTuning::getVideoLevelMax()) {}

HX_VideoCaptureSlotList::HX_VideoCaptureSlotList(uint8_t maxLevel)
    : max_level_(maxLevel), tables_(static_cast<size_t>(kTables) * kLevels * kAspectSlots) {}

float HX_VideoCaptureSlotList::MaxRate(int index) const {
  const std::vector<float>& rates = caps_.modes[index].frameRates;
  return rates.empty() ? 0.0f : *std::max_element(rates.begin(), rates.end());
}

void HX_VideoCaptureSlotList::SetVideoCaptureCaps(const HX_VideoCaptureCaps* caps,
                                                  eHQAutoScheme scheme) {
  if (!caps) return;
  HXAutoLock guard(lock_);
  caps_ = *caps;
  scheme_ = scheme;
  valid_.store(UpdateCaptureList() ? 1 : 0);
}

void HX_VideoCaptureSlotList::UpdateSenderLevel(uint8_t level, eHQAutoScheme scheme) {
  HXAutoLock guard(lock_);
  if (!IsValid()) return;
  const uint8_t capped = std::min(level, max_level_);
  if (capped == sender_level_) return;
  sender_level_ = capped;
  scheme_ = scheme;
  valid_.store(UpdateCaptureList() ? 1 : 0);
}

bool HX_VideoCaptureSlotList::UpdateHQAutoScheme(eHQAutoScheme scheme) {
  HXAutoLock guard(lock_);
  if (!IsValid()) return false;
  scheme_ = scheme;
  valid_.store(UpdateCaptureList() ? 1 : 0);
  return IsValid();
}

HX_VideoCaptureModeDesc HX_VideoCaptureSlotList::GetLevelDesc(uint8_t level, bool hardware) const {
  HXAutoLock guard(lock_);
  const int table = hardware && (caps_.flags & 0x10) ? 1 : 0;
  return tables_[(static_cast<size_t>(table) * kLevels + level) * kAspectSlots + aspect_slot_];
}

HX_VideoCaptureModeDesc HX_VideoCaptureSlotList::GetFixedDesc(int width, int height,
                                                              int fps) const {
  HXAutoLock guard(lock_);
  HX_VideoCaptureModeDesc none;
  none.modeIndex = -1;
  int best = -1;
  int64_t bestScore = 0;
  for (size_t i = 0; i < caps_.modes.size(); ++i) {
    const HX_CaptureMode& m = caps_.modes[i];
    if (m.disabled || m.pixelFormat == -1 || m.width <= 32 || m.height <= 32 || m.width % 8 != 0 ||
        m.height % 8 != 0) {
      continue;
    }
    const int64_t score = static_cast<int64_t>(m.pixelFormat) +
                          std::llabs(static_cast<int64_t>(m.width) - width) +
                          std::llabs(static_cast<int64_t>(m.height) - height);
    if (best < 0 || score <= bestScore) {
      best = static_cast<int>(i);
      bestScore = score;
    }
  }
  if (best < 0) return none;
  const HX_CaptureMode& m = caps_.modes[best];
  const int32_t mb = MacroblocksOf(m.width, m.height);
  HX_VideoCaptureModeDesc d;
  d.modeIndex = best;
  d.reserved = -1;
  d.kind = 1;
  d.width = m.width;
  d.height = m.height;
  d.mbPerSecond = static_cast<int32_t>(mb * std::min(MaxRate(best), static_cast<float>(fps)));
  d.mbPerFrame = mb;
  return d;
}

bool HX_VideoCaptureSlotList::GetPerfLevelDesc(int& level, kn_AutoModeDesc_t* out) const {
  HXAutoLock guard(lock_);
  const uint8_t clamped = static_cast<uint8_t>(std::clamp(level, 0, 255));
  level = auto_levels_.CheckLevel(clamped);
  return auto_levels_.GetLevelDesc(static_cast<uint8_t>(level), 0, out);
}

eHQAutoScheme HX_VideoCaptureSlotList::GetHQAutoScheme() const {
  HXAutoLock guard(lock_);
  return scheme_;
}

void HX_VideoCaptureSlotList::GetCaps(HX_VideoCaptureCaps* caps) const {
  if (!caps) return;
  HXAutoLock guard(lock_);
  *caps = caps_;
}

void HX_VideoCaptureSlotList::CleanCaptureList() {
  HXAutoLock guard(lock_);
  CleanCaptureListNL();
}

void HX_VideoCaptureSlotList::CleanCaptureListNL() {
  for (HX_VideoCaptureModeDesc& d : tables_) d = HX_VideoCaptureModeDesc();
}

void HX_VideoCaptureSlotList::FilterCaptureModes(ModeMap& camera, ModeMap& stereo,
                                                 ModeMap kinds[4]) {
  for (size_t i = 0; i < caps_.modes.size(); ++i) {
    HX_CaptureMode& m = caps_.modes[i];
    const int32_t index = static_cast<int32_t>(i);
    if (m.disabled || m.pixelFormat == -1 || m.width < 33 || m.height < 33) continue;
    if (caps_.screenCapture) {
      m.width &= ~7;
      m.height &= ~7;
    } else if (m.width % 8 != 0 || m.height % 8 != 0) {
      continue;
    }
    if (m.frameRates.empty()) continue;
    std::sort(m.frameRates.begin(), m.frameRates.end());
    if (m.frameRates.back() == 0) continue;
    const int pf = m.pixelFormat;
    if (pf == 8 || pf == 9 || pf == 10) continue;
    const int32_t mb = MacroblocksOf(m.width, m.height);
    if (pf == 6) {
      kinds[1].emplace(mb, index);
      continue;
    }
    ModeMap& target = pf == 22 || pf == 23 ? stereo : camera;
    bool duplicate = false;
    auto [from, to] = target.equal_range(mb);
    for (auto it = from; it != to; ++it) {
      const HX_CaptureMode& held = caps_.modes[it->second];
      if (SameIdentity(held, m) && held.frameRates.back() == m.frameRates.back()) {
        duplicate = true;
        if (pf < held.pixelFormat) it->second = index;
        break;
      }
    }
    if (!duplicate) target.emplace(mb, index);
  }
}

HX_VideoCaptureSlotList::ModeMap HX_VideoCaptureSlotList::GetExtendedModes(const ModeMap& modes,
                                                                           float minFps) const {
  ModeMap out;
  for (const auto& [mb, index] : modes) {
    const HX_CaptureMode& m = caps_.modes[index];
    const float rate = MaxRate(index);
    if (!(minFps <= rate + 6.05f)) continue;
    bool same = false;
    for (auto& [keptMb, kept] : out) {
      const HX_CaptureMode& k = caps_.modes[kept];
      if (!SameIdentity(k, m)) continue;
      same = true;
      if (m.pixelFormat < k.pixelFormat || (rate < MaxRate(kept) && rate >= minFps - 0.05f)) {
        kept = index;
      }
      break;
    }
    if (!same) out.emplace(mb, index);
  }
  return out;
}

int HX_VideoCaptureSlotList::FindBestModes(const ModeMap& camera, const ModeMap& extended,
                                           const kn_levelVideo_t& level,
                                           bestMode out[kAspectSlots]) const {
  bestMode choice;
  for (const auto& [mb, index] : extended) {
    if (mb > level.maxMBpf) break;
    choice = {mb, index};
  }
  if (choice.index < 0) {
    float bestRate = 0;
    int32_t bestSize = 32400;
    for (const auto& [mb, index] : camera) {
      const float rate = MaxRate(index);
      if (rate < bestRate) continue;
      if (mb > level.maxMBpf && mb > bestSize) continue;
      choice = {mb, index};
      bestRate = rate;
      bestSize = mb;
    }
  }
  if (choice.index < 0) return -1;
  for (int k = 0; k < kAspectSlots; ++k) out[k] = choice;
  return 0;
}

int HX_VideoCaptureSlotList::FindHDMode(const ModeMap& modes, const kn_levelVideo_t& level,
                                        bestMode& out) const {
  bestMode best;
  float bestRate = -1;
  for (const auto& [mb, index] : modes) {
    if (mb != level.maxMBpf) continue;
    if (MaxRate(index) > bestRate) {
      bestRate = MaxRate(index);
      best = {mb, index};
    }
  }
  if (best.index < 0 && !modes.empty()) {
    const auto& largest = *modes.rbegin();
    best = {largest.first, largest.second};
  }
  if (best.index < 0) return -1;
  out = best;
  return 0;
}

void HX_VideoCaptureSlotList::RecalcTargetParameters(kn_levelVideo_t& level) const {
  if (scheme_ != eHQAutoSchemeExtended) return;
  const int32_t perFrame = level.maxMBps / 60;
  if (perFrame >= 3600) level.maxMBpf = perFrame;
}

bool HX_VideoCaptureSlotList::UpdateCaptureList() {
  CleanCaptureListNL();
  ModeMap camera, stereo, kinds[4];
  FilterCaptureModes(camera, stereo, kinds);
  if (!stereo.empty()) camera = stereo;
  if (camera.empty()) return false;

  int allowed;
  if (caps_.screenCapture) {
    allowed = max_level_;
    scheme_ = eHQAutoSchemeStandard;
  } else {
    allowed = std::min(auto_levels_.CheckLevel(sender_level_), max_level_);
  }
  // A debug maximum below the first level still computes the first level, so that the levels
  // above it have a descriptor to repeat.
  allowed = std::max(allowed, 10);

  const ModeMap extended = GetExtendedModes(camera, 30);
  int lastComputed = -1;
  for (int j = 0; j <= levels_.GetMaxLevel(); ++j) {
    kn_levelVideo_t level;
    if (!levels_.GetLevelDesc(static_cast<uint8_t>(j), &level)) continue;
    const int32_t c = level.maxMBps / level.maxMBpf;
    bestMode best[kAspectSlots];
    if (FindBestModes(camera, extended, level, best) != 0) return false;
    const bool repeat = j > allowed && !caps_.screenCapture && lastComputed >= 0;
    for (int k = 0; k < kAspectSlots; ++k) {
      if (repeat) {
        Desc(0, j, k) = Desc(0, lastComputed, k);
        continue;
      }
      const int i = best[k].index;
      const HX_CaptureMode& m = caps_.modes[i];
      const int32_t W = m.width;
      const int32_t H = m.height;
      const float F = MaxRate(i);
      int32_t w2 = W;
      int32_t h2 = H;
      if (best[k].mbPerFrame > level.maxMBpf) {
        const int32_t r = static_cast<int32_t>(static_cast<int64_t>(W) * 10000 / H);
        const double l =
            std::min(static_cast<double>(H), 16.0 * std::sqrt(static_cast<double>(level.maxMBpf) *
                                                              10000.0 / static_cast<double>(r)));
        h2 = static_cast<int32_t>(l) & ~7;
        w2 = static_cast<int32_t>(l / 10000.0 * r + 4) & ~7;
      }
      const int32_t mb = MacroblocksOf(w2, h2);
      const float perSecond =
          std::min(static_cast<float>(c),
                   std::min(F, static_cast<float>(level.maxMBps) / static_cast<float>(mb)));
      HX_VideoCaptureModeDesc& d = Desc(0, j, k);
      d.modeIndex = i;
      d.reserved = 0;
      d.kind = 1;
      d.width = w2;
      d.height = h2;
      d.mbPerSecond = static_cast<int32_t>(perSecond * static_cast<float>(mb));
      d.mbPerFrame = mb;
    }
    if (!repeat) lastComputed = j;
  }

  for (int kind = 1; kind <= 3; ++kind) {
    if (kinds[kind].empty()) continue;
    for (int c = 0; c <= levels_.GetMaxLevel(); ++c) {
      kn_levelVideo_t level;
      if (!levels_.GetLevelDesc(static_cast<uint8_t>(c), &level)) continue;
      for (int k = 0; k < kAspectSlots; ++k) {
        if (c <= 57) {
          Desc(kind, c, k) = Desc(0, c, k);
          continue;
        }
        const float rw = static_cast<float>(kn_AspectRatio[k].width);
        const float rh = static_cast<float>(kn_AspectRatio[k].height);
        int chosen = -1;
        float bestCloseness = -1;
        for (const auto& [mb, index] : kinds[kind]) {
          if (mb > level.maxMBpf) break;
          const HX_CaptureMode& m = caps_.modes[index];
          const float a = static_cast<float>(m.width) / rw;
          const float b = static_cast<float>(m.height) / rh;
          const float closeness = std::min(a, b) / std::max(a, b);
          if (closeness >= bestCloseness) {
            bestCloseness = closeness;
            chosen = index;
          }
        }
        if (chosen < 0) continue;
        const HX_CaptureMode& m = caps_.modes[chosen];
        const int32_t mb = MacroblocksOf(m.width, m.height);
        const float limit = mb > 0 ? static_cast<float>(level.maxMBps / mb) : MaxRate(chosen);
        HX_VideoCaptureModeDesc& d = Desc(kind, c, k);
        d.modeIndex = chosen;
        d.reserved = 0;
        d.kind = 16;
        d.width = m.width;
        d.height = m.height;
        d.mbPerSecond =
            static_cast<int32_t>(static_cast<float>(mb) * std::min(MaxRate(chosen), limit));
        d.mbPerFrame = mb;
      }
    }
  }
  return true;
}
