#pragma once
// The probe the echo-delay measurement plays through the loudspeaker: 1300 ms of 16 kHz mono
// (20800 samples). Three tones of about 2090, 2640 and 3130 Hz, 300 ms each, between gaps of
// 100 ms (before the first, between them and after the last). Each tone reaches its peak of 7760
// within 2 ms and then decays by about 4 % per 10 ms (its RMS over 10 ms falls from about 5400 to
// about 1950); the gaps hold a dither of -1..1 and the fading tail of the tone before them, below
// 50 in magnitude. Distinct, steady tones give sharp spectral matches at one frequency shift only,
// which is how the detector tells the probe from speech or noise.
//
// Thread safety: the probe is built once, on first use, and is read-only afterwards.

#include <cstdint>
#include <vector>

namespace hx_echo_probe {

constexpr unsigned kRate = 16000;
constexpr unsigned kSamples = 20800;
constexpr int kPeak = 7760;
constexpr double kToneHz[3] = {2090.0, 2640.0, 3130.0};

const std::vector<int16_t>& Probe();

}  // namespace hx_echo_probe
