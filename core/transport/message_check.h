#pragma once
// The checks a received transport message passes before anything in it is trusted: first its
// 16-byte fixed part, which says how long the message is, then, once all of it is there, its
// checksums and names.

#include <cstdint>

#include "core/wire/fixed_part_message.h"

namespace hx::transport {

// The fixed part and nine empty names (a length byte and a NUL each).
inline constexpr uint32_t kMinHeaderLength = sizeof(HX_FixedPartMessage) + 9 * 2;
// The fixed part and nine names of the longest length a length byte can state.
inline constexpr uint32_t kMaxHeaderLength = sizeof(HX_FixedPartMessage) + 9 * (255 + 2);

// Header length from kMinHeaderLength to kMaxHeaderLength, the always-set flag, a version and a
// sequence number other than 0.
bool IsPlausibleFixedPart(const HX_FixedPartMessage& fixed);

// The header checksum matches and every name ends inside the header. HeaderLength() bytes must be
// readable; the body is not looked at. A reader checks this before it believes the message's
// length enough to skip or wait for its body.
bool IsWellFormedHeader(const HX_FixedPartMessage& fixed);

// Both checksums match and every name ends inside the header. All MessageLength() bytes must be
// readable.
bool IsWellFormedMessage(const HX_FixedPartMessage& message);

}  // namespace hx::transport
