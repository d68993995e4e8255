#pragma once
// The audio device interfaces the connector and the streams see, implemented by the platform
// layer: HXAudioBase (a device to open, start and configure), HXAudioRecordBase (a microphone
// that delivers each captured block on its frame signal) and HX_AudioPlaybackBase (a loudspeaker
// that asks its render callback for every block). AudioRenderCallback and
// AudioCaptureHALCallback are what the connector offers the devices in return.
//
// Thread safety: a record device emits its frame signal on its own capture thread; a playback
// device calls its render callback on its own render thread. The render callback pointer is
// atomic because the connector sets it on a stream thread while the render thread reads it.

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "core/base/signal.h"
#include "core/wire/media_format.h"

namespace audio {
enum channels : int { kMono = 1, kStereo = 2 };
enum format : int { kPcm16 = 0 };
// One device of the platform's device list.
struct Device {
  std::string name;
  std::string internalName;
};
}  // namespace audio

// What a playback device calls on every render request.
class AudioRenderCallback {
 public:
  virtual ~AudioRenderCallback() = default;
  // Fills buffer with bytes of PCM at the device frequency; false: the device plays silence.
  virtual bool PutAudio(void* buffer, unsigned bytes, int deviceFrequency, int value) = 0;
};

// What a capture device reports levels to.
class AudioCaptureHALCallback {
 public:
  virtual ~AudioCaptureHALCallback() = default;
  virtual void SetMicLevel(float, bool) {}
  hx::Signal1<float> audioLevelChanged;
  hx::Signal1<float> micLevelChanged;
};

class HXAudioBase {
 public:
  virtual bool DeviceOpen(const char* name, const HX_MediaFormat& format) = 0;
  virtual bool DeviceStart() = 0;
  virtual bool DeviceStop() = 0;
  virtual bool DevicePause() = 0;
  virtual bool DeviceFlush() = 0;
  virtual bool DeviceClose() = 0;
  virtual void* DeviceHandle() = 0;
  virtual bool PrepareFilters(const HX_MediaFormat& format) = 0;
  virtual void ResetFilters() = 0;
  virtual bool DeviceSetSampleRate(unsigned long rate) = 0;
  virtual unsigned long DeviceGetSampleRate() = 0;
  virtual bool DeviceSetStreamRate(unsigned long rate) = 0;
  virtual unsigned long DeviceGetStreamRate() = 0;
  virtual bool DeviceSetChannel(audio::channels channels) = 0;
  virtual bool DeviceSetFormat(audio::format format) = 0;
  virtual bool DeviceMute(bool mute) = 0;
  virtual bool DeviceCheckMute() = 0;
  virtual std::string GetDefaultDevName() = 0;
  virtual ~HXAudioBase() = default;
  virtual std::set<audio::Device*> EnumerateDevices() = 0;
  virtual std::string GetInternalName(const std::string& name,
                                      const std::set<audio::Device*>& devices) = 0;
};

class HXAudioRecordBase : public HXAudioBase {
 public:
  virtual bool SetMicLevel(float level) = 0;
  virtual float GetMaxMicLevel() = 0;
  virtual float GetMicLevel() = 0;
  // Each captured block: data, bytes, sample rate, a value (the platform device sends 0).
  hx::Signal4<unsigned char*, unsigned long, float, int> sampleReady;
};

class HX_AudioPlaybackBase {
 public:
  virtual ~HX_AudioPlaybackBase() = default;
  // Opens (frequency > 0) or closes (0) the render output; does nothing in the base.
  virtual void SetMuxerFrequency(int) {}

  // The connector's signal carries an unsigned frequency; this forwards it.
  void OnMuxerFrequency(unsigned frequency) { SetMuxerFrequency(static_cast<int>(frequency)); }
  // A device with a render thread overrides this to return only once a render call of the old
  // callback has finished, so that the callback's owner may go away afterwards.
  virtual void SetRenderCallback(AudioRenderCallback* callback) { callback_.store(callback); }
  AudioRenderCallback* GetRenderCallback() const { return callback_.load(); }
  // Greater than 0: the device plays at this fixed rate.
  int GetDeviceFrequency() const { return device_frequency_; }

 protected:
  std::atomic<AudioRenderCallback*> callback_{nullptr};
  int32_t device_frequency_ = 0;
};

// The player of a system without a loudspeaker: it plays nothing.
class HXAudioPlaybackStub : public HX_AudioPlaybackBase {};
