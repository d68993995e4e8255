#include "core/media/audio/audio_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int32_t ClampGain(int64_t p) {
  if (p > 0x1FFFFFFF) return 32767;
  if (p < -0x20000000) return -32768;
  return static_cast<int32_t>(p >> 14);
}

int64_t SumAt(short** inputs, unsigned count, unsigned i) {
  int64_t s = 0;
  for (unsigned j = 0; j < count; ++j) s += inputs[j][i];
  return s;
}

// Blocks are summed a chunk of positions at a time, input after input, into 32-bit sums that
// stay on the stack: the additions then run over whole rows instead of gathering one position
// from every input. Up to 65535 inputs a 32-bit sum (and its magnitude) cannot overflow; beyond
// that the sums are formed one position at a time in 64 bits.
constexpr unsigned kChunk = 256;
constexpr unsigned kMaxChunkedInputs = 65535;

// sums[k] = the sum of inputs[j][first + k] over j, for k < n (n <= kChunk).
void SumChunk(short** inputs, unsigned count, unsigned first, unsigned n, int32_t* sums) {
  if (count == 0) {
    std::fill(sums, sums + n, 0);
    return;
  }
  const short* in = inputs[0] + first;
  for (unsigned k = 0; k < n; ++k) sums[k] = in[k];
  for (unsigned j = 1; j < count; ++j) {
    in = inputs[j] + first;
    for (unsigned k = 0; k < n; ++k) sums[k] += in[k];
  }
}

// Calls write(position, sum) for every position in order, the sums of a chunk being formed
// before any output of that chunk is written (so an output may be one of the inputs).
template <typename Write>
void ForEachSum(short** inputs, unsigned count, unsigned samples, Write write) {
  if (count > kMaxChunkedInputs) {
    for (unsigned i = 0; i < samples; ++i) write(i, SumAt(inputs, count, i));
    return;
  }
  int32_t sums[kChunk];
  for (unsigned first = 0; first < samples; first += kChunk) {
    const unsigned n = std::min(kChunk, samples - first);
    SumChunk(inputs, count, first, n, sums);
    for (unsigned k = 0; k < n; ++k) write(first + k, int64_t{sums[k]});
  }
}

// The largest |sum| of the block.
int64_t PeakOfSums(short** inputs, unsigned count, unsigned samples) {
  if (count > kMaxChunkedInputs) {
    int64_t peak = 0;
    for (unsigned i = 0; i < samples; ++i) {
      const int64_t s = SumAt(inputs, count, i);
      peak = std::max<int64_t>(peak, s < 0 ? -s : s);
    }
    return peak;
  }
  int32_t sums[kChunk];
  int32_t peak = 0;
  for (unsigned first = 0; first < samples; first += kChunk) {
    const unsigned n = std::min(kChunk, samples - first);
    SumChunk(inputs, count, first, n, sums);
    for (unsigned k = 0; k < n; ++k) peak = std::max(peak, sums[k] < 0 ? -sums[k] : sums[k]);
  }
  return peak;
}

}  // namespace

int16_t HX_AudioMixer::Gain(unsigned count) {
  if (count == 0) count = 1;
  return static_cast<int16_t>(16384.0 * std::sqrt(0.99 * std::sqrt(1.0 / count)));
}

bool HX_AudioMixer::Init(HX_AudioMixerMode mode) {
  mode_ = mode;
  valid_ = mode >= 0 && mode <= 4;
  return valid_;
}

bool HX_AudioMixer::Mix(short** inputs, unsigned count, short* output, unsigned samples) {
  if (!valid_) return false;
  if (mode_ == kMixNone) return true;
  if (output == nullptr || (count > 0 && inputs == nullptr)) return false;
  for (unsigned j = 0; j < count; ++j) {
    if (inputs[j] == nullptr) return false;
  }
  switch (mode_) {
    case kMixClamp:
      ForEachSum(inputs, count, samples, [output](unsigned i, int64_t s) {
        output[i] = static_cast<short>(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
      });
      return true;
    case kMixGain: {
      const int64_t g = Gain(count);
      ForEachSum(inputs, count, samples, [output, g](unsigned i, int64_t s) {
        output[i] = static_cast<short>(ClampGain(g * s));
      });
      return true;
    }
    case kMixSoftKnee:
      ForEachSum(inputs, count, samples, [output](unsigned i, int64_t s) {
        const int64_t a = s < 0 ? -s : s;
        if (a <= 16000) {
          output[i] = static_cast<short>(s);
        } else {
          const float knee =
              32767.0f - 16767.0f * std::exp((16000.0f - static_cast<float>(a)) / 16767.0f);
          const int32_t v = static_cast<int32_t>(knee);
          output[i] = static_cast<short>(s < 0 ? -v : v);
        }
      });
      return true;
    case kMixPeakNormalise: {
      // The whole block's sums first: one factor for the block keeps its shape.
      const int64_t peak = PeakOfSums(inputs, count, samples);
      if (peak <= 32767) {
        ForEachSum(inputs, count, samples,
                   [output](unsigned i, int64_t s) { output[i] = static_cast<short>(s); });
      } else {
        ForEachSum(inputs, count, samples, [output, peak](unsigned i, int64_t s) {
          output[i] = static_cast<short>(s * 32766 / peak);
        });
      }
      return true;
    }
    default:
      return true;
  }
}

bool HX_AudioMixer::Mix(short** inputs, unsigned count, short** outputs, unsigned samples) {
  if (!valid_) return false;
  if (mode_ == kMixNone) return true;
  if (mode_ != kMixGain || outputs == nullptr || inputs == nullptr) return false;
  if (count < 2) {
    if (outputs[0] == nullptr || outputs[1] == nullptr || (count == 1 && inputs[0] == nullptr)) {
      return false;
    }
    std::memset(outputs[0], 0, samples * sizeof(short));
    if (count == 1) {
      std::memcpy(outputs[1], inputs[0], samples * sizeof(short));
    } else {
      std::memset(outputs[1], 0, samples * sizeof(short));
    }
    return true;
  }
  for (unsigned k = 0; k <= count; ++k) {
    if (outputs[k] == nullptr || (k < count && inputs[k] == nullptr)) return false;
  }
  const int64_t gOthers = Gain(count - 1);
  const int64_t gAll = Gain(count);
  for (unsigned i = 0; i < samples; ++i) {
    const int64_t s = SumAt(inputs, count, i);
    for (unsigned k = 0; k < count; ++k) {
      outputs[k][i] = static_cast<short>(ClampGain(gOthers * (s - inputs[k][i])));
    }
    outputs[count][i] = static_cast<short>(ClampGain(gAll * s));
  }
  return true;
}
