#pragma once
// The checks a received transport message passes before anything in it is trusted: first its
// 16-byte fixed part, which says how long the message is, then, once all of it is there, its
// checksums and names.

#include <cstdint>

#include "core/wire/fixed_part_message.h"

namespace hx::transport {

// The fixed part and nine empty names (a length byte and a NUL each).
inline constexpr uint32_t kMinHeaderLength = sizeof(HX_FixedPartMessage) + 9 * 2;

// Header length of at least kMinHeaderLength, the always-set flag, a version and a sequence
// number other than 0.
bool IsPlausibleFixedPart(const HX_FixedPartMessage& fixed);

// Both checksums match and every name ends inside the header. All MessageLength() bytes must be
// readable.
bool IsWellFormedMessage(const HX_FixedPartMessage& message);

}  // namespace hx::transport
