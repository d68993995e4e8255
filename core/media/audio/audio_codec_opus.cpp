#include "core/media/audio/audio_codec_opus.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>

AudioCodecOpus::AudioCodecOpus(bool coder) : AudioCodecBase(coder) {}

AudioCodecOpus::~AudioCodecOpus() { Release(); }

int AudioCodecOpus::Init(int sampleRate) {
  Release();  // a second Init must not leak the first state
  int rate = ((sampleRate + 2000) / 4000) * 4000;
  if (rate > 24000) rate = 48000;
  int error = OPUS_OK;
  bool created = false;
  if (coder_) {
    repacketizer_ = opus_repacketizer_create();
    if (repacketizer_ != nullptr) {
      scratch_.reset(new unsigned char[kScratchSize]);
      encoder_ = opus_encoder_create(rate, 1, OPUS_APPLICATION_VOIP, &error);
      if (encoder_ != nullptr && error == OPUS_OK) {
        opus_encoder_ctl(encoder_, OPUS_SET_COMPLEXITY(3));
        opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(34000));
        opus_encoder_ctl(encoder_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
        opus_encoder_ctl(encoder_, OPUS_SET_VBR(1));
        created = true;
      }
    }
    quality_ = 9;
    bitrate_ = 34000;
    bitrate_changed_ = false;
  } else {
    decoder_ = opus_decoder_create(rate, 1, &error);
    created = decoder_ != nullptr && error == OPUS_OK;
  }
  if (created) frame_size_ = (rate / 1000) * 80;
  valid_ = true;
  return 0;
}

void AudioCodecOpus::Release() {
  if (!valid_) return;
  if (encoder_ != nullptr) opus_encoder_destroy(encoder_);
  if (repacketizer_ != nullptr) opus_repacketizer_destroy(repacketizer_);
  if (decoder_ != nullptr) opus_decoder_destroy(decoder_);
  encoder_ = nullptr;
  repacketizer_ = nullptr;
  decoder_ = nullptr;
  scratch_.reset();
  frame_size_ = 0;
  valid_ = false;
}

void AudioCodecOpus::SetQuality(int quality) { ApplyQuality(quality); }

void AudioCodecOpus::SetBitrate(int bitrate) {
  if (!valid_ || !coder_ || encoder_ == nullptr) return;
  opus_int32 rate = 0;
  if (opus_encoder_ctl(encoder_, OPUS_GET_SAMPLE_RATE(&rate)) != OPUS_OK) return;
  const int limit = std::min(512000, static_cast<int>(std::sqrt(rate / 16000.0) * 32000));
  StoreBitrate(std::min(bitrate, limit));
}

void AudioCodecOpus::UpdateBitrate(int bitrate) {
  if (!valid_ || !coder_ || encoder_ == nullptr) return;
  opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrate));
}

int AudioCodecOpus::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                            int outputCapacity) {
  if (input == nullptr || output == nullptr || inputBytes <= 0 || outputCapacity <= 0) return 0;
  if (coder_) {
    if (encoder_ == nullptr || repacketizer_ == nullptr || frame_size_ <= 0) return 0;
    ApplyPendingBitrate();
    opus_repacketizer_init(repacketizer_);
    int used = 0;
    int frames = 0;
    const int samples = frame_size_ / 2;
    for (int offset = 0; offset + frame_size_ <= inputBytes; offset += frame_size_) {
      // The repacketizer keeps pointers into the scratch buffer, so each packet goes after the
      // previous one, with only the room that is left.
      const int room = kScratchSize - used;
      if (room <= 0) break;
      const int n = opus_encode(encoder_, reinterpret_cast<const opus_int16*>(input + offset),
                                samples, scratch_.get() + used, room);
      if (n <= 0) continue;
      if (opus_repacketizer_cat(repacketizer_, scratch_.get() + used, n) != OPUS_OK) break;
      used += n;
      ++frames;
    }
    if (frames == 0) return 0;
    const int n =
        opus_repacketizer_out(repacketizer_, output, std::min(outputCapacity, kScratchSize));
    return n > 0 ? n : 0;
  }
  if (decoder_ == nullptr) return 0;
  const int n = opus_decode(decoder_, input, inputBytes, reinterpret_cast<opus_int16*>(output),
                            outputCapacity / 2, 0);
  return n > 0 ? n * 2 : 0;
}
