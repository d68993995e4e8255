#pragma once
// AudioCodecSpeex: the Speex codec (tag 0x7003) over libspeex. The band follows the Init rate:
// narrow band below 16000 Hz, ultra-wide band from 32000 Hz, wide band between. The encoder
// starts at quality 4 and joins all whole frames of one Convert into one payload; the decoder
// decodes the frames of a payload while a whole frame fits the room given and stops at the first
// frame the library refuses. Bit rates are limited to 32000 bit/s.
//
// Thread safety: none (one thread at a time).

#include "core/media/audio/audio_codec.h"

struct SpeexBits;

class AudioCodecSpeex : public AudioCodecBase {
 public:
  explicit AudioCodecSpeex(bool coder);
  ~AudioCodecSpeex() override;

  int Init(int sampleRate) override;
  void Release() override;
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int quality) override;
  void SetBitrate(int bitrate) override;
  void UpdateBitrate(int bitrate) override;

  // Bytes of PCM per Speex frame (640 in wide band); 0 before Init.
  int GetFrameSize() const { return frame_size_; }
  // The library state, for inspection (null before Init).
  void* GetState() const { return state_; }

 private:
  void* state_ = nullptr;
  SpeexBits* bits_;
  int frame_size_ = 0;
};
