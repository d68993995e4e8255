#include "core/security/random_string.h"

#include <chrono>
#include <exception>

#include "core/base/ios_log.h"

namespace {

uint32_t SeedFromRandomDevice() {
  try {
    std::random_device device("/dev/urandom");
    return device();
  } catch (const std::exception& error) {
    // Only a system without /dev/urandom gets here; a clock seed still differs per object.
    ios_log("random device: %s", error.what());
    return static_cast<uint32_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
  }
}

}  // namespace

HX_Random::HX_Random() : m_engine(SeedFromRandomDevice()) {}

std::string HX_Random::random_string(size_t count, const char* alphabet, size_t alphabet_length) {
  std::mt19937 engine(SeedFromRandomDevice());
  return random_string(engine, count, alphabet, alphabet_length);
}

std::string HX_Random::random_string(std::mt19937& engine, size_t count, const char* alphabet,
                                     size_t alphabet_length) {
  if (alphabet == nullptr || alphabet_length == 0) return std::string();
  std::uniform_int_distribution<size_t> pick(0, alphabet_length - 1);
  std::string text(count, '\0');
  for (char& c : text) c = alphabet[pick(engine)];
  return text;
}

std::string HX_Random::rnd_string(size_t count, const char* alphabet, size_t alphabet_length) {
  return random_string(m_engine, count, alphabet, alphabet_length);
}
