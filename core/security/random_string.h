#pragma once
// Random strings over a given alphabet, drawn with a Mersenne Twister (MT19937) seeded from the
// system's random device. Not for keys: the engine's state can be recovered from its output.

#include <cstddef>
#include <random>
#include <string>

class HX_Random {
 public:
  // Seeds the engine with one 32-bit value from "/dev/urandom".
  HX_Random();

  // `count` characters, each drawn uniformly from the first `alphabet_length` characters of
  // `alphabet`, with a freshly seeded engine (thread-safe) or with `engine`. Empty for a null or
  // empty alphabet.
  static std::string random_string(size_t count, const char* alphabet, size_t alphabet_length);
  static std::string random_string(std::mt19937& engine, size_t count, const char* alphabet,
                                   size_t alphabet_length);

  // The same with this object's engine; one thread at a time.
  std::string rnd_string(size_t count, const char* alphabet, size_t alphabet_length);

 private:
  std::mt19937 m_engine;
};
