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
  // A tick before the last Set (another thread's clock read) is not an elapsed time.
  if (now != 0 && now > last_time_ && now - last_time_ > 2000) average_ = 0;
  return static_cast<uint32_t>(average_);
}
