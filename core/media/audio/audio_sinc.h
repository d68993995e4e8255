#pragma once
// HX_AudioSinc: the mixing sink. It holds every peer's HX_AudioSource, grouped by sample rate
// (one ResemplerItem per rate that has sources). When the playback device asks for a block,
// GetAudio pulls the block from every source, mixes the sources of one rate, resamples each group
// to the device rate in 40 ms chunks through the group's output FIFO, and mixes the groups with
// block peak normalisation. The mixing frequency (the highest group rate, or a fixed one) is
// announced to the AudioMixerCallback whenever it changes.
//
// A group whose FIFO cannot take a further chunk (a block larger than the FIFO's room, or a
// device frequency of 0) plays what it holds and silence for the rest of the block, so the
// render thread never spins with the sink's lock held. Sources that are not valid (a failed
// Init puts a source under rate 0) contribute silence.
//
// Thread safety: the sink is its own recursive lock. AddSource, RemoveSource, ChangeFormatSource,
// BlockSources and the frequency decision take it; GetAudio holds it for the whole call, during
// which it calls each source's GetData. The callback is called without the lock. Sources are not
// owned: a stream removes its source before destroying it.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/base/lock.h"
#include "core/media/audio/audio_mixer.h"
#include "core/media/audio/audio_resampler.h"
#include "core/media/audio/audio_source.h"
#include "core/media/audio/fifo_buffer.h"

class AudioMixerCallback {
 public:
  virtual ~AudioMixerCallback() = default;
  // A new mixing frequency (0 when no source is left).
  virtual bool CurrentFreq(unsigned frequency) = 0;
};

struct ResemplerItem {
  ResemplerItem(unsigned rate, HX_AudioResamplerBase* resampler);
  uint32_t rate;
  std::unique_ptr<HX_AudioResamplerBase> resampler;
  std::unique_ptr<HX_FifoBuffer> fifo;  // rate × 8 bytes
};

class HX_AudioSinc : public HXLock {
 public:
  enum FreqMode : int { kFollowSources = 0, kFixed = 1 };
  static constexpr unsigned kWorkBufferBytes = 64000;

  explicit HX_AudioSinc(AudioMixerCallback* callback);
  ~HX_AudioSinc() override;

  // Must be set before the first AddSource.
  void SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory);
  // False when the source is already held.
  bool AddSource(HX_AudioSource* source);
  // False when the source is not held.
  bool RemoveSource(HX_AudioSource* source);
  // ReInit of a held source with the format, moving it to the group of a new rate. False only
  // when the source is not held.
  bool ChangeFormatSource(HX_AudioSource* source, const HX_MediaFormat& format);
  void BlockSources(bool block);
  bool SetAudioMode(FreqMode mode, unsigned frequency);
  // Forgets the announced frequency so that the next decision announces it again.
  void ResetCurrentFrequency() { current_frequency_.store(0); }
  // One block of bytes at the device frequency (the mixing frequency when 0). False, leaving
  // destination as it is, when there is no source.
  bool GetAudio(void* destination, unsigned bytes, unsigned deviceFrequency);

  unsigned GetCurrentFrequency() const { return current_frequency_.load(); }
  size_t GroupCount();
  bool HasGroup(unsigned rate);

 private:
  void DetermineFreq();
  unsigned DetermineMuxerFreq();
  bool MixRange(std::multimap<uint32_t, HX_AudioSource*>::iterator first, unsigned count,
                short* destination, unsigned bytes);
  // Fills bytes of dst from the group's sources (one or a mix); silence for a rate-0 group.
  void ReadGroup(uint32_t rate, std::multimap<uint32_t, HX_AudioSource*>::iterator first,
                 unsigned count, short* destination, unsigned bytes);
  void EnsureGroup(uint32_t rate);

  std::map<uint32_t, std::unique_ptr<ResemplerItem>> groups_;
  std::multimap<uint32_t, HX_AudioSource*> sources_;
  HX_AudioMixer mixer_;
  AudioMixerCallback* callback_;
  std::atomic<uint32_t> current_frequency_{0};
  uint32_t fixed_frequency_ = 16000;
  std::vector<int16_t> work_a_;
  std::vector<int16_t> work_b_;
  std::vector<std::vector<int16_t>> group_buffers_;
  std::vector<std::vector<int16_t>> range_buffers_;
  std::vector<short*> pointers_;
  std::vector<short*> range_inputs_;
  FreqMode freq_mode_ = kFollowSources;
  bool blocked_ = false;
  std::shared_ptr<HX_AudioResamplerFactory> resampler_factory_;
};
