#pragma once
// Test support for the audio road: tones, real Opus packets of them, and a tone detector.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/media/audio/audio_codec_factory.h"
#include "core/wire/media_format.h"

namespace hx_audio_test {

inline std::vector<int16_t> Tone(int rate, double hz, int samples, double amp, int offset = 0) {
  std::vector<int16_t> pcm(samples);
  for (int i = 0; i < samples; ++i) {
    pcm[i] = static_cast<int16_t>(amp * std::sin(2 * M_PI * hz * (i + offset) / rate));
  }
  return pcm;
}

// Opus packets of 40 ms each of a tone (silence for amp 0).
inline std::vector<std::vector<char>> Packets(int rate, int count, double amp, double hz = 440) {
  HX_AudioCodecFactory factory;
  auto enc = factory.CreateEncoder(HX_MediaFormat::kAudioOpus);
  EXPECT_EQ(enc->Init(rate), 0);
  const int samples = rate / 25;
  std::vector<std::vector<char>> out;
  for (int f = 0; f < count; ++f) {
    auto pcm = Tone(rate, hz, samples, amp, f * samples);
    std::vector<char> packet(4000);
    const int n = enc->Convert(reinterpret_cast<unsigned char*>(pcm.data()), samples * 2,
                               reinterpret_cast<unsigned char*>(packet.data()), 4000);
    EXPECT_GT(n, 0);
    packet.resize(n > 0 ? n : 0);
    out.push_back(packet);
  }
  return out;
}

// The amplitude of the hz component of the samples (Goertzel).
inline double ToneAmplitude(const int16_t* samples, size_t count, int rate, double hz) {
  const double w = 2 * M_PI * hz / rate;
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < count; ++i) {
    const double s = samples[i] + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / count;
}

}  // namespace hx_audio_test
