#include "core/media/audio/audio_codec.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kQualityTable[11] = {10400, 10400, 10400, 10400, 12800, 16800,
                                   20800, 24000, 28000, 32000, 32000};

}  // namespace

int AudioCodecBase::QualityToBitrate(int quality) {
  return kQualityTable[std::clamp(quality, 0, 10)];
}

void AudioCodecBase::ApplyQuality(int quality) {
  if (!valid_ || !coder_) return;
  quality = std::clamp(quality, 0, 10);
  if (quality == quality_) return;
  quality_ = quality;
  SetBitrate(QualityToBitrate(quality));
}

void AudioCodecBase::StoreBitrate(int limited) {
  if (limited == bitrate_) return;
  bitrate_ = limited;
  bitrate_changed_ = true;
}

void AudioCodecBase::ApplyPendingBitrate() {
  if (!bitrate_changed_) return;
  UpdateBitrate(bitrate_);
  bitrate_changed_ = false;
}

int AudioCodecStub::Init(int) {
  valid_ = true;
  return 0;
}

void AudioCodecStub::Release() { valid_ = false; }

int AudioCodecStub::Convert(unsigned char*, int, unsigned char*, int) { return 0; }

AudioCodecDump::~AudioCodecDump() { Release(); }

int AudioCodecDump::Init(int) {
  Release();
  file_ = coder_ ? std::fopen("audio_enc.dump", "w+b") : std::fopen("audio_dec.dump", "w+");
  if (file_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);
  valid_ = file_ != nullptr;
  return 0;
}

void AudioCodecDump::Release() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  valid_ = false;
}

int AudioCodecDump::Convert(unsigned char* input, int inputBytes, unsigned char*, int) {
  if (file_ == nullptr || inputBytes < 0 || (input == nullptr && inputBytes > 0)) return 0;
  const uint32_t n = static_cast<uint32_t>(inputBytes);
  const unsigned char length[4] = {
      static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
      static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  std::fwrite(length, 1, 4, file_);
  if (n > 0) std::fwrite(input, 1, n, file_);
  return 0;
}
