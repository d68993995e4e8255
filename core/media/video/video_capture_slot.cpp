#include "core/media/video/video_capture_slot.h"

#include <algorithm>
#include <cstring>

#include "core/base/tick_clock.h"

namespace {

constexpr uint32_t kI420Code = 0x30323449;  // "I420"
constexpr int32_t kStereoI420 = 23;

// The slot whose frame-ready signal the current thread is emitting, if any.
thread_local const HX_VideoCaptureSlotBase* t_emittingSlot = nullptr;

bool IsQuarterTurn(hx_processing_defs::eRotateMode rotate) {
  return rotate == hx_processing_defs::eRotateQuarter ||
         rotate == hx_processing_defs::eRotateThreeQuarters;
}

bool IsStereoFormat(int32_t format) { return format == 22 || format == 23; }

}  // namespace

// ---- frame buffer ----

HX_FrameCaptureState::HX_FrameCaptureState() { Resize(320, 240); }

HX_FrameCaptureState::~HX_FrameCaptureState() { Free(); }

void HX_FrameCaptureState::Free() {
  delete[] data;
  data = nullptr;
}

void HX_FrameCaptureState::Resize(uint32_t width, uint32_t height) {
  format.width = width;
  format.height = height;
  size = static_cast<uint64_t>(width) * height * 3 / 2;
  Free();
  if (size != 0) data = new unsigned char[size]();
}

// ---- construction ----

HX_VideoCaptureSlotBase::HX_VideoCaptureSlotBase()
    : HXThread(""), m_captureList(std::make_shared<HX_VideoCaptureSlotList>()) {
  m_buffers.push_back(std::make_unique<HX_FrameCaptureState>());
  m_format.width = 640;
  m_format.height = 360;
  m_format.videoCodec = kI420Code;
  m_format.frameRate = 30;
  m_format.stereo = 0;
}

HX_VideoCaptureSlotBase::~HX_VideoCaptureSlotBase() {
  if (m_multithreading.load() && IsRunning()) StopProcessingThread();
  if (!IsIdle()) {
    Terminate();
    Wait();
  }
  for (auto& b : m_buffers) b->Free();
}

std::shared_ptr<HX_VideoProcessingBase> HX_VideoCaptureSlotBase::_CreateVideoProcessing() {
  return std::make_shared<HX_VideoProcessingBase>();
}

void HX_VideoCaptureSlotBase::CreateFrameProcessor() {
  HXAutoLock hold(static_cast<HXMultiLock<2>&>(*this));
  if (m_conversion) return;
  m_processing = _CreateVideoProcessing();
  if (!m_processing) m_processing = std::make_shared<HX_VideoProcessingBase>();
  m_conversion = std::make_shared<HX_VideoCaptureConversion>(m_processing.get());
}

void HX_VideoCaptureSlotBase::SetMediaAdapter(
    std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) {
  {
    HXAutoLock hold(static_cast<HXMultiLock<2>&>(*this));
    if (m_adapter || !adapter) return;
    m_adapter = adapter;
  }
  adapter->SetCaptureList(m_captureList.get());
}

std::shared_ptr<HX_MediaFormatManagerAdapter> HX_VideoCaptureSlotBase::GetMediaAdapter() {
  HXAutoLock hold(static_cast<HXMultiLock<2>&>(*this));
  return m_adapter;
}

// ---- controls ----

void HX_VideoCaptureSlotBase::OnForceKeyFrame() {
  HXAutoLock hold(static_cast<HXMultiLock<1>&>(*this));
  m_forceKeyFrame.exchange(1);
}

void HX_VideoCaptureSlotBase::OnPauseVideoCapture(bool pause) {
  if (pause) {
    m_pause.exchange(1);
    m_waitKeyFrame.exchange(1);
  } else {
    m_pause.exchange(0);
    OnForceKeyFrame();
  }
}

void HX_VideoCaptureSlotBase::OnRoleVideoCapture(bool on) {
  if (on) {
    m_role.exchange(1);
    OnForceKeyFrame();
  } else {
    m_role.exchange(0);
    m_waitKeyFrame.exchange(1);
  }
}

void HX_VideoCaptureSlotBase::OnForceStereoCapture(bool on) {
  // Without an adapter there is nobody to tell; the flag is only stored.
  if (auto adapter = GetMediaAdapter()) adapter->SetCaptureStereo(on ? 1 : 0);
  m_forceStereo.exchange(on ? 1 : 0);
}

// ---- capabilities and levels ----

void HX_VideoCaptureSlotBase::UpdateCaptureCaps(const HX_VideoCaptureCaps* caps, int& modeIndex) {
  int second = -1;
  UpdateCaptureCapsExt(caps, 0, modeIndex, second);
}

void HX_VideoCaptureSlotBase::UpdateCaptureCapsExt(const HX_VideoCaptureCaps* caps, int,
                                                   int& modeIndex, int& second) {
  modeIndex = -1;
  second = -1;
  if (caps != nullptr) {
    m_captureList->SetVideoCaptureCaps(caps, Scheme());
    const HX_VideoCaptureModeDesc desc =
        m_captureList->GetLevelDesc(static_cast<uint8_t>(m_level.load()), false);
    modeIndex = desc.modeIndex;
    second = desc.reserved;
    if (auto adapter = GetMediaAdapter()) {
      adapter->SetCaptureList(m_captureList.get());
      adapter->SetHQAutoScheme(m_captureList->GetHQAutoScheme());
      adapter->SetForceUpdate();
    }
  }
  OnForceKeyFrame();
}

void HX_VideoCaptureSlotBase::UpdateBenchLevel(unsigned char level) {
  m_captureList->UpdateSenderLevel(level, Scheme());
  if (auto adapter = GetMediaAdapter()) {
    adapter->SetHQAutoScheme(m_captureList->GetHQAutoScheme());
    adapter->SetForceUpdate();
  }
  OnForceKeyFrame();
}

void HX_VideoCaptureSlotBase::ForceExtendedFramerate(bool on) {
  m_extendedFps.exchange(on ? 1 : 0);
  m_captureList->UpdateHQAutoScheme(Scheme());
  if (auto adapter = GetMediaAdapter()) {
    adapter->SetHQAutoScheme(m_captureList->GetHQAutoScheme());
    adapter->SetForceUpdate();
  }
}

// ---- life cycle ----

void HX_VideoCaptureSlotBase::StartProcessingThread() {
  m_codecBaseResolution.exchange(0);
  m_block.exchange(0);
  if (m_multithreading.load() && IsIdle()) {
    m_wakeUp.Reset();
    Start(hx::thread::normal, true);
  }
}

void HX_VideoCaptureSlotBase::StopProcessingThread() {
  m_block.exchange(1);
  const bool inside = t_emittingSlot == this;
  if (m_multithreading.load() && !inside && !IsIdle()) {
    Terminate();
    Wait();
  }
  // Frame-ready emissions that began before the block flag was set end before this returns; the
  // caller may disconnect its receiver next. An emission on this very thread is the caller.
  if (!inside) {
    std::unique_lock<std::mutex> hold(m_emitMutex);
    m_emitDone.wait(hold, [this] { return m_emitting == 0; });
  }
  for (auto& b : m_buffers) b->busy.store(0);
  {
    HXAutoLock hold(static_cast<HXMultiLock<0>&>(*this));
    m_sendIndex.clear();
  }
  m_pause.exchange(0);
  m_role.exchange(1);
  {
    HXAutoLock hold(static_cast<HXMultiLock<1>&>(*this));
    m_forceKeyFrame.exchange(1);
  }
  m_waitKeyFrame.exchange(1);
  m_codecBaseResolution.exchange(0);
}

void HX_VideoCaptureSlotBase::EmitFrameReady(HX_FrameCaptureState& state) {
  {
    std::lock_guard<std::mutex> hold(m_emitMutex);
    if (m_block.load() != 0) return;
    ++m_emitting;
  }
  const HX_VideoCaptureSlotBase* outer = t_emittingSlot;
  t_emittingSlot = this;
  FrameReadySignal.Emit(this, state.data, static_cast<unsigned long>(state.size), state.format,
                        static_cast<unsigned long>(state.timestamp), state.keyFrame);
  t_emittingSlot = outer;
  {
    std::lock_guard<std::mutex> hold(m_emitMutex);
    --m_emitting;
  }
  m_emitDone.notify_all();
}

void HX_VideoCaptureSlotBase::Run() {
  while (!Terminated()) {
    m_wakeUp.Wait();
    for (int index = GetSendIndex(); index >= 0; index = GetSendIndex()) {
      HX_FrameCaptureState& state = *m_buffers[static_cast<size_t>(index)];
      EmitFrameReady(state);
      state.busy.store(0);
    }
  }
}

// ---- buffers and the send-index queue ----

int HX_VideoCaptureSlotBase::FindFreeBufferIndex() {
  for (size_t i = 0; i < m_buffers.size(); ++i) {
    if (m_buffers[i]->busy.load() == 0) return static_cast<int>(i);
  }
  return -1;
}

int HX_VideoCaptureSlotBase::GetOverrideIndex() {
  HXAutoLock hold(static_cast<HXMultiLock<0>&>(*this));
  if (m_sendIndex.empty()) return -1;
  const int index = m_sendIndex.back();
  m_sendIndex.pop_back();
  return index;
}

int HX_VideoCaptureSlotBase::GetFreeBufferIndex(bool& fromQueue) {
  fromQueue = false;
  int index = FindFreeBufferIndex();
  if (index >= 0) return index;
  index = GetOverrideIndex();
  if (index >= 0) {
    fromQueue = true;
    return index;
  }
  return FindFreeBufferIndex();
}

void HX_VideoCaptureSlotBase::PutSendIndex(int index) {
  HXAutoLock hold(static_cast<HXMultiLock<0>&>(*this));
  m_sendIndex.push_back(index);
}

int HX_VideoCaptureSlotBase::GetSendIndex() {
  HXAutoLock hold(static_cast<HXMultiLock<0>&>(*this));
  if (m_sendIndex.empty()) return -1;
  const int index = m_sendIndex.front();
  m_sendIndex.pop_front();
  return index;
}

// ---- the road of one frame ----

bool HX_VideoCaptureSlotBase::UpdateSndFrame(
    HX_FrameCaptureState& state, uint64_t timestamp, bool forceKey,
    hx_processing_defs::eRotateMode rotate, HX_CaptureMode* mode,
    const std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) {
  // The platform's mode sizes the buffer and the picture the conversion writes: a size that is not
  // a picture is dropped before anything is taken from it (the key-frame request stays pending).
  if (mode->width < 1 || mode->width > kMaxModeSide || mode->height < 1 ||
      mode->height > kMaxModeSide) {
    state.keyFrame = false;
    m_levelChanged = false;
    return false;
  }
  HX_MediaFormat format;
  unsigned char level = 0;

  if (m_forceStereo.load() == 1 && mode->pixelFormat != m_mode.pixelFormat &&
      (IsStereoFormat(mode->pixelFormat) || IsStereoFormat(m_mode.pixelFormat))) {
    adapter->SetCaptureStereo(IsStereoFormat(mode->pixelFormat) ? 1 : 0);
    m_mode.pixelFormat = mode->pixelFormat;
    forceKey = true;
  }
  if (mode->width != m_mode.width || mode->height != m_mode.height) {
    adapter->SetResolutionCaptureLimit(static_cast<uint32_t>(mode->width),
                                       static_cast<uint32_t>(mode->height));
    m_mode = *mode;
  }
  const bool dynamic = adapter->GetRcvDynamicFmt();
  const HX_MediaFormat wanted = adapter->RequestMediaFormat(level);

  m_levelChanged = false;
  if (level != 0) {
    const HX_VideoCaptureModeDesc desc = m_captureList->GetLevelDesc(level, false);
    if (desc.modeIndex >= -1) {
      m_levelChanged = desc.modeIndex != m_modeIndex || wanted.width != m_wantedWidth ||
                       wanted.height != m_wantedHeight;
      m_modeIndex = desc.modeIndex;
      m_modeSecond = desc.reserved;
      m_modeThird = desc.kind;
      m_wantedWidth = wanted.width;
      m_wantedHeight = wanted.height;
      m_mbPerSecond = desc.mbPerSecond;
      m_mbPerFrame = desc.mbPerFrame;
    }
    m_level.exchange(level);
  }
  if (!dynamic) m_levelChanged = false;

  format = wanted;
  format.width = static_cast<uint32_t>(mode->width);
  format.height = static_cast<uint32_t>(mode->height);
  const bool quarter = IsQuarterTurn(rotate);
  if (dynamic && quarter) std::swap(format.width, format.height);

  // The receivers' answer is passed on for every frame, so that a send format set anew is planned
  // with it too.
  m_conversion->SetCanSendDynFormat(dynamic);
  if (format.videoCodec != m_format.videoCodec || format.height != m_format.height ||
      format.width != m_format.width || format.stereo != m_format.stereo) {
    m_conversion->SetSendFormat(&format, quarter);
  }
  if (format.width != state.format.width || format.height != state.format.height) {
    state.Resize(format.width, format.height);
  }
  state.timestamp = static_cast<uint32_t>(timestamp);
  {
    HXAutoLock hold(static_cast<HXMultiLock<1>&>(*this));
    state.keyFrame = forceKey || m_forceKeyFrame.load() > 0;
    m_forceKeyFrame.exchange(0);
  }
  state.format.videoCodec = format.videoCodec;
  state.format.frameRate = format.frameRate;
  state.format.stereo = format.stereo;
  state.format.svcMode = format.svcMode;
  state.format.hardwareCodec = format.hardwareCodec;
  state.pixelFormat = format.stereo != 0 ? kStereoI420 : 0;
  m_format = format;
  return format.width != 0 && format.height != 0;
}

void HX_VideoCaptureSlotBase::OnPutFrame(const unsigned char* data, unsigned long size,
                                         unsigned long captureFps, unsigned long captureTime,
                                         bool contentFlag, HX_CaptureMode* mode,
                                         hx_processing_defs::eRotateMode rotate,
                                         hx_capture_defs::eProcessingCapture capture) {
  const std::shared_ptr<HX_MediaFormatManagerAdapter> adapter = GetMediaAdapter();
  if (!adapter || mode == nullptr) return;
  CreateFrameProcessor();
  m_captureFps.exchange(static_cast<uint32_t>(captureFps));

  const int64_t now = hx::GetTickCount();
  unsigned long reduced = 3000;
  const bool skip = m_analyser.DecimateFramerate(static_cast<unsigned long long>(now),
                                                 static_cast<long long>(captureTime) * 10000,
                                                 captureFps, m_codecFps.load(), reduced);
  m_reducedFps.exchange(static_cast<uint32_t>(reduced));
  if (skip && !isHardwareEncodeStream(mode->pixelFormat)) return;

  bool fromQueue = false;
  const int index = GetFreeBufferIndex(fromQueue);
  if (index < 0) return;
  HX_FrameCaptureState& state = *m_buffers[static_cast<size_t>(index)];

  // A key frame still waiting in the queue is overwritten by this frame: this one takes its place.
  const bool carriedKey = fromQueue && state.keyFrame;
  const bool prepared = UpdateSndFrame(state, captureTime, carriedKey, rotate, mode, adapter);
  const bool converted = prepared && data != nullptr &&
                         size <= static_cast<unsigned long>(INT32_MAX) &&
                         m_conversion->Process(data, static_cast<int>(size), state.data,
                                               contentFlag, mode, rotate, capture);
  if (converted) {
    PostProcessingFrame(state, mode, contentFlag);
    PreviewSignal.Emit(state.data, static_cast<unsigned long>(state.size), state.format.width,
                       state.format.height, static_cast<unsigned>(state.pixelFormat), contentFlag);
  } else if (state.keyFrame) {
    OnForceKeyFrame();
  }
  if (m_levelChanged)
    LevelSignal.Emit(static_cast<unsigned>(m_modeIndex), m_wantedWidth, m_wantedHeight);

  HX_MediaFormat reported(state.format);
  const uint32_t base = m_codecBaseResolution.load();
  if (base != 0) {
    reported.width = base >> 16;
    reported.height = base & 0xFFFF;
  }
  ModeFormatSignal.Emit(mode, static_cast<unsigned>(captureFps), &reported, m_reducedFps.load());

  const bool secondary = m_secondaryChannels.load() != 0;
  const bool heldBack = m_block.load() != 0 || (m_pause.load() != 0 && !secondary) || !converted ||
                        m_role.load() != 1 ||
                        (!state.keyFrame && m_waitKeyFrame.load() != 0 && !secondary);
  if (heldBack) {
    // A buffer taken back from the queue for this frame carries nothing to send any more.
    if (fromQueue) state.busy.store(0);
    // A frame that took the key-frame request and is not sent hands it on: otherwise a frame held
    // back by the block flag (between StopProcessingThread and StartProcessingThread) would use
    // it up, and with wait-for-key-frame set every later frame would be held back too.
    if (converted && state.keyFrame) OnForceKeyFrame();
    return;
  }
  m_waitKeyFrame.exchange(0);

  if (!m_multithreading.load()) {
    EmitFrameReady(state);
    return;
  }
  if (!IsRunning() || IsTermRequest()) {
    if (fromQueue) state.busy.store(0);
    if (state.keyFrame) OnForceKeyFrame();
    return;
  }
  state.busy.store(1);
  PutSendIndex(index);
  m_wakeUp.Set();
}

// ---- secondary channels and background ----

void HX_VideoCaptureSlotBase::PostProcessingFrame(HX_FrameCaptureState& state, HX_CaptureMode* mode,
                                                  bool contentFlag) {
  if (m_secondaryChannels.load() != 0) {
    ScaleSignal.Emit(static_cast<float>(state.format.width) / static_cast<float>(mode->width),
                     static_cast<float>(state.format.height) / static_cast<float>(mode->height));
    if (m_pause.load() == 0) MuxerVideoFrame(state);
  } else if (!contentFlag) {
    BackgroundReplaceVideoFrame(state);
  }
}

void HX_VideoCaptureSlotBase::AddSecondaryChannel(const void* key, int x, int y) {
  HXAutoLock hold(static_cast<HXMultiLock<3>&>(*this));
  auto found = m_channels.find(key);
  if (found == m_channels.end()) {
    videoChannel channel;
    channel.x = x;
    channel.y = y;
    channel.picture = std::make_unique<HX_FrameCaptureState>();
    channel.picture->Resize(0, 0);
    m_channels.emplace(key, std::move(channel));
  }
  m_secondaryChannels.exchange(1);
}

void HX_VideoCaptureSlotBase::RemoveSecondaryChannel(const void* key) {
  HXAutoLock hold(static_cast<HXMultiLock<3>&>(*this));
  m_channels.erase(key);
  if (m_channels.empty()) m_secondaryChannels.exchange(0);
}

void HX_VideoCaptureSlotBase::SetPositionSecondaryChannel(const void* key, int x, int y) {
  HXAutoLock hold(static_cast<HXMultiLock<3>&>(*this));
  auto found = m_channels.find(key);
  if (found == m_channels.end()) return;
  found->second.x = x;
  found->second.y = y;
}

void HX_VideoCaptureSlotBase::OnPutFrameSecondary(const void* key, const unsigned char* data,
                                                  unsigned long size, HX_MediaFormat& format,
                                                  unsigned long, bool) {
  if (data == nullptr || format.width == 0 || format.height == 0 ||
      format.width > static_cast<uint32_t>(kMaxModeSide) ||
      format.height > static_cast<uint32_t>(kMaxModeSide)) {
    return;
  }
  const uint64_t bytes = static_cast<uint64_t>(format.width) * format.height * 3 / 2;
  if (size < bytes) return;
  HXAutoLock hold(static_cast<HXMultiLock<3>&>(*this));
  auto found = m_channels.find(key);
  if (found == m_channels.end()) return;
  HX_FrameCaptureState& picture = *found->second.picture;
  if (picture.format.width != format.width || picture.format.height != format.height) {
    picture.Resize(format.width, format.height);
  }
  std::memcpy(picture.data, data, bytes);
}

void HX_VideoCaptureSlotBase::MuxerVideoFrame(HX_FrameCaptureState& state) {
  HXAutoLock hold(static_cast<HXMultiLock<3>&>(*this));
  const uint32_t fw = state.format.width;
  const uint32_t fh = state.format.height;
  bool replaced = false;
  for (auto& [key, channel] : m_channels) {
    HX_FrameCaptureState& pic = *channel.picture;
    if (pic.data == nullptr || channel.x < 0 || channel.y < 0) continue;
    const uint32_t x = static_cast<uint32_t>(channel.x);
    const uint32_t y = static_cast<uint32_t>(channel.y);
    if (x >= fw || y >= fh) continue;
    if (!replaced) {
      BackgroundReplaceVideoFrame(pic);
      replaced = true;
    }
    const uint32_t cw = pic.format.width;
    const uint32_t ch = pic.format.height;
    const uint32_t rows = std::min(fh - y, ch);
    const uint32_t columns = std::min(fw - x, cw);
    if (rows == 0) continue;
    unsigned char* frameU = state.data + static_cast<uint64_t>(fw) * fh +
                            static_cast<uint64_t>(y / 2) * (fw / 2) + x / 2;
    unsigned char* frameV = state.data + static_cast<uint64_t>(fw) * fh * 5 / 4 +
                            static_cast<uint64_t>(y / 2) * (fw / 2) + x / 2;
    const unsigned char* chanU = pic.data + static_cast<uint64_t>(cw) * ch;
    const unsigned char* chanV = pic.data + static_cast<uint64_t>(cw) * ch * 5 / 4;
    for (uint32_t i = 0; i < rows; ++i) {
      std::memcpy(state.data + static_cast<uint64_t>(y + i) * fw + x,
                  pic.data + static_cast<uint64_t>(i) * cw, columns);
      if ((i & 1) != 0) {
        std::memcpy(frameU, chanU, columns / 2);
        std::memcpy(frameV, chanV, columns / 2);
        frameU += fw / 2;
        frameV += fw / 2;
        chanU += cw / 2;
        chanV += cw / 2;
      }
    }
  }
}

void HX_VideoCaptureSlotBase::AddBackgroundReplacer(const unsigned char* data, unsigned long width,
                                                    unsigned long height) {
  if (width > static_cast<unsigned long>(kMaxModeSide) ||
      height > static_cast<unsigned long>(kMaxModeSide)) {
    return;
  }
  if (data != nullptr) CreateFrameProcessor();
  HXAutoLock hold(static_cast<HXMultiLock<4>&>(*this));
  m_backgroundWidth = width;
  m_backgroundHeight = height;
  m_scaledWidth = 0;
  m_scaledHeight = 0;
  m_background.assign(static_cast<uint64_t>(width) * height * 3 / 2, 0);
  if (data != nullptr && !m_background.empty()) {
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    m_processing->ConvertToI420(data, w, m_background.data(), w, w, h, hx_processing_defs::eBGRA_2,
                                static_cast<unsigned long>(width) * height * 4);
    m_processing->MirrorI420(m_background.data(), w, w, h, 0);
  }
}

void HX_VideoCaptureSlotBase::RemoveBackgroundReplacer() {
  HXAutoLock hold(static_cast<HXMultiLock<4>&>(*this));
  m_backgroundWidth = 0;
  m_backgroundHeight = 0;
  m_background.clear();
  m_scaledBackground.clear();
}

void HX_VideoCaptureSlotBase::BackgroundReplaceVideoFrame(HX_FrameCaptureState& state) {
  HXAutoLock hold(static_cast<HXMultiLock<4>&>(*this));
  if (m_backgroundWidth == 0 || m_backgroundHeight == 0 || m_background.empty() || !m_processing) {
    return;
  }
  const uint32_t w = state.format.width;
  const uint32_t h = state.format.height;
  if (m_scaledWidth != w || m_scaledHeight != h) {
    m_scaledBackground.assign(static_cast<uint64_t>(w) * h * 3 / 2, 0);
    m_processing->ResampleI420(m_background.data(), static_cast<int>(m_backgroundWidth),
                               static_cast<int>(m_backgroundWidth),
                               static_cast<int>(m_backgroundHeight), m_scaledBackground.data(),
                               static_cast<int>(w), static_cast<int>(w), static_cast<int>(h),
                               hx_processing_defs::eCrop);
    m_scaledWidth = w;
    m_scaledHeight = h;
  }
  m_processing->ReplaceBackground(state.data, m_scaledBackground.data(), static_cast<int>(w),
                                  static_cast<int>(w), static_cast<int>(h));
}
