#pragma once
// Sample-rate conversion of 16-bit mono PCM.
//
// HX_AudioResamplerBase::Process converts a block from one rate to another; it initialises on
// first use and re-prepares whenever the pair of rates changes. HXResamplerWebRtc, the only
// implementation, converts in whole 10 ms chunks with the WebRTC push resampler: input that does
// not fill a chunk waits in a FIFO for the next call (up to 2 seconds are held; a block that does
// not fit is lost). 44100 Hz is converted as if it were 44000 Hz.
//
// The output must have room for the converted samples of everything held plus the new input:
// (held + new samples) × output rate / input rate.
//
// Thread safety: none. Each resampler belongs to one sink group or detector.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/media/audio/fifo_buffer.h"

namespace webrtc {
template <typename T>
class PushResampler;
}

class HX_AudioResamplerBase {
 public:
  virtual bool Init(unsigned inRate, unsigned outRate) = 0;
  virtual bool SetRates(unsigned inRate, unsigned outRate) = 0;
  // Answers the output bytes, or negative on failure.
  virtual int InternalProcess(void* input, void* output, unsigned inputBytes) = 0;
  virtual ~HX_AudioResamplerBase();

  // Converts inputBytes of PCM at inRate into output at outRate. Answers the output samples, -1
  // for a missing buffer or a failed set-up, -2 for a failed conversion.
  int Process(void* input, void* output, unsigned inputBytes, unsigned inRate, unsigned outRate);
  // Stored only.
  void SetQuality(int quality) { quality_ = quality; }

 protected:
  bool initialised_ = false;
  int quality_ = 0;
  uint32_t in_rate_ = 0;
  uint32_t out_rate_ = 0;
};

class HXResamplerWebRtc : public HX_AudioResamplerBase {
 public:
  HXResamplerWebRtc();
  ~HXResamplerWebRtc() override;

  bool Init(unsigned inRate, unsigned outRate) override;
  bool SetRates(unsigned inRate, unsigned outRate) override;
  int InternalProcess(void* input, void* output, unsigned inputBytes) override;

  static unsigned FindGCD(unsigned a, unsigned b);

  // The rates as converted (44100 taken as 44000) and the held input, for inspection.
  unsigned GetInputRate() const { return input_rate_; }
  unsigned GetOutputRate() const { return output_rate_; }
  unsigned GetHeldSamples() const { return fifo_ ? fifo_->GetDataLen() / 2 : 0; }

 private:
  bool InternalInit(unsigned inRate, unsigned outRate);
  bool Reset();

  unsigned input_rate_ = 0;
  unsigned output_rate_ = 0;
  unsigned output_ratio_ = 1;
  unsigned input_ratio_ = 1;
  std::unique_ptr<webrtc::PushResampler<int16_t>> resampler_;
  std::unique_ptr<HX_FifoBuffer> fifo_;
  unsigned chunk_ = 0;
  unsigned out_chunk_ = 0;
  std::vector<int16_t> scratch_;
};

class HX_AudioResamplerFactory {
 public:
  virtual ~HX_AudioResamplerFactory();
  // A new resampler owned by the caller.
  virtual HX_AudioResamplerBase* CreateAudioResampler();
};
