#pragma once
// HX_AudioConnector: the one audio hub of a running client, between the platform audio devices
// and the media streams.
//
// Capture side (OnAudioSampleReady, on the microphone thread): every block runs through the
// processing module; while an echo-delay measurement runs the detector gets the aligned near-end
// and far-end blocks; levels are reported through audioLevelChanged and micLevelChanged; the
// processed block leaves through sampleProcessed unless the capturer role is 0.
//
// Render side (PutAudio, on the playback device's render thread): the block comes from the
// mixing sink, gets the probe written into it while a measurement plays it, and goes to the
// processing module as the far-end reference. The sink announces its mixing frequency through
// CurrentFreq; the connector passes it on to the selected playback device through
// muxerFrequencyChanged.
//
// Measurement: EnableAudioDelayDetectControl(true, ids) starts one; once the detector has enough
// audio a short-lived thread computes the delay, sets the module's echo offset (delay - 16 ms;
// unchanged when no single probe was found) and emits delayComputed. The next enable call and the
// destructor join that thread.
//
// Thread safety: the measurement mutex serialises the detector between the capture, render,
// measurement and control threads. The render state (current frequency, render running) and the
// connections of muxerFrequencyChanged share one mutex, held while that signal is emitted, so that
// a device selected or reset on a stream thread never disconnects the signal under an emission on
// another (which would end the process); a playback device's SetMuxerFrequency must therefore not
// wait for its render thread. Other signals are emitted without a lock on the emitting thread.
// The HXLock base is the connector's lock for its users; no operation here takes it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/media/audio/audio_device.h"
#include "core/media/audio/audio_processing.h"
#include "core/media/audio/audio_resampler.h"
#include "core/media/audio/audio_sinc.h"
#include "core/media/audio/echo/echo_delay_detector.h"

class HX_AudioConnector : public AudioRenderCallback,
                          public AudioCaptureHALCallback,
                          public AudioMixerCallback,
                          public HXLock {
 public:
  using Identifiers = std::pair<std::string, std::string>;
  static constexpr int kEchoCanceller = 0x10;
  static constexpr int kGainControl = 0x02;

  // The processing module comes from factory (the default factory's pass-through when null);
  // the connector owns the module, not the factory.
  explicit HX_AudioConnector(HX_AudioProcessingFactory* factory = nullptr);
  ~HX_AudioConnector() override;

  void SetSenderSamplerate(unsigned rate) { sender_sample_rate_.store(rate); }
  void SelectCapturerDevice(std::shared_ptr<HXAudioRecordBase> device);
  void ResetCapturerDevice();
  void SelectRendererDevice(std::shared_ptr<HX_AudioPlaybackBase> device);
  void ResetRendererDevice();

  void OnAudioSampleReady(unsigned char* data, unsigned long bytes, float sampleRate, int value);
  bool PutAudio(void* buffer, unsigned bytes, int deviceFrequency, int value) override;
  bool CurrentFreq(unsigned frequency) override;
  void SetMicLevel(float level, bool reset) override;

  void EnableLogging(bool enable);
  void EnableEchoCanceller(bool on);
  void EnableGainControl(bool on);
  void SetEchoOffset(int ms);
  void SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory);
  void EnableAudioDelayDetectControl(bool enable, const Identifiers& identifiers);

  // The send stream's switch: while 0 processed blocks are not delivered.
  void SetAudioCapturerRole(int role) { audio_capturer_role_.store(role); }
  int GetAudioCapturerRole() const { return audio_capturer_role_.load(); }

  HX_AudioSinc* GetSink() { return sink_.get(); }
  HX_AudioProcessingBase* GetProcessing() { return processing_.get(); }
  unsigned GetCurrentFrequency();
  bool IsRenderRunning() const { return render_running_.load() != 0; }
  bool IsMeasuring() const { return measuring_.load(); }
  int GetSavedEchoOffset();
  int GetOptions() const { return options_.load(); }

  hx::Signal1<unsigned int> muxerFrequencyChanged;
  hx::Signal2<unsigned char const*, unsigned long> sampleProcessed;
  hx::Signal3<audiodelay_detector::EGetDelayResult, int, Identifiers> delayComputed;

 private:
  void CheckRenderState(unsigned frequency);
  void CheckAudioDelay();
  void ComputeAudioDelay();
  void JoinMeasurement();

  std::mutex measurement_mutex_;
  std::thread measurement_thread_;
  std::mutex render_state_mutex_;
  std::unique_ptr<HX_AudioProcessingBase> processing_;
  std::unique_ptr<HX_EchoDelayDetector> detector_;
  // Declared after the module it calls back into, so that it is destroyed first.
  std::unique_ptr<HX_AudioSinc> sink_;
  // Written under the render state mutex; read without it on the render thread (for the log).
  std::atomic<uint32_t> current_frequency_{0};
  std::atomic<int32_t> render_running_{0};
  std::atomic<int32_t> audio_capturer_role_{1};
  std::atomic<bool> measuring_{false};
  std::atomic<int32_t> options_{0};
  std::atomic<uint32_t> sender_sample_rate_{0};
  // Compared on the capture thread, reset on stream threads.
  std::atomic<float> last_audio_level_{0.0f};
  std::atomic<float> last_mic_level_{-1.0f};
  int32_t saved_echo_offset_ = 0;  // under the measurement mutex
  Identifiers identifiers_;        // under the measurement mutex
  // The selected playback device, kept alive while connected (under the render state mutex).
  std::shared_ptr<HX_AudioPlaybackBase> renderer_;
};
