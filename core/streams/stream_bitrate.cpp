#include "core/streams/stream_bitrate.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/media/format/media_format_adapter.h"
#include "core/wire/media_format.h"

namespace {

constexpr uint32_t kMinBandwidth = 16;  // kbit/s
// A frame rate in frames per second x 100 that stays a whole number of frames in 32 bits.
constexpr uint64_t kMaxFps = std::numeric_limits<uint32_t>::max() / 100 * 100;
constexpr int64_t kMaxSignedFps = std::numeric_limits<int32_t>::max() / 100 * 100;

// Whether the network type is one of the fast ones that may start at 512 kbit/s.
bool IsFastNetwork(uint32_t networkType) {
  switch (networkType) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 11:
      return true;
    default:
      return false;
  }
}

}  // namespace

HXStreamBitrate::HXStreamBitrate()
    : m_pixelTable{{0, 0.02844f},         {230, 0.02844f},      {900, 0.005265437f},
                   {1620, 0.005618109f},  {3600, 0.006097213f}, {8100, 0.006583772f},
                   {200000, 0.001365333f}} {}

uint32_t HXStreamBitrate::AudioBitrate(uint32_t bandwidth) {
  if (bandwidth > 256) return 56000;
  if (bandwidth > 192) return 44000;
  if (bandwidth > 160) return 32000;
  if (bandwidth > 128) return 28000;
  if (bandwidth > 96) return 24000;
  if (bandwidth > 64) return 20000;
  if (bandwidth > 32) return 16000;
  return 12000;
}

float HXStreamBitrate::PixelValue(uint64_t units) const {
  // Keys are 32-bit: anything larger lies beyond the last key as well.
  if (units > std::numeric_limits<uint32_t>::max()) return m_pixelTable.rbegin()->second;
  auto it = m_pixelTable.lower_bound(static_cast<uint32_t>(units));
  if (it == m_pixelTable.end()) return m_pixelTable.rbegin()->second;
  return it->second;
}

void HXStreamBitrate::CalcBitrate(const HX_MediaFormat& format, uint32_t bandwidth,
                                  uint32_t baseLimit, uint32_t maxLimit, uint32_t audio,
                                  uint32_t /*video*/, uint32_t data, uint32_t fpsLimit,
                                  uint32_t /*lastFps*/, bool /*flag*/, bool /*hqAuto*/,
                                  HX_Conference_Type type) {
  const uint32_t bw = std::max(bandwidth, kMinBandwidth);
  const uint32_t audioBitrate = AudioBitrate(bw);

  // The video budget: what the audio leaves when it takes a noticeable share (a twentieth or
  // more). It may go negative when the measured audio exceeds the bandwidth.
  int64_t budget = bw;
  if (audio != 0 && bw / audio <= 20) budget = int64_t{bw} - int64_t{audio};
  if (type == hx::conference::kPrivateCall) {
    budget = std::max<int64_t>(budget, 0);
    // Data takes a share that grows with the square root of the budget.
    if (budget / 20 < int64_t{data}) {
      const double b = static_cast<double>(budget);
      budget = static_cast<int64_t>(b / (std::sqrt(b / 128.0) + 1.0) + 0.5);
    }
  }
  // budget <= bw, so it fits 32 bits.
  const uint32_t videoBudget = budget > 9 ? static_cast<uint32_t>(budget) : 10;

  // Frame rate: the lower of the limit and the format's, rounded to whole frames, at least one.
  uint64_t fps = std::min<uint64_t>(fpsLimit, uint64_t{format.frameRate} * 100);
  fps = (fps + 50) / 100 * 100;
  fps = std::clamp<uint64_t>(fps, 100, kMaxFps);

  if (type != hx::conference::kPrivateCall) {
    OnChangeStreamBitrate(videoBudget, baseLimit, maxLimit, static_cast<uint32_t>(fps),
                          audioBitrate);
    return;
  }

  // A call also holds the frame rate to what the budget buys at this picture size. A picture
  // under 256 pixels, or none at all (an audio-only call), is one unit rather than a division
  // by zero.
  const uint64_t pixels = uint64_t{format.width} * format.height;
  const uint64_t units = std::max<uint64_t>(pixels / (format.stereo != 0 ? 512 : 256), 1);
  const float perFrame = float(videoBudget) / PixelValue(units) / float(units) * 100.0f;
  // perFrame is positive and finite; beyond the int range the budget sets no limit at all.
  const uint64_t affordable = perFrame >= 2147483648.0f
                                  ? std::numeric_limits<int32_t>::max()
                                  : static_cast<uint64_t>(static_cast<int32_t>(perFrame));
  fps = std::max<uint64_t>(std::min(fps, affordable), 100);
  OnChangeStreamBitrate(bw, videoBudget, videoBudget, static_cast<uint32_t>(fps), audioBitrate);
}

uint32_t HXStreamBitrate::UploadLimit(int32_t conference, int32_t server, int32_t peer) {
  uint32_t limit = 0;
  for (int32_t value : {conference, server, peer}) {
    if (value > 0 && (limit == 0 || static_cast<uint32_t>(value) < limit)) {
      limit = static_cast<uint32_t>(value);
    }
  }
  return limit != 0 ? limit : kDefaultUploadLimit;
}

uint32_t HXStreamBitrate::GetInitialSenderBandwidth(int32_t conference, int32_t server,
                                                    int32_t peer, uint32_t networkType) {
  const bool fast = IsFastNetwork(networkType);
  const uint64_t threshold = fast ? 1538 : 290;
  const uint32_t value = fast ? 512 : 96;
  const uint64_t twice = uint64_t{UploadLimit(conference, server, peer)} * 2;
  // twice / 3 <= threshold / 3 < 2^32 here.
  const uint32_t guess = twice > threshold ? value : static_cast<uint32_t>(twice / 3);
  return std::max(guess, kMinInitialBandwidth);
}

bool HXStreamBitrate::ProcessRestrictBitrate(HX_MediaFormatManagerAdapter& adapter,
                                             const conference::ServerBitrateControl& control) {
  auto positive = [](int32_t value) { return value > 0; };
  if (positive(control.confLimit)) adapter.SetBitrateConferenceLimit(control.confLimit);
  if (positive(control.videoLimit)) adapter.SetBitrateConferenceVideoLimit(control.videoLimit);
  if (positive(control.dsLimit)) adapter.SetBitrateConferenceDsLimit(control.dsLimit);
  if (positive(control.baseLimit)) adapter.SetBitrateBaseConferenceLimit(control.baseLimit);
  if (positive(control.baseMaxLimit)) {
    adapter.SetBitrateBaseMaxConferenceLimit(control.baseMaxLimit);
  }
  if (positive(control.fpsLimit)) {
    // The stored limit is signed: a rate of more than 21 million frames a second is capped
    // rather than wrapped into a negative (or small) one.
    const int64_t fps = std::min<int64_t>(int64_t{control.fpsLimit} * 100, kMaxSignedFps);
    adapter.SetFpsConferenceLimit(static_cast<uint32_t>(fps));
  }
  if (positive(control.videoResolutionLimit)) {
    adapter.SetResolutionConferenceVideoLimit(control.videoResolutionLimit);
  }
  if (positive(control.dsResolutionLimit)) {
    adapter.SetResolutionConferenceDsLimit(control.dsResolutionLimit);
  }
  return true;
}
