#pragma once
// AudioCodecOpus: the Opus voice codec (tag 0x7ff0, the system's default audio codec) over
// libopus.
//
// The codec runs at the Init rate rounded to a multiple of 4000 Hz, anything above 24000 Hz
// taken as 48000 Hz. The encoder codes 40 ms frames (frame size (rate / 1000) × 80 bytes) with
// complexity 3, voice signal, variable bit rate from 34000 bit/s, and joins all whole frames of
// one Convert into one packet with the repacketizer. A bit rate is limited to
// √(rate / 16000) × 32000 bit/s.
//
// The decoder decodes one packet per Convert into the room given. An empty payload decodes to
// nothing: libopus would take it as a lost packet and conceal audio for the whole room.
//
// A failed library creation still answers 0 from Init (the codec is valid) and Convert then
// produces nothing. A second Init releases the first state.
//
// Thread safety: none (one thread at a time).

#include <memory>

#include "core/media/audio/audio_codec.h"

struct OpusEncoder;
struct OpusDecoder;
struct OpusRepacketizer;

class AudioCodecOpus : public AudioCodecBase {
 public:
  explicit AudioCodecOpus(bool coder);
  ~AudioCodecOpus() override;

  int Init(int sampleRate) override;
  void Release() override;
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int quality) override;
  void SetBitrate(int bitrate) override;
  void UpdateBitrate(int bitrate) override;

  // Bytes of PCM per encoded frame (40 ms); 0 before a successful creation.
  int GetFrameSize() const { return frame_size_; }
  // The library encoder, for inspection (null for a decoder or before Init).
  OpusEncoder* GetEncoder() const { return encoder_; }

  static constexpr int kScratchSize = 4000;

 private:
  OpusRepacketizer* repacketizer_ = nullptr;
  OpusEncoder* encoder_ = nullptr;
  OpusDecoder* decoder_ = nullptr;
  std::unique_ptr<unsigned char[]> scratch_;
  int frame_size_ = 0;
};
