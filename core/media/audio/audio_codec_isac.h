#pragma once
// AudioCodecISAC: the iSAC codec (tag 0x7004) of the WebRTC audio pieces, at 16000 Hz (wide
// band) or 32000 Hz (super-wide band); other rates fail Init with the library's code.
//
// The encoder runs in channel-independent mode with 30 ms frames: bottleneck 32000 bit/s and
// maximum rate 53400 bit/s at 16 kHz, 56000 and 160000 bit/s at 32 kHz. Convert feeds the input
// to the library in 10 ms blocks (rate / 100 samples, the block the library reads per call)
// until a packet completes, and answers that packet (0 while none completed, and 0 on a library
// error). Only whole blocks
// are fed: a tail shorter than 10 ms is ignored, never read past.
//
// The encoder makes one packet per payload, so the decoder takes each payload as one packet. No
// library call reports the bytes one frame of a packet used, so a payload is not split further.
// A payload larger than any iSAC packet, or one whose audio does not fit the room given, decodes
// to nothing.
//
// Thread safety: none (one thread at a time).

#include <memory>
#include <vector>

#include "core/media/audio/audio_codec.h"

struct WebRtcISACStruct;

class AudioCodecISAC : public AudioCodecBase {
 public:
  explicit AudioCodecISAC(bool coder);
  ~AudioCodecISAC() override;

  int Init(int sampleRate) override;
  void Release() override;
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int quality) override;
  void SetBitrate(int bitrate) override;
  void UpdateBitrate(int bitrate) override;

  // What Init gave the encoder: the maximum rate and the sample rate (0 before Init).
  int GetMaxRate() const { return max_rate_; }
  int GetSampleRate() const { return sample_rate_; }

  // The largest packet the library makes (60 ms at the highest rate).
  static constexpr int kMaxPacketBytes = 600;

 private:
  WebRtcISACStruct* inst_ = nullptr;
  int sample_rate_ = 0;
  int max_rate_ = 0;
  std::vector<unsigned char> packet_;
  std::vector<short> decoded_;
};
