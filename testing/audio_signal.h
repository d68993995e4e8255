#pragma once
// Test signals and measurements for the audio codecs and converters: a tone with noise, the
// amplitude of one frequency (Goertzel), the strongest frequency on a grid, and a hostile-payload
// driver that checks a decoder writes nothing past the room it is given.

#include <cstdint>
#include <functional>
#include <vector>

namespace hx_test {

// A sine of freq Hz and amplitude amp plus uniform noise of ±noise, deterministic for a seed.
std::vector<int16_t> ToneAndNoise(int rate, double freq, double amp, int noise, size_t samples,
                                  uint32_t seed = 1);

// Amplitude of the freq Hz component of x (the peak of the sine it would be).
double ToneAmplitude(const int16_t* x, size_t n, int rate, double freq);

// The frequency with the largest amplitude on a grid of step Hz from step to below rate / 2.
double DominantFrequency(const int16_t* x, size_t n, int rate, double step = 25.0);

// 20 × log10(b / a).
double Db(double a, double b);

// Payloads a decoder must survive: empty, a few bytes, random of several sizes, a valid
// payload cut at several places, and an oversized one of 65535 bytes.
std::vector<std::vector<uint8_t>> HostilePayloads(const std::vector<uint8_t>& valid, uint32_t seed);

// Calls decode(payload, output, capacity) with output followed by a guard area, for each
// capacity; fails the current test when the answer is negative, exceeds the capacity, or the
// guard changed.
void CheckDecoderStaysInRoom(
    const std::function<int(const std::vector<uint8_t>&, uint8_t*, int)>& decode,
    const std::vector<std::vector<uint8_t>>& payloads, const std::vector<int>& capacities);

}  // namespace hx_test
