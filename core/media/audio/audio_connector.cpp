#include "core/media/audio/audio_connector.h"

#include <cstring>

#include "core/media/audio/echo/echo_debugger.h"

#define HX_ECHO_LOG(debugger, ...) (debugger)->Log(__FILE__, __LINE__, __VA_ARGS__)

HX_AudioConnector::HX_AudioConnector(HX_AudioProcessingFactory* factory)
    : detector_(std::make_unique<HX_EchoDelayDetector>()) {
  HX_AudioProcessingFactory fallback;
  processing_.reset((factory != nullptr ? factory : &fallback)->CreateAudioProcessing());
  sink_ = std::make_unique<HX_AudioSinc>(this);
  saved_echo_offset_ = processing_->GetEchoOffset();
}

HX_AudioConnector::~HX_AudioConnector() {
  {
    // The device stops calling PutAudio before anything PutAudio touches goes away.
    std::lock_guard<std::mutex> lock(render_state_mutex_);
    muxerFrequencyChanged.DisconnectAll();
    if (renderer_ && renderer_->GetRenderCallback() == this) renderer_->SetRenderCallback(nullptr);
    renderer_.reset();
  }
  JoinMeasurement();
  // The sink calls CurrentFreq on this object: it goes before anything that call touches.
  sink_.reset();
}

void HX_AudioConnector::JoinMeasurement() {
  if (measurement_thread_.joinable()) measurement_thread_.join();
}

unsigned HX_AudioConnector::GetCurrentFrequency() { return current_frequency_.load(); }

int HX_AudioConnector::GetSavedEchoOffset() {
  std::lock_guard<std::mutex> lock(measurement_mutex_);
  return saved_echo_offset_;
}

void HX_AudioConnector::SelectCapturerDevice(std::shared_ptr<HXAudioRecordBase> device) {
  if (!device) return;
  int options = options_.load();
  if (render_running_.load() != 1) options &= ~kEchoCanceller;
  processing_->Init(sender_sample_rate_.load(), options);
}

void HX_AudioConnector::ResetCapturerDevice() {
  processing_->ResetCapture();
  last_audio_level_.store(0.0f);
  last_mic_level_.store(-1.0f);
  micLevelChanged(0.0f);
}

void HX_AudioConnector::SelectRendererDevice(std::shared_ptr<HX_AudioPlaybackBase> device) {
  {
    std::lock_guard<std::mutex> lock(render_state_mutex_);
    muxerFrequencyChanged.DisconnectAll();
    if (renderer_ && renderer_ != device && renderer_->GetRenderCallback() == this)
      renderer_->SetRenderCallback(nullptr);
    renderer_ = device;
    if (!device) return;
    if (HX_EchoDebugger* dbg = processing_->GetEchoDebugger()) HX_ECHO_LOG(dbg, "select renderer");
    muxerFrequencyChanged.Connect(device.get(), &HX_AudioPlaybackBase::OnMuxerFrequency);
    device->SetRenderCallback(this);
    render_running_.store(0);
  }
  sink_->BlockSources(false);
  sink_->ResetCurrentFrequency();
  const int f = device->GetDeviceFrequency();
  // The sink announces the mixing frequency from here, which reaches the device via CurrentFreq.
  sink_->SetAudioMode(f > 0 ? HX_AudioSinc::kFixed : HX_AudioSinc::kFollowSources,
                      f > 0 ? unsigned(f) : 0);
}

void HX_AudioConnector::ResetRendererDevice() {
  {
    std::lock_guard<std::mutex> lock(render_state_mutex_);
    muxerFrequencyChanged.DisconnectAll();
    if (renderer_ && renderer_->GetRenderCallback() == this) renderer_->SetRenderCallback(nullptr);
    renderer_.reset();
  }
  sink_->BlockSources(true);
  render_running_.store(0);
  processing_->SetOption(kEchoCanceller, false);
}

bool HX_AudioConnector::CurrentFreq(unsigned frequency) {
  CheckRenderState(frequency);
  return true;
}

void HX_AudioConnector::CheckRenderState(unsigned frequency) {
  std::lock_guard<std::mutex> lock(render_state_mutex_);
  const unsigned previous = current_frequency_.exchange(frequency);
  if (frequency == 0) {
    render_running_.store(0);
    processing_->SetOption(kEchoCanceller, false);
  } else {
    if (frequency == previous && render_running_.load() == 1) return;
    render_running_.store(1);
    processing_->SetOption(kEchoCanceller, (options_.load() & kEchoCanceller) != 0);
    if (HX_EchoDebugger* dbg = processing_->GetEchoDebugger()) HX_ECHO_LOG(dbg, "run muxer audio");
  }
  muxerFrequencyChanged(frequency);
}

void HX_AudioConnector::OnAudioSampleReady(unsigned char* data, unsigned long bytes,
                                           float sampleRate, int value) {
  if (data == nullptr || bytes < 2) return;
  const bool skip = audio_capturer_role_.load() == 0;
  bool probe = false;
  const bool measuring = measuring_.load();
  if (measuring) {
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    probe = detector_->IsPatternAdding();
  }
  short* output = nullptr;
  short* captured = nullptr;
  short* rendered = nullptr;
  const int n =
      processing_->ProcessCaptureAudio(reinterpret_cast<short*>(data), output, captured, rendered,
                                       bytes / 2, sampleRate, value, skip, probe);
  if (measuring) {
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    // The flag is read again: a disable call may have released the detector meanwhile.
    if (measuring_.load()) {
      if (captured != nullptr) detector_->AddCapturedSamples(captured, n);
      if (rendered != nullptr) detector_->AddRenderedSamples(rendered, n);
      CheckAudioDelay();
    }
  }
  if (!skip && output != nullptr && n > 0)
    sampleProcessed(reinterpret_cast<unsigned char const*>(output), n * 2ul);

  const float a = processing_->GetRmsLevel();
  const float m = processing_->GetMicLevel();
  if (a >= 0 && a != last_audio_level_.load()) {
    last_audio_level_.store(a);
    audioLevelChanged(a);
  }
  if (m >= 0 && m != last_mic_level_.load()) {
    last_mic_level_.store(m);
    micLevelChanged(m);
  }
}

bool HX_AudioConnector::PutAudio(void* buffer, unsigned bytes, int deviceFrequency, int value) {
  if (buffer == nullptr) return false;
  const bool got =
      sink_->GetAudio(buffer, bytes, deviceFrequency > 0 ? unsigned(deviceFrequency) : 0);
  if (HX_EchoDebugger* dbg = processing_->GetEchoDebugger())
    HX_ECHO_LOG(dbg, "renderer GeAudio : res = %5d, curFreq = %6d, devFreq = %6d", int(got),
                int(current_frequency_.load()), deviceFrequency);
  if (measuring_.load()) {
    if (!got) std::memset(buffer, 0, bytes);
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    if (measuring_.load()) detector_->AddPatternToRenderedAudio(buffer, deviceFrequency, bytes / 2);
  } else if (!got) {
    return false;
  }
  processing_->ProcessRenderAudio(static_cast<const short*>(buffer), bytes / 2,
                                  float(deviceFrequency), value);
  return true;
}

void HX_AudioConnector::SetMicLevel(float level, bool reset) {
  if (reset) last_audio_level_.store(0.0f);
  processing_->SetMicLevel(static_cast<int>(level * 1000));
}

void HX_AudioConnector::EnableLogging(bool enable) { processing_->EnableLogging(enable); }

void HX_AudioConnector::EnableEchoCanceller(bool on) {
  if (on) {
    options_.fetch_or(kEchoCanceller);
  } else {
    options_.fetch_and(~kEchoCanceller);
  }
  processing_->SetOption(kEchoCanceller, on);
}

void HX_AudioConnector::EnableGainControl(bool on) {
  if (on) {
    options_.fetch_or(kGainControl);
  } else {
    options_.fetch_and(~kGainControl);
  }
  processing_->SetOption(kGainControl, on);
}

void HX_AudioConnector::SetEchoOffset(int ms) { processing_->SetEchoOffset(ms); }

void HX_AudioConnector::SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory) {
  sink_->SetResamplerFactory(factory);
  processing_->SetResamplerFactory(factory);
  std::lock_guard<std::mutex> lock(measurement_mutex_);
  detector_->SetResamplerFactory(factory);
}

void HX_AudioConnector::EnableAudioDelayDetectControl(bool enable, const Identifiers& identifiers) {
  // A computation still running finishes first. It takes the measurement mutex itself, so it is
  // joined outside the mutex; measuring is cleared first so that the capture thread cannot start
  // another one meanwhile.
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    measuring_.store(false);
    finished = std::move(measurement_thread_);
  }
  if (finished.joinable()) finished.join();
  std::lock_guard<std::mutex> lock(measurement_mutex_);
  if (enable) {
    processing_->SetOption(kEchoCanceller, true);
    identifiers_ = identifiers;
    saved_echo_offset_ = processing_->GetEchoOffset();
    processing_->SetEchoOffset(0);
    detector_->Init(2000, 2000, sender_sample_rate_.load());
    measuring_.store(true);
  } else {
    identifiers_ = Identifiers();
    processing_->SetEchoOffset(saved_echo_offset_);
    detector_->Release();
    measuring_.store(false);
    processing_->SetOption(kEchoCanceller, (options_.load() & kEchoCanceller) != 0);
  }
}

void HX_AudioConnector::CheckAudioDelay() {
  // Measurement mutex held. The enable call that started this measurement took any earlier
  // thread, so the slot is free.
  if (!detector_->IsEnoughData() || measurement_thread_.joinable()) return;
  measuring_.store(false);
  measurement_thread_ = std::thread([this] { ComputeAudioDelay(); });
}

void HX_AudioConnector::ComputeAudioDelay() {
  // Collection has stopped (measuring is false), so the detector is ours until the next enable
  // call, which joins this thread before touching it.
  int offset;
  Identifiers ids;
  {
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    offset = saved_echo_offset_;
    ids = identifiers_;
  }
  const audiodelay_detector::EGetDelayResult r = detector_->ComputeDelay();
  if (r == audiodelay_detector::kDelayFound) offset = detector_->GetDelay() - 16;
  processing_->SetEchoOffset(offset);
  {
    std::lock_guard<std::mutex> lock(measurement_mutex_);
    saved_echo_offset_ = offset;
  }
  delayComputed(r, offset, ids);
}
