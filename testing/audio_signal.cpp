#include "testing/audio_signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace hx_test {

std::vector<int16_t> ToneAndNoise(int rate, double freq, double amp, int noise, size_t samples,
                                  uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-noise, noise);
  std::vector<int16_t> out(samples);
  for (size_t i = 0; i < samples; ++i) {
    const double v = amp * std::sin(2 * M_PI * freq * i / rate) + (noise > 0 ? dist(rng) : 0);
    out[i] = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
  }
  return out;
}

double ToneAmplitude(const int16_t* x, size_t n, int rate, double freq) {
  // A Hann window keeps other components from leaking in; its coherent gain is 0.5.
  double re = 0, im = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / (n - 1));
    const double phase = 2 * M_PI * freq * i / rate;
    re += w * x[i] * std::cos(phase);
    im -= w * x[i] * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / (0.5 * n);
}

double DominantFrequency(const int16_t* x, size_t n, int rate, double step) {
  double best = 0, best_freq = 0;
  for (double f = step; f < rate / 2.0; f += step) {
    const double a = ToneAmplitude(x, n, rate, f);
    if (a > best) {
      best = a;
      best_freq = f;
    }
  }
  return best_freq;
}

double Db(double a, double b) { return 20.0 * std::log10(b / a); }

std::vector<std::vector<uint8_t>> HostilePayloads(const std::vector<uint8_t>& valid,
                                                  uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<uint8_t>> out;
  out.push_back({});
  out.push_back({0x00});
  out.push_back({0xFF});
  out.push_back({0xFF, 0xFF, 0xFF});
  for (size_t size : {1u, 2u, 7u, 40u, 161u, 600u, 601u, 1500u, 4000u}) {
    std::vector<uint8_t> p(size);
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    out.push_back(std::move(p));
  }
  for (size_t cut : {1u, 2u, 3u, 5u, 10u}) {
    if (cut < valid.size()) out.emplace_back(valid.begin(), valid.begin() + cut);
    if (cut < valid.size()) out.emplace_back(valid.begin(), valid.end() - cut);
  }
  if (!valid.empty()) {
    auto flipped = valid;
    for (size_t i = 0; i < flipped.size(); i += 3) flipped[i] ^= static_cast<uint8_t>(rng());
    out.push_back(std::move(flipped));
  }
  std::vector<uint8_t> big(65535);
  for (auto& b : big) b = static_cast<uint8_t>(rng());
  out.push_back(std::move(big));
  return out;
}

void CheckDecoderStaysInRoom(
    const std::function<int(const std::vector<uint8_t>&, uint8_t*, int)>& decode,
    const std::vector<std::vector<uint8_t>>& payloads, const std::vector<int>& capacities) {
  constexpr size_t kGuard = 4096;
  constexpr uint8_t kFill = 0xA5;
  for (int capacity : capacities) {
    for (size_t k = 0; k < payloads.size(); ++k) {
      std::vector<uint8_t> out(capacity + kGuard, kFill);
      const int n = decode(payloads[k], out.data(), capacity);
      EXPECT_GE(n, 0) << "payload " << k << " of " << payloads[k].size() << " bytes, room "
                      << capacity;
      EXPECT_LE(n, capacity) << "payload " << k << " of " << payloads[k].size() << " bytes";
      size_t touched = 0;
      for (size_t i = capacity; i < out.size(); ++i) touched += out[i] != kFill;
      EXPECT_EQ(touched, 0u) << "payload " << k << " of " << payloads[k].size()
                             << " bytes wrote past a room of " << capacity;
    }
  }
}

}  // namespace hx_test
