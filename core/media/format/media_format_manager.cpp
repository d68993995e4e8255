#include "core/media/format/media_format_manager.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/client/debug_tuning.h"
#include "core/media/video/capture_slot_list.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/wire/client_caps.h"

namespace {

constexpr uint8_t kHDCapLevel = 47;
constexpr uint8_t kConferenceRcvLevel = 51;
constexpr uint8_t kScreenCaptureLevel = 91;
constexpr uint32_t kMinPictureSide = 16;

int32_t ClampInt(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

uint8_t ClampLevel(int64_t value) {
  return static_cast<uint8_t>(std::clamp<int64_t>(value, 0, 255));
}

}  // namespace

HX_MediaFormatManager::HX_MediaFormatManager() {
  m_current.Clear();
  m_forced.Clear();
}

HX_MediaFormatManager::~HX_MediaFormatManager() = default;

uint8_t HX_MediaFormatManager::GetBenchLevel() const {
  return std::min(HX_DebugTuning::getVideoLevelMax(), m_perf.sendLevel);
}

void HX_MediaFormatManager::SetControlExternal(eControlExt control, int value) {
  const bool on = value > 0;
  switch (control) {
    case eCtrlHQAuto:
      SetUseHQAuto(on);
      break;
    case eCtrlHDInputSource:
      SetUseHDInputSource(on);
      break;
    case eCtrlExtStereo:
      SetExtStereo(on);
      break;
    case eCtrlBitrate:
      SetBitrateValue(value);
      break;
    case eCtrlAllowHD:
      SetAllowHD(on);
      break;
    case eCtrlExtResolution:
      SetExtResolutionLimit(static_cast<uint32_t>(value));
      break;
    case eCtrlExtFps:
      SetExtFpsLimit(value);
      break;
    case eCtrlExtBitrate:
      SetExtBitrateLimit(value);
      break;
    case eCtrlVideoCodec:
      SetVideoCodec(static_cast<uint32_t>(value));
      break;
    case eCtrlVideoHardware:
      SetVideoHardware(static_cast<uint32_t>(value));
      break;
    case eCtrlAudioCodec:
      SetAudioCodec(static_cast<uint32_t>(value));
      break;
    case eCtrlAudioSamplerate:
      SetAudioSamplerate(static_cast<uint32_t>(value));
      break;
    case eCtrlCaptureResolution:
      SetCaptureResolutionLimit(static_cast<uint32_t>(value));
      break;
    case eCtrlCaptureStereo:
      SetUseStereo(on);
      break;
    case eCtrlNetworkBitrate:
      SetPeerUpLimit(value);
      break;
    case eCtrlSndLevel:
      m_perf.sendLevel = static_cast<uint8_t>(value);
      break;
    case eCtrlSrvBitrate:
      SetSrvUpLimit(value);
      break;
    case eCtrlSrvFps:
      SetSrvFpsLimit(value);
      break;
    case eCtrlSrvResolution:
      SetSrvResolutionLimit(static_cast<uint32_t>(value));
      break;
    case eCtrlCnfBitrate:
      SetCnfUpLimit(value);
      break;
    case eCtrlCnfVideoBitrate:
      SetCnfVideoUpLimit(value);
      break;
    case eCtrlCnfDsBitrate:
      SetCnfDsUpLimit(value);
      break;
    case eCtrlCnfBaseBitrate:
      SetCnfBaseUpLimit(value);
      break;
    case eCtrlCnfBaseMaxBitrate:
      SetCnfBaseMaxUpLimit(value);
      break;
    case eCtrlCnfFps:
      SetCnfFpsLimit(value);
      break;
    case eCtrlCnfVideoResolution:
      SetCnfVideoResolutionLimit(static_cast<uint32_t>(value));
      break;
    case eCtrlCnfDsResolution:
      SetCnfDsResolutionLimit(static_cast<uint32_t>(value));
      break;
    case eCtrlLastFps:
      SetLastFps(value);
      break;
    case eCtrlHQAutoScheme:
      if (value == eHQAutoSchemeStandard || value == eHQAutoSchemeExtended)
        m_scheme = static_cast<eHQAutoScheme>(value);
      break;
    default:
      break;
  }
}

void HX_MediaFormatManager::SetControlExternal(eControlExt control, void* value) {
  switch (control) {
    case eCtrlLevelTable:
      m_levels = static_cast<kn_VideoLevelCaps*>(value);
      break;
    case eCtrlSysBenchmark:
      if (value) m_perf = *static_cast<const HX_SysPerformanceState*>(value);
      break;
    case eCtrlCaptureList:
      m_captureList = static_cast<HX_VideoCaptureSlotList*>(value);
      break;
    case eCtrlCodecFactory:
      m_factory = static_cast<HX_VideoCodecFactory*>(value);
      break;
    case eCtrlForceSndFormat:
      if (value) {
        m_forced = *static_cast<const HX_MediaFormat*>(value);
        SetForceSndFormat(true);
      }
      break;
    default:
      break;
  }
}

HX_MediaFormat HX_MediaFormatManager::SetConnection(const HX_ClientCaps* peer,
                                                    const HX_ClientCaps* own, bool p2p) {
  const HX_ClientCaps defaults;
  if (!peer) peer = &defaults;
  if (!own) own = &defaults;
  SetConfType(p2p ? 0 : 1);
  SetCanRcvH264(false);
  SetCanRcvH265(false);
  own->GetMediaFormat(m_current);
  if (!p2p) {
    SetFixedRcvFormat(true);
    SetMulCaps(8);
    m_peerRcvLevel = kConferenceRcvLevel;
  } else {
    const uint32_t videoRcv = static_cast<uint32_t>(peer->m_videoRcv);
    SetRcvDynamicFmt((videoRcv & 0x8) != 0);
    m_peerClientType = peer->m_clientType;
    // Each side is 16 bits on the wire of the packed size; a peer's larger value is cut to them.
    SetRcvResolutionLimit(GetResolution(static_cast<uint32_t>(peer->m_screenWidth),
                                        static_cast<uint32_t>(peer->m_screenHeight)));
    m_peerRcvLevel = Levels().MergeRatingVsLevel(peer->m_rating, ClampLevel(peer->m_level));
    SetFixedRcvFormat(own->IsFixedRcvMediaFormat(*peer));
    SetCanRcvH264(peer->FindVideoCodec(HX_MediaFormat::kCodecH264));
    SetCanRcvH265(peer->FindVideoCodec(HX_MediaFormat::kCodecH265));
    SetCanRcvStereo((videoRcv & 0x210) != 0);
    uint32_t mul = 1;
    if ((videoRcv & 0x20) || (static_cast<uint32_t>(peer->m_streamsDirCon) & 0x4)) mul += 2;
    if (videoRcv & 0x80) mul += 4;
    if (videoRcv & 0x100) mul += 8;
    SetMulCaps(mul);
  }
  m_connected = true;
  return m_current;
}

void HX_MediaFormatManager::ResetConnection() {
  m_lastBitrate = 128;
  SetBitrateValue(128);
  m_bitrateLevel = m_auto.GetStartBitrateLevel();
  SetRcvDynamicFmt(true);
  SetFixedRcvFormat(false);
  SetCanRcvH264(false);
  SetCanRcvH265(false);
  SetForceSndFormat(false);
  SetCanRcvStereo(false);
  SetMulCaps(2);
  SetLastFps(3000);
  SetConfType(0);
  SetRcvResolutionLimit(0);
  m_captureList = nullptr;
  m_connected = false;
  m_peerRcvLevel = 0;
  m_peerClientType = 0;
  m_current.Clear();
}

uint8_t HX_MediaFormatManager::CheckBitrate(int bitrate) {
  if (bitrate == m_lastBitrate) return m_bitrateLevel;
  m_bitrateLevel = m_auto.CheckBitrateLevel(bitrate, bitrate > m_lastBitrate, m_bitrateLevel);
  m_lastBitrate = bitrate;
  return m_bitrateLevel;
}

uint8_t HX_MediaFormatManager::GetBitrateLevel(int bitrate) const {
  return m_auto.CheckBitrateLevel(bitrate, false, m_peerRcvLevel);
}

uint8_t HX_MediaFormatManager::GetSndLevel(bool max, uint8_t level) const {
  if (max) return m_auto.GetMaxLevel();
  return std::min(level, HX_DebugTuning::getVideoLevelMax());
}

void HX_MediaFormatManager::FixMultiplicityResolution(uint32_t& width, uint32_t& height,
                                                      uint32_t mask) {
  width = (width + mask) & ~mask;
  height = (height + mask) & ~mask;
}

void HX_MediaFormatManager::CorrectAspectRatioResolution(uint32_t macroblocks, uint32_t& width,
                                                         uint32_t& height, uint32_t maxWidth) {
  if (width == 0 || height == 0) return;
  const float ratio = static_cast<float>(width) * 10000.0f / static_cast<float>(height);
  const float fit = 16.0f * std::sqrt(static_cast<float>(macroblocks) * ratio / 10000.0f);
  const float w = std::min(static_cast<float>(maxWidth), fit);
  const double h = static_cast<double>(w) / ratio * 10000.0 + 1.0;
  height = static_cast<uint32_t>(std::min(h, 4294967295.0)) & ~1u;
  width = static_cast<uint32_t>(std::min<double>(w, 4294967295.0)) & ~1u;
}

void HX_MediaFormatManager::RestrictRcvScreenResolution(uint32_t limit, uint32_t& width,
                                                        uint32_t& height) {
  const uint32_t limitWidth = GetWidth(limit);
  const uint32_t limitHeight = GetHeight(limit);
  // A peer that sends only one side of its screen has told us nothing about the other.
  if (limitWidth == 0 || limitHeight == 0) return;
  const float rw = static_cast<float>(width) / static_cast<float>(limitWidth);
  const float rh = static_cast<float>(height) / static_cast<float>(limitHeight);
  if (rw <= 1.0f && rh <= 1.0f) return;
  if (rw >= rh) {
    width = limitWidth;
    height = static_cast<uint32_t>(static_cast<float>(height) / rw);
  } else {
    height = limitHeight;
    width = static_cast<uint32_t>(static_cast<float>(width) / rh);
  }
  // A peer claiming a screen a few pixels wide would otherwise shrink the other side to 0: no
  // encoder opens such a picture, so neither side goes below the smallest one we send.
  width = std::max(width, kMinPictureSide);
  height = std::max(height, kMinPictureSide);
}

uint8_t HX_MediaFormatManager::ChooseHardwareEncoder(uint8_t level,
                                                     hx_vfactory_defs::eHardwareCodec& codec,
                                                     eHardwareEncoder& encoder) {
  if (encoder != eHardwareEncoderNone) return m_auto.GetMaxLevel();
  if (GetCanRcvH264() && m_factory &&
      m_factory->IsSupportHardware(HX_MediaFormat::kCodecH264, true, PeerIsType3or6(), codec)) {
    encoder = eHardwareEncoderH264;
    return m_auto.GetMaxLevel();
  }
  return level;
}

bool HX_MediaFormatManager::CaptureKnown() {
  if (!m_captureList || !m_captureList->IsValid()) return false;
  HX_VideoCaptureCaps caps;
  m_captureList->GetCaps(&caps);
  SetScreenCapture(caps.screenCapture);
  return true;
}

bool HX_MediaFormatManager::CaptureDesc(uint8_t level, int32_t& width, int32_t& height,
                                        int32_t& mbps, int32_t& mbpf) const {
  if (!m_captureList) return false;
  const HX_VideoCaptureModeDesc desc = m_captureList->GetLevelDesc(level, false);
  if (desc.mbPerFrame <= 0 || desc.width <= 0 || desc.height <= 0) return false;
  width = desc.width;
  height = desc.height;
  mbps = desc.mbPerSecond;
  mbpf = desc.mbPerFrame;
  return true;
}

int32_t HX_MediaFormatManager::LevelMaxMBps(uint8_t level) const {
  kn_levelVideo_t row{};
  Levels().GetLevelDesc(level, &row);
  return row.maxMBps;
}

bool HX_MediaFormatManager::GetMediaFormat(const HX_MediaFormat* in, HX_MediaFormat* out,
                                           unsigned char* level) {
  if (!in || !out) return false;
  const HX_MediaFormat source = *in;
  *out = source;
  out->size = source.size;
  const bool known = CaptureKnown();
  const bool automatic = GetUseHQAuto() && GetConfType() == 0 && !GetFixedRcvFormat() &&
                         GetRcvDynamicFmt() && GetSrvResolutionLimit() == 0 &&
                         GetExtResolutionLimit() == 0 && GetVideoCodec() == 0 && !GetExtStereo() &&
                         !GetForceSndFormat();
  SetHQAutoCurrent(automatic);
  uint8_t chosen;
  if (m_connected) {
    chosen = ActiveChoice(*out, known);
  } else {
    chosen = IdleChoice(*out, known);
    m_formatSignal(0, 0, out->frameRate * 100);
  }
  if (out->stereo != 0) out->height *= 2;
  if (level) *level = chosen;
  return automatic;
}

uint8_t HX_MediaFormatManager::IdleChoice(HX_MediaFormat& out, bool known) {
  uint8_t level = 0;
  int32_t w = 0, h = 0, mbps = 0, mbpf = 0;
  if (GetHQAutoCurrent()) {
    m_auto.SetAutoScheme(m_scheme);
    if (GetScreenCapture()) {
      level = Levels().CheckLevel(GetBenchLevel());
      out.videoCodec = HX_MediaFormat::kCodecVP8;
      out.stereo = 0;
      out.frameRate = 30;
      if (known && CaptureDesc(level, w, h, mbps, mbpf)) {
        out.width = static_cast<uint32_t>(w);
        out.height = static_cast<uint32_t>(h);
        out.frameRate = static_cast<uint32_t>(std::clamp(LevelMaxMBps(level) / mbpf, 0, 30));
      }
    } else {
      level = m_auto.CheckLevel(m_auto.GetMaxLevel());
      if (known && CaptureDesc(level, w, h, mbps, mbpf)) {
        out.width = static_cast<uint32_t>(w);
        out.height = static_cast<uint32_t>(h);
      }
      kn_AutoModeDesc_t step{};
      if (m_auto.GetLevelDesc(level, 0, &step)) {
        out.frameRate = static_cast<uint32_t>(step.frameRate);
        out.videoCodec = step.codec;
      }
      out.stereo = GetUseStereo() ? 1 : 0;
    }
    if (GetSrvFpsLimit() > 0)
      out.frameRate = static_cast<uint32_t>(GetSrvFpsLimit() / 100);
    else if (GetExtFpsLimit() > 0)
      out.frameRate = static_cast<uint32_t>(GetExtFpsLimit());
  } else if (GetExtStereo()) {
    if (const uint32_t limit = GetExtResolutionLimit()) {
      out.width = GetWidth(limit);
      out.height = GetHeight(limit);
    }
    out.frameRate = GetExtFpsLimit() > 0 ? static_cast<uint32_t>(GetExtFpsLimit()) : 30;
    out.stereo = GetUseStereo() ? 1 : 0;
    out.videoCodec = HX_MediaFormat::kCodecVP8;
  } else {
    uint32_t limit = GetSrvResolutionLimit();
    if (limit == 0) limit = GetExtResolutionLimit();
    if (limit != 0) {
      out.width = GetWidth(limit);
      out.height = GetHeight(limit);
    }
    if (GetSrvFpsLimit() > 0)
      out.frameRate = static_cast<uint32_t>(GetSrvFpsLimit() / 100);
    else if (GetExtFpsLimit() > 0)
      out.frameRate = static_cast<uint32_t>(GetExtFpsLimit());
    else
      out.frameRate = 30;
    out.stereo = 0;
    out.videoCodec = HX_MediaFormat::kCodecVP8;
  }
  out.svcMode = 0;
  out.hardwareCodec = 0;
  if (!GetHQAutoCurrent()) {
    // Unsigned 32-bit on purpose: the rate wraps rather than overflowing a signed value.
    const uint32_t rate = (out.width * out.frameRate * out.height) >> 8;
    level = Levels().MBps2Level(static_cast<int>(std::min<uint32_t>(rate, INT32_MAX)));
  }
  return level;
}

uint8_t HX_MediaFormatManager::ActiveChoice(HX_MediaFormat& out, bool known) {
  uint8_t level = 0;
  int32_t w = 0, h = 0, mbps = 0, mbpf = 0;
  out.frameRate = m_current.frameRate;
  out.hardwareCodec = 0;
  const uint8_t bench = GetBenchLevel();
  const uint8_t hdCap = GetAllowHD() ? Levels().GetMaxLevel() : kHDCapLevel;
  if (GetHQAutoCurrent()) {
    m_auto.SetAutoScheme(m_scheme);
    if (!GetScreenCapture()) {
      hx_vfactory_defs::eHardwareCodec kind = hx_vfactory_defs::eHardwareCodecNone;
      eHardwareEncoder encoder = eHardwareEncoderNone;
      const uint8_t ceiling = ChooseHardwareEncoder(bench, kind, encoder);
      const uint8_t rateLevel = CheckBitrate(GetBitrateValue());
      level = m_auto.CheckLevel(std::min({m_peerRcvLevel, rateLevel, hdCap, ceiling}));
      if (known && CaptureDesc(level, w, h, mbps, mbpf)) {
        out.width = static_cast<uint32_t>(w);
        out.height = static_cast<uint32_t>(h);
      }
      int column = 0;
      if (level + 3 > bench) {
        column = static_cast<int>(encoder);
        if (encoder != eHardwareEncoderNone) out.hardwareCodec = kind;
      }
      kn_AutoModeDesc_t step{};
      if (m_auto.GetLevelDesc(level, column, &step)) {
        out.frameRate = static_cast<uint32_t>(step.frameRate);
        out.videoCodec = step.codec;
      }
      out.stereo = (GetUseStereo() && GetCanRcvStereo()) ? 1 : 0;
    } else {
      level = Levels().CheckLevel(std::min({bench, hdCap, m_peerRcvLevel}));
      out.videoCodec = HX_MediaFormat::kCodecVP8;
      out.frameRate = 30;
      if (known && CaptureDesc(kScreenCaptureLevel, w, h, mbps, mbpf)) {
        out.width = static_cast<uint32_t>(w);
        out.height = static_cast<uint32_t>(h);
        int32_t fps = std::min(LevelMaxMBps(level) / mbpf, 30);
        if (fps <= 5) fps = 5;
        out.frameRate = static_cast<uint32_t>(fps);
      }
    }
    if (const uint32_t limit = GetRcvResolutionLimit())
      RestrictRcvScreenResolution(limit, out.width, out.height);
  } else if (GetForceSndFormat()) {
    out.width = m_forced.width;
    out.height = m_forced.height;
    out.videoCodec = m_forced.videoCodec;
    if (out.videoCodec == HX_MediaFormat::kCodecH264 && PeerIsType3or6())
      out.videoCodec = HX_MediaFormat::kCodecVP8;
    out.frameRate = m_forced.frameRate;
    out.stereo = m_forced.stereo;
    out.svcMode = m_forced.svcMode;
    out.hardwareCodec = m_forced.hardwareCodec;
  } else if (GetExtStereo()) {
    if (const uint32_t limit = GetExtResolutionLimit()) {
      out.width = GetWidth(limit);
      out.height = GetHeight(limit);
    }
    if (GetExtFpsLimit() > 0) out.frameRate = static_cast<uint32_t>(GetExtFpsLimit());
    out.stereo = (GetUseStereo() && GetCanRcvStereo()) ? 1 : 0;
  } else if (GetConfType() == 1) {
    const auto keepCurrent = [&] {
      out.width = m_current.width;
      out.height = m_current.height;
      out.videoCodec = m_current.videoCodec;
      out.frameRate = m_current.frameRate;
    };
    if (!known) {
      keepCurrent();
    } else if (const uint32_t limit = GetSrvResolutionLimit()) {
      out.width = GetWidth(limit);
      out.height = GetHeight(limit);
      out.videoCodec = m_current.videoCodec;
      out.frameRate = m_current.frameRate;
    } else if (GetUseHQAuto()) {
      const int32_t cnfFps = GetCnfFpsLimit() / 100;
      const bool screen = GetScreenCapture();
      const int64_t macroblocks =
          static_cast<int64_t>(screen ? GetCnfDsResolutionLimit() : GetCnfVideoResolutionLimit());
      const uint8_t limitLevel = Levels().MBps2Level(ClampInt(macroblocks * cnfFps));
      const uint8_t capped = std::min(limitLevel, bench);
      // A level the capture list never computed (no benchmark yet, or a level without a row)
      // has no macroblocks per frame: keep the current format rather than divide by zero.
      if (!CaptureDesc(screen ? limitLevel : capped, w, h, mbps, mbpf)) {
        keepCurrent();
      } else {
        level = capped;
        out.width = static_cast<uint32_t>(w);
        out.height = static_cast<uint32_t>(h);
        int32_t fps;
        if (screen) {
          fps = std::min(LevelMaxMBps(capped) / mbpf, cnfFps);
          if (fps <= 5) fps = 5;
        } else {
          fps = std::min(mbps / mbpf, cnfFps);
        }
        out.frameRate = static_cast<uint32_t>(std::max(fps, 0));
        out.videoCodec = m_current.videoCodec;
      }
    }
  } else {
    uint32_t fps = m_current.frameRate;
    bool useFixed = true;
    if (GetRcvDynamicFmt() && !GetFixedRcvFormat()) {
      if (GetSrvFpsLimit() > 0)
        fps = static_cast<uint32_t>(GetSrvFpsLimit() / 100);
      else if (GetExtFpsLimit() > 0)
        fps = static_cast<uint32_t>(GetExtFpsLimit());
      uint32_t limit = GetSrvResolutionLimit();
      if (limit == 0) limit = GetExtResolutionLimit();
      if (limit != 0) {
        useFixed = false;
        out.width = GetWidth(limit);
        out.height = GetHeight(limit);
        const uint32_t requested = GetVideoCodec();
        uint32_t codec = requested;
        if (codec == 0 || (codec == HX_MediaFormat::kCodecH264 && !GetCanRcvH264()))
          codec = m_current.videoCodec;
        out.videoCodec = codec;
        const uint32_t hardware = GetVideoHardware();
        if (hardware != 0 && requested != 0) {
          const bool supported =
              m_factory && m_factory->IsSupportHardwarePref(
                               codec, true, PeerIsType3or6(),
                               static_cast<hx_vfactory_defs::eHardwareCodec>(hardware));
          out.hardwareCodec = supported ? hardware : 0;
        }
      }
    }
    if (useFixed) {
      out.width = m_current.width;
      out.height = m_current.height;
      out.videoCodec = GetVideoCodec() != 0 ? GetVideoCodec() : m_current.videoCodec;
    }
    out.frameRate = fps;
    out.stereo = 0;
  }
  if (level == 0) {
    const uint64_t macroblocks = (static_cast<uint64_t>(out.height) * out.width) >> 8;
    level = m_auto.CheckLevel(
        Levels().MB2Level(static_cast<int>(std::min<uint64_t>(macroblocks, INT32_MAX))));
  }
  return level;
}
