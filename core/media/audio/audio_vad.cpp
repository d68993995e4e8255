#include "core/media/audio/audio_vad.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Energy in dB against full scale of the filtered signal.
float ToDb(uint64_t energy) {
  return 10.0f * std::log10(static_cast<float>(std::max<uint64_t>(energy, 1))) - 93.32f;
}

}  // namespace

HXAudioVAD::HXAudioVAD() = default;

HXAudioVAD::~HXAudioVAD() = default;

bool HXAudioVAD::Init(int rate, int bits) {
  if (rate < 4000 || rate > 96000 || (bits != 16 && bits != 8)) return false;
  samples_per_ms_ = rate / 1000;
  width_ = bits;
  hangover_ = 0;
  mode_ = 2;
  state_ = 2;
  energy_ = 10000;
  margin_ = 8.0f;
  floor_hold_reload_ = 1200 * samples_per_ms_;
  floor_hold_ = floor_hold_reload_;
  noise_floor_ = -48.0f;
  rising_ = 1;
  transitions_ = 0;
  hangover_reload_ = 240 * samples_per_ms_;
  block_length_ = 40;
  floor_step_ = 1.5f;
  min_level_ = 65536;
  max_level_ = 0;
  noise_ = std::make_unique<NoiseGen>();
  if (!noise_->Init(rate, 3000)) {
    noise_.reset();
    return false;
  }
  previous_ = 0;
  return true;
}

void HXAudioVAD::Release() { noise_.reset(); }

bool HXAudioVAD::IsVad(const unsigned char* block, int bytes) {
  if (mode_ == 0) return true;
  int count = 0;
  if (width_ == 16) {
    count = bytes >= 2 && block != nullptr ? bytes / 2 : 0;
  } else if (bytes >= 1 && block != nullptr) {
    count = bytes;
    converted_.resize(count);
    for (int i = 0; i < count; ++i) converted_[i] = static_cast<short>((block[i] * 256) ^ 0x8000);
  }
  // The 16-bit samples as they are when the block is aligned (the decoders' buffers are); a
  // block at an odd address is read through an aligned copy.
  const short* samples = nullptr;
  if (width_ != 16) {
    samples = converted_.data();
  } else if (count > 0) {
    if (reinterpret_cast<uintptr_t>(block) % alignof(short) == 0) {
      samples = reinterpret_cast<const short*>(block);
    } else {
      converted_.resize(count);
      std::memcpy(converted_.data(), block, count * sizeof(short));
      samples = converted_.data();
    }
  }
  bool voice = false;
  for (int start = 0; start < count; start += block_length_) {
    const int n = std::min(block_length_, count - start);
    if (VadSubProcess(samples + start, n)) voice = true;
  }
  if (!voice && count > 0 && mode_ == 2 && noise_) noise_->FillBuffer(samples, count);
  if (noise_) noise_->SetLevel((min_level_ + (max_level_ >> 4) + 128) / 2);
  return voice;
}

uint64_t HXAudioVAD::ComputeSTA(const short* d, int count, uint64_t* low) {
  // The tracker is one recursion through the samples, so it cannot be split up; its step is
  // written without branches (the rising flag selects the shift counts: 5 and 6 while rising,
  // 9 and 10 while falling), because the flag flips unpredictably on speech. A square of a 16-bit
  // value fits in 32 bits; the block sum of the scaled squares is independent of the recursion.
  uint64_t energy = energy_;
  uint64_t high = energy;
  uint64_t lowest = energy;
  uint64_t sum = 0;
  unsigned rising = rising_ != 0 ? 1 : 0;
  for (int i = 0; i < count; ++i) {
    const uint32_t sq = static_cast<uint32_t>(int32_t{d[i]} * d[i]);
    sum += sq >> 9;
    const uint64_t inc = sq >> (9 - 4 * rising);
    const uint64_t dec = energy >> (10 - 4 * rising);
    energy = energy + inc - dec;
    rising = inc > dec ? 1 : 0;
    // high only grows and low only falls from the same start, so a new energy can pass at most
    // one of them: the maximum and minimum are what the if/else-if of the step would keep.
    high = std::max(high, energy);
    lowest = std::min(lowest, energy);
  }
  energy_ = energy;
  rising_ = static_cast<int>(rising);
  *low = lowest;
  const int rms = static_cast<int>(std::sqrt(static_cast<float>(sum) / count * 512.0f));
  if (min_level_ > rms) min_level_ = (min_level_ + rms) / 2;
  if (max_level_ < rms) max_level_ = (max_level_ + rms) / 2;
  return high;
}

void HXAudioVAD::ComputeNFE(float lowDb, int count) {
  if (noise_floor_ >= lowDb) {
    noise_floor_ = lowDb;
    floor_hold_ = floor_hold_reload_;
  } else {
    floor_hold_ -= count;
    if (floor_hold_ < 0) {
      noise_floor_ += floor_step_;
      floor_hold_ += floor_hold_reload_;
    }
  }
}

bool HXAudioVAD::VadSubProcess(const short* x, int n) {
  if (n < 1) return false;
  short d[64];
  int16_t prev = previous_;
  for (int i = 0; i < n; ++i) {
    d[i] = static_cast<int16_t>(x[i] - prev);
    prev = x[i];
  }
  previous_ = x[n - 1];
  uint64_t low = 0;
  const uint64_t high = ComputeSTA(d, n, &low);
  const float low_db = ToDb(low);
  const float high_db = ToDb(high);
  ComputeNFE(low_db, n);
  if (high_db > noise_floor_ + margin_) {
    hangover_ = hangover_reload_;
    if (state_ == 0) ++transitions_;
    state_ = 1;
    return true;
  }
  hangover_ -= n;
  if (hangover_ >= 0) return true;
  hangover_ = 0;
  if (state_ != 0) ++transitions_;
  state_ = 0;
  return false;
}
