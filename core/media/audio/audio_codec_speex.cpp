#include "core/media/audio/audio_codec_speex.h"

#include <speex/speex.h>

#include <algorithm>

AudioCodecSpeex::AudioCodecSpeex(bool coder) : AudioCodecBase(coder), bits_(new SpeexBits{}) {}

AudioCodecSpeex::~AudioCodecSpeex() {
  Release();
  delete bits_;
}

int AudioCodecSpeex::Init(int sampleRate) {
  Release();  // a second Init must not leak the first state
  speex_bits_init(bits_);
  const int mode_id = sampleRate < 16000
                          ? SPEEX_MODEID_NB
                          : (sampleRate >= 32000 ? SPEEX_MODEID_UWB : SPEEX_MODEID_WB);
  const SpeexMode* mode = speex_lib_get_mode(mode_id);
  int frame_samples = 0;
  if (coder_) {
    state_ = speex_encoder_init(mode);
    int quality = 4;
    speex_encoder_ctl(state_, SPEEX_SET_QUALITY, &quality);
    quality_ = 4;
    speex_encoder_ctl(state_, SPEEX_GET_FRAME_SIZE, &frame_samples);
  } else {
    state_ = speex_decoder_init(mode);
    int enhance = 1;
    speex_decoder_ctl(state_, SPEEX_SET_ENH, &enhance);
    speex_decoder_ctl(state_, SPEEX_GET_FRAME_SIZE, &frame_samples);
  }
  frame_size_ = frame_samples * 2;
  speex_bits_reset(bits_);
  bitrate_changed_ = false;
  valid_ = true;
  return 0;
}

void AudioCodecSpeex::Release() {
  if (!valid_) return;
  speex_bits_destroy(bits_);
  if (coder_) {
    speex_encoder_destroy(state_);
  } else {
    speex_decoder_destroy(state_);
  }
  state_ = nullptr;
  frame_size_ = 0;
  valid_ = false;
}

void AudioCodecSpeex::SetQuality(int quality) { ApplyQuality(quality); }

void AudioCodecSpeex::SetBitrate(int bitrate) {
  if (!valid_ || !coder_) return;
  StoreBitrate(std::min(bitrate, 32000));
}

void AudioCodecSpeex::UpdateBitrate(int bitrate) {
  if (!valid_ || !coder_) return;
  int vbr = 0;
  speex_encoder_ctl(state_, SPEEX_GET_VBR, &vbr);
  if (vbr != 0) {
    float max = static_cast<float>(bitrate);
    speex_encoder_ctl(state_, SPEEX_SET_VBR_MAX_BITRATE, &max);
  }
  speex_encoder_ctl(state_, SPEEX_SET_BITRATE, &bitrate);
}

int AudioCodecSpeex::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                             int outputCapacity) {
  if (!valid_ || frame_size_ <= 0 || input == nullptr || output == nullptr || inputBytes <= 0 ||
      outputCapacity <= 0) {
    return 0;
  }
  if (coder_) {
    speex_bits_reset(bits_);
    ApplyPendingBitrate();
    bool any = false;
    for (int offset = 0; offset + frame_size_ <= inputBytes; offset += frame_size_) {
      speex_encode_int(state_, reinterpret_cast<spx_int16_t*>(input + offset), bits_);
      any = true;
    }
    if (!any) return 0;
    return speex_bits_write(bits_, reinterpret_cast<char*>(output), outputCapacity);
  }
  speex_bits_read_from(bits_, reinterpret_cast<char*>(input), inputBytes);
  int decoded = 0;
  while (decoded + frame_size_ <= outputCapacity) {
    if (speex_decode_int(state_, bits_, reinterpret_cast<spx_int16_t*>(output + decoded)) != 0) {
      break;
    }
    decoded += frame_size_;
  }
  return decoded;
}
