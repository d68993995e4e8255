// The one file of ours that calls the iSAC library.
#include "core/media/audio/audio_codec_isac.h"

#include <algorithm>
#include <cstring>

#include "modules/audio_coding/codecs/isac/main/include/isac.h"

static_assert(sizeof(short) == sizeof(int16_t));

namespace {

// Decoded samples of one packet are at most 60 ms at 16 kHz or 30 ms at 32 kHz (960); the
// scratch holds twice that so the library never writes past it.
constexpr size_t kDecodeScratchSamples = 2 * 960 * 2;

}  // namespace

AudioCodecISAC::AudioCodecISAC(bool coder) : AudioCodecBase(coder) {}

AudioCodecISAC::~AudioCodecISAC() { Release(); }

int AudioCodecISAC::Init(int sampleRate) {
  Release();
  ISACStruct* inst = nullptr;
  int code = WebRtcIsac_Create(&inst);
  if (code != 0 || inst == nullptr) {
    valid_ = false;
    return code != 0 ? code : -1;
  }
  inst_ = inst;
  sample_rate_ = sampleRate;
  if (coder_) {
    packet_.assign(kMaxPacketBytes + 16, 0);
    code = WebRtcIsac_EncoderInit(inst, 1);
    if (code == 0)
      code = sampleRate < 0 || sampleRate > 0xFFFF
                 ? -1
                 : WebRtcIsac_SetEncSampRate(inst, static_cast<uint16_t>(sampleRate));
    const bool wide = sampleRate < 32000;
    max_rate_ = wide ? 53400 : 160000;
    if (code == 0) code = WebRtcIsac_SetMaxRate(inst, max_rate_);
    const int bottleneck = wide ? 32000 : 56000;
    if (code == 0) code = WebRtcIsac_Control(inst, bottleneck, 30);
    quality_ = 9;
    bitrate_ = bottleneck;
    bitrate_changed_ = false;
  } else {
    decoded_.assign(kDecodeScratchSamples, 0);
    WebRtcIsac_DecoderInit(inst);
    code = sampleRate < 0 || sampleRate > 0xFFFF
               ? -1
               : WebRtcIsac_SetDecSampRate(inst, static_cast<uint16_t>(sampleRate));
  }
  valid_ = code == 0;
  if (!valid_) {
    WebRtcIsac_Free(inst);
    inst_ = nullptr;
  }
  return code;
}

void AudioCodecISAC::Release() {
  if (inst_ != nullptr) WebRtcIsac_Free(inst_);
  inst_ = nullptr;
  valid_ = false;
}

void AudioCodecISAC::SetQuality(int quality) { ApplyQuality(quality); }

void AudioCodecISAC::SetBitrate(int bitrate) {
  if (!valid_ || !coder_) return;
  StoreBitrate(std::min(bitrate, sample_rate_ < 32000 ? 32000 : 56000));
}

void AudioCodecISAC::UpdateBitrate(int bitrate) {
  if (!valid_ || !coder_) return;
  WebRtcIsac_Control(inst_, bitrate, 30);
}

int AudioCodecISAC::Convert(unsigned char* input, int inputBytes, unsigned char* output,
                            int outputCapacity) {
  if (!valid_ || input == nullptr || output == nullptr || inputBytes <= 0 || outputCapacity <= 0) {
    return 0;
  }
  ISACStruct* inst = inst_;
  if (coder_) {
    ApplyPendingBitrate();
    // The library reads 10 ms per call; the input may sit at any alignment, so each block is
    // copied into an aligned one first.
    const int block_bytes = sample_rate_ / 100 * 2;
    int16_t block[640];
    if (block_bytes <= 0 || block_bytes > static_cast<int>(sizeof(block))) return 0;
    int result = 0;
    for (int offset = 0; offset + block_bytes <= inputBytes && result == 0; offset += block_bytes) {
      std::memcpy(block, input + offset, block_bytes);
      result = WebRtcIsac_Encode(inst, block, packet_.data());
    }
    // A library error is no payload: the sender sends whatever a non-zero answer claims.
    if (result <= 0) return 0;
    if (result > outputCapacity) return 0;
    std::memcpy(output, packet_.data(), result);
    return result;
  }
  if (inputBytes > kMaxPacketBytes) return 0;
  int16_t speech_type = 0;
  const int samples = WebRtcIsac_Decode(inst, input, static_cast<size_t>(inputBytes),
                                        decoded_.data(), &speech_type);
  if (samples <= 0 || static_cast<size_t>(samples) > decoded_.size()) return 0;
  const int bytes = samples * 2;
  if (bytes > outputCapacity) return 0;
  std::memcpy(output, decoded_.data(), bytes);
  return bytes;
}
