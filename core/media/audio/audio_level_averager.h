#pragma once
// HXAudioLevelAverager smooths a peer's audio level (block RMS values of 16-bit PCM): a rise is
// followed by an eighth of the step per block, a fall by a sixteenth, and a level not refreshed
// for more than 2000 ms reads as 0.
//
// Thread safety: none; the owner serialises access.

#include <cstdint>

class HXAudioLevelAverager {
 public:
  void Set(unsigned time, unsigned level);
  // The average, reset to 0 first when now is not 0 and more than 2000 ms after the last Set.
  uint32_t Get(unsigned long now);

 private:
  uint64_t last_time_ = 0;
  uint64_t average_ = 0;
};
