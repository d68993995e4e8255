#pragma once
// The platform's audio devices over the audio stand-in (platform/au): HXAudioRecordIOS, the
// microphone, and HXAudioPlaybackIOS, the loudspeaker. Both attach to an AudioIOStandIn that
// their owner starts (one stand-in serves both, so that what is played can echo back); the
// stand-in must run at 16 kHz, the rate both devices report.
//
// HXAudioRecordIOS: DeviceStart attaches to the stand-in's input; every captured block enters
// the device's FIFO, and the device's capture thread takes whole frames (640 bytes, 20 ms, unless
// set otherwise) and emits each on sampleReady as (data, frame bytes, 16000.0, 0). A block that
// does not fit the FIFO (one second) is dropped and counted. DeviceStop detaches and joins.
//
// HXAudioPlaybackIOS: device frequency 16000. It attaches to the stand-in's render output when
// made; SetMuxerFrequency(f) opens the output for f > 0 and closes it for 0. Each render request
// of an open output calls the render callback's PutAudio(buffer, bytes, 16000, 0); the block stays
// silent without a callback, when it answers false, or while the output is closed.
// SetMuxerFrequency only flips a flag: the connector calls it with a lock held, and it must not
// wait for the render thread.
//
// Thread safety: the device calls are made by stream threads; sampleReady is emitted on the
// record device's capture thread; PutAudio is called on the stand-in's thread.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/media/audio/audio_device.h"
#include "core/media/audio/fifo_buffer.h"
#include "platform/au/audio_io_stand_in.h"

class HXAudioRecordIOS : public HXAudioRecordBase {
 public:
  static constexpr unsigned kRate = 16000;
  explicit HXAudioRecordIOS(std::shared_ptr<hx::platform::AudioIOStandIn> io,
                            unsigned frameBytes = 640);
  ~HXAudioRecordIOS() override;

  bool DeviceOpen(const char* name, const HX_MediaFormat& format) override;
  bool DeviceStart() override;
  bool DeviceStop() override;
  bool DevicePause() override;
  bool DeviceFlush() override;
  bool DeviceClose() override;
  void* DeviceHandle() override { return io_.get(); }
  bool PrepareFilters(const HX_MediaFormat&) override { return true; }
  void ResetFilters() override {}
  bool DeviceSetSampleRate(unsigned long rate) override { return rate == kRate; }
  unsigned long DeviceGetSampleRate() override { return kRate; }
  bool DeviceSetStreamRate(unsigned long rate) override { return rate == kRate; }
  unsigned long DeviceGetStreamRate() override { return kRate; }
  bool DeviceSetChannel(audio::channels channels) override { return channels == audio::kMono; }
  bool DeviceSetFormat(audio::format format) override { return format == audio::kPcm16; }
  // A muted microphone delivers silence.
  bool DeviceMute(bool mute) override;
  bool DeviceCheckMute() override { return muted_.load(); }
  std::string GetDefaultDevName() override { return "Stand-in microphone"; }
  std::set<audio::Device*> EnumerateDevices() override { return {}; }
  std::string GetInternalName(const std::string& name, const std::set<audio::Device*>&) override {
    return name;
  }
  bool SetMicLevel(float level) override;
  float GetMaxMicLevel() override { return 1.0f; }
  float GetMicLevel() override { return mic_level_.load(); }

  unsigned GetFrameBytes() const { return frame_bytes_; }
  uint64_t GetDroppedBlocks() const { return dropped_.load(); }
  // Captured bytes not yet taken by the capture thread.
  uint32_t GetHeldBytes() const { return fifo_.GetDataLen(); }

 private:
  void OnCaptured(const int16_t* samples, size_t frames);
  void CaptureLoop();

  std::shared_ptr<hx::platform::AudioIOStandIn> io_;
  const unsigned frame_bytes_;
  HX_FifoBuffer fifo_;
  std::mutex mutex_;  // guards the wake-up and the capture thread's start and stop
  std::condition_variable wake_;
  std::thread thread_;
  bool stop_ = false;
  std::atomic<bool> muted_{false};
  std::atomic<float> mic_level_{1.0f};
  std::atomic<uint64_t> dropped_{0};
};

class HXAudioPlaybackIOS : public HX_AudioPlaybackBase {
 public:
  static constexpr int kRate = 16000;
  explicit HXAudioPlaybackIOS(std::shared_ptr<hx::platform::AudioIOStandIn> io);
  ~HXAudioPlaybackIOS() override;
  void SetMuxerFrequency(int frequency) override;
  // Returns once a render call of the old callback has finished (when called off the render
  // thread).
  void SetRenderCallback(AudioRenderCallback* callback) override;
  int GetOpenFrequency() const { return open_frequency_.load(); }

 private:
  void Render(int16_t* samples, size_t frames);

  std::recursive_mutex render_mutex_;  // held through each render call
  std::shared_ptr<hx::platform::AudioIOStandIn> io_;
  std::atomic<int> open_frequency_{0};
};
