#include "core/media/audio/audio_level_averager.h"

void HXAudioLevelAverager::Set(unsigned time, unsigned level) {
  last_time_ = time;
  if (average_ < level) {
    average_ = (7 * average_ + level) >> 3;
  } else {
    average_ = (15 * average_ + level) >> 4;
  }
}

uint32_t HXAudioLevelAverager::Get(unsigned long now) {
  // Elapsed time on the 32-bit tick that Set records, so it stays right across the tick's wrap. A
  // tick before the last Set (another thread's clock read) comes out negative: not an elapsed time.
  const auto elapsed = static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(last_time_));
  if (now != 0 && elapsed > 2000) average_ = 0;
  return static_cast<uint32_t>(average_);
}
