#pragma once
// The limits a server sends in the session properties "AllowedByServerMaxWxH",
// "AllowedByServerMaxBW" and "AllowedByServerMaxFPS", read as untrusted text.
//
// A size is "<width>x<height>": each side read as atoi reads a number (leading blanks, a sign,
// digits, anything after them ignored); the pair counts only when both sides lie in 64..2048 and
// are multiples of 8, otherwise the size is (0, 0), no limit. A rate is a number read the same
// way; a missing, empty, negative or malformed value, or one beyond 31 bits, is 0, no limit.
//
// Thread safety: pure functions.

#include <cstdint>
#include <string_view>

namespace hx::client {

struct ServerLimits {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitrate = 0;  // kbit/s
  uint32_t fps = 0;
};

// The resolution limit of a "WxH" text; false (and 0, 0) when the text gives none.
bool ParseServerResolution(std::string_view text, uint32_t& width, uint32_t& height);
// A rate limit, 0 for none.
uint32_t ParseServerRate(std::string_view text);
ServerLimits ParseServerLimits(std::string_view size, std::string_view bitrate, std::string_view fps);

}  // namespace hx::client
