#include "sdk/bridge/ios_audio_devices.h"

#include <algorithm>
#include <cstring>

HXAudioRecordIOS::HXAudioRecordIOS(std::shared_ptr<hx::platform::AudioIOStandIn> io,
                                   unsigned frameBytes)
    : io_(std::move(io)), frame_bytes_(frameBytes < 2 ? 2 : frameBytes & ~1u), fifo_(kRate * 2) {}

HXAudioRecordIOS::~HXAudioRecordIOS() { DeviceStop(); }

bool HXAudioRecordIOS::DeviceOpen(const char*, const HX_MediaFormat&) { return io_ != nullptr; }

bool HXAudioRecordIOS::DeviceStart() {
  if (!io_) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return true;
    stop_ = false;
    thread_ = std::thread([this] { CaptureLoop(); });
  }
  io_->SetInputCallback([this](const int16_t* s, size_t n) { OnCaptured(s, n); });
  return true;
}

bool HXAudioRecordIOS::DeviceStop() {
  // Detached first: after this returns the stand-in no longer calls OnCaptured.
  if (io_) io_->SetInputCallback(nullptr);
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    t = std::move(thread_);
  }
  wake_.notify_all();
  if (t.joinable()) t.join();
  return true;
}

bool HXAudioRecordIOS::DevicePause() { return DeviceStop(); }

bool HXAudioRecordIOS::DeviceFlush() {
  // Only the capture thread reads the FIFO; a flush while it runs would be a second reader.
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return false;
  std::vector<uint8_t> sink(fifo_.GetDataLen());
  if (!sink.empty()) fifo_.GetData(sink.data(), sink.size(), true);
  return true;
}

bool HXAudioRecordIOS::DeviceClose() {
  DeviceStop();
  return DeviceFlush();
}

bool HXAudioRecordIOS::DeviceMute(bool mute) {
  muted_.store(mute);
  return true;
}

bool HXAudioRecordIOS::SetMicLevel(float level) {
  if (level < 0.0f || level > 1.0f) return false;
  mic_level_.store(level);
  return true;
}

void HXAudioRecordIOS::OnCaptured(const int16_t* samples, size_t frames) {
  std::vector<int16_t> block(samples, samples + frames);
  if (muted_.load()) std::fill(block.begin(), block.end(), 0);
  if (!fifo_.AddData(block.data(), block.size() * 2)) {
    dropped_.fetch_add(1);
    return;
  }
  // Taking the mutex orders the notification after the capture thread's check of the FIFO.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

void HXAudioRecordIOS::CaptureLoop() {
  std::vector<unsigned char> frame(frame_bytes_);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (fifo_.GetDataLen() < frame_bytes_) {
      wake_.wait(lock);
      continue;
    }
    lock.unlock();
    while (fifo_.GetData(frame.data(), frame_bytes_, true))
      sampleReady(frame.data(), frame_bytes_, 16000.0f, 0);
    lock.lock();
  }
}

HXAudioPlaybackIOS::HXAudioPlaybackIOS(std::shared_ptr<hx::platform::AudioIOStandIn> io)
    : io_(std::move(io)) {
  device_frequency_ = kRate;
  if (io_) io_->SetRenderCallback([this](int16_t* s, size_t n) { Render(s, n); });
}

HXAudioPlaybackIOS::~HXAudioPlaybackIOS() {
  if (io_) io_->SetRenderCallback(nullptr);
}

void HXAudioPlaybackIOS::SetMuxerFrequency(int frequency) {
  open_frequency_.store(frequency > 0 ? frequency : 0);
}

void HXAudioPlaybackIOS::SetRenderCallback(AudioRenderCallback* callback) {
  std::lock_guard<std::recursive_mutex> lock(render_mutex_);
  callback_.store(callback);
}

void HXAudioPlaybackIOS::Render(int16_t* samples, size_t frames) {
  std::lock_guard<std::recursive_mutex> lock(render_mutex_);
  if (open_frequency_.load() == 0) return;  // closed: the stand-in's block stays silent
  AudioRenderCallback* callback = callback_.load();
  const unsigned bytes = static_cast<unsigned>(frames * 2);
  if (callback == nullptr || !callback->PutAudio(samples, bytes, device_frequency_, 0))
    std::memset(samples, 0, bytes);
}
