#include "core/media/audio/audio_barrel.h"

#include <algorithm>
#include <cstring>

HX_AudioBarrel::HX_AudioBarrel(unsigned long capacity) : storage_(capacity), capacity_(capacity) {}

void HX_AudioBarrel::Add(const short* samples, unsigned long count) {
  if (capacity_ == 0 || count == 0) return;
  uint64_t skipped = 0;
  if (count > capacity_) skipped = count - capacity_;
  uint64_t pos = (total_ + skipped) % capacity_;
  const short* src = samples + skipped;
  uint64_t left = count - skipped;
  while (left > 0) {
    const uint64_t run = std::min(left, capacity_ - pos);
    std::memcpy(storage_.data() + pos, src, run * sizeof(short));
    src += run;
    left -= run;
    pos = 0;
  }
  total_ += count;
}

bool HX_AudioBarrel::Read(short* destination, unsigned long count, unsigned long back) const {
  if (capacity_ == 0) return false;
  if (back < count || back > total_ || back > capacity_ || count > capacity_) return false;
  uint64_t pos = (total_ - back) % capacity_;
  uint64_t left = count;
  short* dst = destination;
  while (left > 0) {
    const uint64_t run = std::min(left, capacity_ - pos);
    std::memcpy(dst, storage_.data() + pos, run * sizeof(short));
    dst += run;
    left -= run;
    pos = 0;
  }
  return true;
}
