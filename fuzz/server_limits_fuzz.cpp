// Reads server-sent session properties as the client object does for its media limits: the input
// is split at its first two zero bytes into the size, bit-rate and frame-rate texts. Whatever the
// bytes, a size is (0, 0) or two sides in 64..2048 that are multiples of 8, and no rate exceeds
// 31 bits; the same texts always give the same limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/client/server_limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap copy of exactly the input, so that any read past it is seen.
  std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  std::string_view parts[3];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t end = start;
    while (end < size && (i == 2 || copy[end] != '\0')) ++end;
    parts[i] = std::string_view(copy.get() + start, end - start);
    start = end < size ? end + 1 : size;
  }
  const hx::client::ServerLimits limits = hx::client::ParseServerLimits(parts[0], parts[1], parts[2]);
  const bool none = limits.width == 0 && limits.height == 0;
  const auto side = [](uint32_t v) { return v >= 64 && v <= 2048 && v % 8 == 0; };
  if (!none && !(side(limits.width) && side(limits.height))) std::abort();
  if (limits.bitrate > 0x7FFFFFFFu || limits.fps > 0x7FFFFFFFu) std::abort();
  uint32_t width = 1;
  uint32_t height = 1;
  if (hx::client::ParseServerResolution(parts[0], width, height) == none) std::abort();
  if (width != limits.width || height != limits.height) std::abort();
  if (hx::client::ParseServerRate(parts[1]) != limits.bitrate) std::abort();
  return 0;
}
