#include "core/transport/message_check.h"

#include "core/wire/transport_message.h"

namespace hx::transport {

bool IsPlausibleFixedPart(const HX_FixedPartMessage& fixed) {
  return fixed.HeaderLength() >= kMinHeaderLength && fixed.HeaderLength() <= kMaxHeaderLength &&
         (fixed.flags & HX_FixedPartMessage::kAlwaysSetFlag) != 0 &&
         (fixed.flags & HX_FixedPartMessage::kVersionMask) != 0 && fixed.Sequence() != 0;
}

namespace {

bool NamesEndInsideTheHeader(const HX_FixedPartMessage& message) {
  const HX_TransportMessage reader;  // reads names of the given buffer, holds none of its own
  for (int index = 1; index <= 9; ++index) {
    if (reader.GetName(index, &message) == nullptr) return false;
  }
  return true;
}

}  // namespace

bool IsWellFormedHeader(const HX_FixedPartMessage& fixed) {
  return HX_CheckHeaderCksum(&fixed) && NamesEndInsideTheHeader(fixed);
}

bool IsWellFormedMessage(const HX_FixedPartMessage& message) {
  return HX_CheckMessageCksums(&message) && NamesEndInsideTheHeader(message);
}

}  // namespace hx::transport
