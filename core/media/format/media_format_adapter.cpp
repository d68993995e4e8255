#include "core/media/format/media_format_adapter.h"

#include "core/base/tick_clock.h"

namespace {

// The signed limit fields keep the bit pattern of what they are given (C++20 conversion).
int AsInt(uint32_t value) { return static_cast<int>(value); }

void SetDefaultVideo(HX_MediaFormat& format) {
  format.width = 640;
  format.height = 360;
  format.videoCodec = HX_MediaFormat::kCodecVP8;
  format.frameRate = 30;
  format.stereo = 0;
  format.svcMode = 0;
  format.hardwareCodec = 0;
}

// A size limit packed as the manager keeps it. A limit with a side of 0 (as packed: 16 bits) names
// no picture, so it counts as no limit rather than a format without width or height.
uint32_t SizeLimit(uint32_t width, uint32_t height) {
  const uint32_t packed = HX_MediaFormatManager::GetResolution(width, height);
  const bool bothSides = HX_MediaFormatManager::GetWidth(packed) != 0 && HX_MediaFormatManager::GetHeight(packed) != 0;
  return bothSides ? packed : 0;
}

bool SideUsable(uint32_t side) { return side >= 16 && side <= 131072 && side % 8 == 0; }

}  // namespace

HX_MediaFormatManagerAdapter::HX_MediaFormatManagerAdapter(std::function<int64_t()> ticks)
    : m_ticks(ticks ? std::move(ticks) : std::function<int64_t()>(&hx::GetTickCount)) {
  m_levelTable = new kn_VideoLevelCaps();
  HX_MediaFormatManager::SetControlExternal(eCtrlLevelTable, m_levelTable);
  ResetConnection();
  m_lastBitrate = GetBitrateValue();
  SetDefaultVideo(m_sendFormat);
  m_sendFormat.SetAudio(16000, HX_MediaFormat::kAudioOpus, HX_MediaFormat::kDefaultDuration);
}

HX_MediaFormatManagerAdapter::~HX_MediaFormatManagerAdapter() {
  HX_MediaFormatManager::SetControlExternal(eCtrlLevelTable, static_cast<void*>(nullptr));
  delete m_levelTable;
}

HX_MediaFormat HX_MediaFormatManagerAdapter::GetMediaFormat() {
  HXAutoLock lock(*this);
  return m_sendFormat;
}

HX_MediaFormat HX_MediaFormatManagerAdapter::RequestMediaFormat(unsigned char& level) {
  HXAutoLock lock(*this);
  level = 0;
  if (CanRecalcParams()) UpdateVideoFormat(level);
  return m_sendFormat;
}

void HX_MediaFormatManagerAdapter::UpdateVideoFormat(unsigned char& level) {
  HXAutoLock lock(*this);
  const HX_MediaFormat in = m_sendFormat;
  HX_MediaFormatManager::GetMediaFormat(&in, &m_sendFormat, &level);
}

void HX_MediaFormatManagerAdapter::UpdateAudioFormat(uint32_t sampleRate, uint32_t codecTag) {
  HXAutoLock lock(*this);
  m_sendFormat.SetAudio(sampleRate, codecTag, HX_MediaFormat::kDefaultDuration);
}

bool HX_MediaFormatManagerAdapter::CanRecalcParams() {
  HXAutoLock lock(*this);
  const int64_t now = m_ticks();
  const uint64_t elapsed = static_cast<uint64_t>(now) - static_cast<uint64_t>(m_lastRecalc);
  if (GetBitrateValue() == m_lastBitrate && elapsed <= kRecalcIntervalMs &&
      m_forceUpdate.load() == 0) {
    m_forceUpdate.store(0);
    return false;
  }
  m_lastRecalc = now;
  m_lastBitrate = GetBitrateValue();
  m_forceUpdate.exchange(0);
  return true;
}

void HX_MediaFormatManagerAdapter::SetConnection(const HX_ClientCaps* peer,
                                                 const HX_ClientCaps* own, bool p2p) {
  m_adapterConnected.exchange(1);
  HXAutoLock lock(*this);
  m_sendFormat = HX_MediaFormatManager::SetConnection(peer, own, p2p);
  Force();
  unsigned char level = 0;
  if (CanRecalcParams()) UpdateVideoFormat(level);
}

void HX_MediaFormatManagerAdapter::Reset() {
  m_adapterConnected.exchange(0);
  HXAutoLock lock(*this);
  ResetConnection();
  if (m_sendFormat.videoCodec == 0 || !SideUsable(m_sendFormat.width) ||
      !SideUsable(m_sendFormat.height))
    SetDefaultVideo(m_sendFormat);
  Force();
  unsigned char level = 0;
  if (CanRecalcParams()) UpdateVideoFormat(level);
}

void HX_MediaFormatManagerAdapter::SetForceUpdate() {
  HXAutoLock lock(*this);
  Force();
}

void HX_MediaFormatManagerAdapter::Store(eControlExt control, int value, bool force) {
  HXAutoLock lock(*this);
  HX_MediaFormatManager::SetControlExternal(control, value);
  if (force) Force();
}

void HX_MediaFormatManagerAdapter::Store(eControlExt control, void* value, bool force) {
  HXAutoLock lock(*this);
  HX_MediaFormatManager::SetControlExternal(control, value);
  if (force) Force();
}

void HX_MediaFormatManagerAdapter::SetHQAutoMode(bool on) { Store(eCtrlHQAuto, on ? 1 : 0, true); }
void HX_MediaFormatManagerAdapter::SetStereoMode(int mode) { Store(eCtrlExtStereo, mode, true); }
void HX_MediaFormatManagerAdapter::SetBitrate(uint32_t kbps) {
  Store(eCtrlBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetSysBenchmarkResult(const HX_SysPerformanceState& result) {
  HX_SysPerformanceState copy = result;
  Store(eCtrlSysBenchmark, &copy, true);
}
void HX_MediaFormatManagerAdapter::SetUseHDInput(bool on) { Store(eCtrlAllowHD, on ? 1 : 0, true); }
void HX_MediaFormatManagerAdapter::SetResolutionExtLimit(uint32_t width, uint32_t height) {
  Store(eCtrlExtResolution, AsInt(SizeLimit(width, height)), true);
}
void HX_MediaFormatManagerAdapter::SetFpsExtLimit(uint32_t fps) {
  Store(eCtrlExtFps, AsInt(fps), true);
}
void HX_MediaFormatManagerAdapter::SetBitrateExtLimit(uint32_t kbps) {
  Store(eCtrlExtBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetVideoCodec(uint32_t fourcc) {
  Store(eCtrlVideoCodec, AsInt(fourcc), true);
}
void HX_MediaFormatManagerAdapter::SetVideoHardware(uint32_t kind) {
  Store(eCtrlVideoHardware, AsInt(kind), true);
}
void HX_MediaFormatManagerAdapter::SetAudioCodec(uint32_t tag) {
  Store(eCtrlAudioCodec, AsInt(tag), false);
}
void HX_MediaFormatManagerAdapter::SetAudioSamplerate(uint32_t hz) {
  Store(eCtrlAudioSamplerate, AsInt(hz), false);
}
void HX_MediaFormatManagerAdapter::SetResolutionCaptureLimit(uint32_t width, uint32_t height) {
  Store(eCtrlCaptureResolution, AsInt(GetResolution(width, height)), true);
}
void HX_MediaFormatManagerAdapter::SetCaptureStereo(int mode) {
  Store(eCtrlCaptureStereo, mode, true);
}
void HX_MediaFormatManagerAdapter::SetBitrateNetworkLimit(uint32_t kbps) {
  Store(eCtrlNetworkBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::ForceSndLevel(unsigned char level) {
  Store(eCtrlSndLevel, level, true);
}
void HX_MediaFormatManagerAdapter::SetBitrateServerLimit(uint32_t kbps) {
  Store(eCtrlSrvBitrate, AsInt(kbps), true);
}
void HX_MediaFormatManagerAdapter::SetFpsServerLimit(uint32_t fps100) {
  Store(eCtrlSrvFps, AsInt(fps100), true);
}
void HX_MediaFormatManagerAdapter::SetResolutionServerLimit(uint32_t width, uint32_t height) {
  Store(eCtrlSrvResolution, AsInt(SizeLimit(width, height)), true);
}
void HX_MediaFormatManagerAdapter::SetBitrateConferenceLimit(uint32_t kbps) {
  Store(eCtrlCnfBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetBitrateConferenceVideoLimit(uint32_t kbps) {
  Store(eCtrlCnfVideoBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetBitrateConferenceDsLimit(uint32_t kbps) {
  Store(eCtrlCnfDsBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetBitrateBaseConferenceLimit(uint32_t kbps) {
  Store(eCtrlCnfBaseBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetBitrateBaseMaxConferenceLimit(uint32_t kbps) {
  Store(eCtrlCnfBaseMaxBitrate, AsInt(kbps), false);
}
void HX_MediaFormatManagerAdapter::SetFpsConferenceLimit(uint32_t fps100) {
  Store(eCtrlCnfFps, AsInt(fps100), false);
}
void HX_MediaFormatManagerAdapter::SetResolutionConferenceVideoLimit(uint32_t macroblocks) {
  Store(eCtrlCnfVideoResolution, AsInt(macroblocks), false);
}
void HX_MediaFormatManagerAdapter::SetResolutionConferenceDsLimit(uint32_t macroblocks) {
  Store(eCtrlCnfDsResolution, AsInt(macroblocks), false);
}
void HX_MediaFormatManagerAdapter::SetFps(uint32_t fps100) {
  Store(eCtrlLastFps, AsInt(fps100), false);
}
void HX_MediaFormatManagerAdapter::SetCaptureList(HX_VideoCaptureSlotList* list) {
  Store(eCtrlCaptureList, static_cast<void*>(list), true);
}
void HX_MediaFormatManagerAdapter::SetVideoCodecFactory(HX_VideoCodecFactory* factory) {
  Store(eCtrlCodecFactory, static_cast<void*>(factory), false);
}
void HX_MediaFormatManagerAdapter::ForceSndMediaFormat(const HX_MediaFormat& format) {
  HXAutoLock lock(*this);
  HX_MediaFormat copy = format;
  HX_MediaFormatManager::SetControlExternal(eCtrlForceSndFormat, static_cast<void*>(&copy));
  m_sendFormat.SetAudio(format.sampleRate, format.audioCodec, HX_MediaFormat::kDefaultDuration);
  Force();
}
void HX_MediaFormatManagerAdapter::SetHQAutoScheme(eHQAutoScheme scheme) {
  Store(eCtrlHQAutoScheme, static_cast<int>(scheme), false);
}
