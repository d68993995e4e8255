#include "core/client/server_limits.h"

#include <charconv>
#include <limits>
#include <optional>

namespace hx::client {

namespace {

// The number at the start of `text` as atoi reads it, bounded: none without digits or beyond
// 32 bits (signed).
std::optional<int64_t> LeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  int64_t value = 0;
  const char* begin = text.data() + i;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop == begin) return std::nullopt;
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return value;
}

bool ValidSide(const std::optional<int64_t>& side) { return side && *side >= 64 && *side <= 2048 && *side % 8 == 0; }

}  // namespace

bool ParseServerResolution(std::string_view text, uint32_t& width, uint32_t& height) {
  width = 0;
  height = 0;
  const size_t x = text.find('x');
  if (x == std::string_view::npos || x + 1 >= text.size()) return false;
  const std::optional<int64_t> w = LeadingInt(text.substr(0, x));
  const std::optional<int64_t> h = LeadingInt(text.substr(x + 1));
  if (!ValidSide(w) || !ValidSide(h)) return false;
  width = static_cast<uint32_t>(*w);
  height = static_cast<uint32_t>(*h);
  return true;
}

uint32_t ParseServerRate(std::string_view text) {
  const std::optional<int64_t> value = LeadingInt(text);
  return value && *value > 0 ? static_cast<uint32_t>(*value) : 0;
}

ServerLimits ParseServerLimits(std::string_view size, std::string_view bitrate, std::string_view fps) {
  ServerLimits limits;
  ParseServerResolution(size, limits.width, limits.height);
  limits.bitrate = ParseServerRate(bitrate);
  limits.fps = ParseServerRate(fps);
  return limits;
}

}  // namespace hx::client
