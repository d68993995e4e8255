#include "core/media/audio/echo/echo_probe.h"

#include <cmath>

namespace hx_echo_probe {
namespace {

std::vector<int16_t> Build() {
  constexpr unsigned kGap = kRate / 10;       // 100 ms
  constexpr unsigned kTone = kRate * 3 / 10;  // 300 ms
  constexpr double kAttack = kRate * 0.001;   // 1 ms ramp: full level within 2 ms
  const double decay_per_sample = std::pow(0.966, 1.0 / (kRate / 100.0));  // ~3.4 % per 10 ms
  const double release_per_sample = std::exp(-1.0 / (kRate * 0.002));      // tails die within ms
  std::vector<int16_t> probe(kSamples);
  uint32_t dither = 12345;
  double tail = 0.0, tail_phase = 0.0, tail_step = 0.0;
  size_t pos = 0;
  auto gap = [&] {
    for (unsigned i = 0; i < kGap; ++i, ++pos) {
      dither = dither * 1664525u + 1013904223u;
      const int d = int(dither >> 30) - 1;  // -1, 0, 1, 2 → clamp to -1..1
      const double t = tail * std::sin(tail_phase);
      tail *= release_per_sample;
      tail_phase += tail_step;
      double v = t + (d > 1 ? 1 : d);
      if (std::fabs(t) < 1.0) v = d > 1 ? 1 : d;
      probe[pos] = int16_t(std::lround(std::fmax(-49.0, std::fmin(49.0, v))));
    }
  };
  gap();
  for (double hz : kToneHz) {
    const double step = 2 * M_PI * hz / kRate;
    // The envelope first, then scaled so that the tone's highest sample is exactly the peak.
    std::vector<double> tone(kTone);
    double env = 1.0, top = 0.0;
    for (unsigned i = 0; i < kTone; ++i) {
      const double attack = i < kAttack ? (i + 1) / kAttack : 1.0;
      tone[i] = env * attack * std::sin(step * i);
      top = std::fmax(top, std::fabs(tone[i]));
      if (i >= kAttack) env *= decay_per_sample;
    }
    for (unsigned i = 0; i < kTone; ++i, ++pos)
      probe[pos] = int16_t(std::lround(kPeak * tone[i] / top));
    // The tone stops at a low level; its tail fades out fast in the gap after it.
    tail = 48.0;
    tail_phase = step * kTone;
    tail_step = step;
    gap();
  }
  return probe;
}

}  // namespace

const std::vector<int16_t>& Probe() {
  static const std::vector<int16_t> probe = Build();
  return probe;
}

}  // namespace hx_echo_probe
