#include "core/wire/fixed_part_message.h"

#include "core/wire/little_endian.h"

namespace {

constexpr uint32_t kTimeLimitOffset = 12;
constexpr uint32_t kTimeLimitEnd = 16;

// Samples the bytes at H, H + 16, ... up to the stored body-length-minus-one value B (not H + B):
// both peers sample exactly these, so a body shorter than the names gets the start value alone.
uint8_t ComputeBodyCksum(const HX_FixedPartMessage& message) {
  const uint8_t* bytes = message.Bytes();
  const uint32_t bound = message.BodyLengthField();
  uint32_t sum = 0xEE;
  for (uint32_t i = message.HeaderLength(); i <= bound; i += 16) sum += bytes[i] + i;
  return static_cast<uint8_t>(sum);
}

// Leaves out the notify bit and the time limit (their bytes count as 0, their offsets still add).
uint8_t ComputeHeaderCksum(const HX_FixedPartMessage& message) {
  const uint8_t* bytes = message.Bytes();
  const uint32_t header_length = message.HeaderLength();
  uint32_t sum = 0xAC + (message.flags & ~HX_FixedPartMessage::kNotifyFlag);
  for (uint32_t j = 2; j < header_length; ++j) {
    const bool in_time_limit = j >= kTimeLimitOffset && j < kTimeLimitEnd;
    sum += (in_time_limit ? 0 : bytes[j]) + j;
  }
  return static_cast<uint8_t>(sum);
}

}  // namespace

uint16_t HX_FixedPartMessage::HeaderLength() const { return hx::wire::LoadLe16(headerLength); }

uint32_t HX_FixedPartMessage::BodyLengthField() const { return hx::wire::LoadLe24(bodyLengthMinusOne); }

uint32_t HX_FixedPartMessage::BodyLength() const { return BodyLengthField() + 1; }

uint64_t HX_FixedPartMessage::MessageLength() const {
  return static_cast<uint64_t>(HeaderLength()) + BodyLength();
}

uint32_t HX_FixedPartMessage::Sequence() const { return hx::wire::LoadLe32(sequence); }

uint32_t HX_FixedPartMessage::TimeLimit() const { return hx::wire::LoadLe32(timeLimit); }

void HX_FixedPartMessage::SetHeaderLength(uint16_t length) { hx::wire::StoreLe16(headerLength, length); }

void HX_FixedPartMessage::SetBodyLength(uint32_t length) {
  hx::wire::StoreLe24(bodyLengthMinusOne, length - 1);
}

void HX_FixedPartMessage::SetSequence(uint32_t value) { hx::wire::StoreLe32(sequence, value); }

void HX_FixedPartMessage::SetTimeLimit(uint32_t value) { hx::wire::StoreLe32(timeLimit, value); }

void HX_CalcMessageCksums(HX_FixedPartMessage* message) {
  if (message == nullptr) return;
  message->bodyCksum = ComputeBodyCksum(*message);
  message->headerCksum = ComputeHeaderCksum(*message);
}

bool HX_CheckHeaderCksum(const HX_FixedPartMessage* message) {
  return message != nullptr && ComputeHeaderCksum(*message) == message->headerCksum;
}

bool HX_CheckMessageCksums(const HX_FixedPartMessage* message) {
  return message != nullptr && ComputeHeaderCksum(*message) == message->headerCksum &&
         ComputeBodyCksum(*message) == message->bodyCksum;
}
