#pragma once
// HX_AudioMixer adds blocks of 16-bit mono PCM sample by sample. The mode decides how a sum that
// leaves the 16-bit range is brought back:
//   0 nothing is written;
//   1 the sum is clamped;
//   2 the sum is scaled by a Q14 gain of trunc(16384 × √(0.99 × √(1 / count))) and clamped;
//   3 a soft knee: sums up to 16000 pass, larger ones approach 32767 exponentially;
//   4 block peak normalisation: when the block's largest |sum| exceeds 32767 every sum is
//     scaled by 32766 / peak (the mixing sink's mode).
//
// Thread safety: none; the sink calls it under its lock.

#include <cstdint>

enum HX_AudioMixerMode : int {
  kMixNone = 0,
  kMixClamp = 1,
  kMixGain = 2,
  kMixSoftKnee = 3,
  kMixPeakNormalise = 4,
};

class HX_AudioMixer {
 public:
  // Stores the mode; valid when mode is 0 to 4.
  bool Init(HX_AudioMixerMode mode);

  // output[i] = the mixed sum of inputs[0..count-1][i] for i < samples. False when not valid or a
  // pointer is missing; true for modes 0 to 4.
  bool Mix(short** inputs, unsigned count, short* output, unsigned samples);

  // One output per listener (everybody but input k) plus the total in outputs[count]; mode 2
  // only (mode 0 answers true without writing, others false). With count < 2, outputs[0] is
  // silence and outputs[1] a copy of inputs[0].
  bool Mix(short** inputs, unsigned count, short** outputs, unsigned samples);

  // The mode 2 gain for count inputs.
  static int16_t Gain(unsigned count);

  int GetMode() const { return mode_; }
  bool IsValid() const { return valid_; }

 private:
  int mode_ = 0;
  bool valid_ = false;
};
