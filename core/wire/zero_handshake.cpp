#include "core/wire/zero_handshake.h"

#include <cstring>

#include "core/wire/little_endian.h"

namespace {

constexpr uint32_t kVersionMask = 0x1F;
constexpr int kHeadCksumShift = 5;
constexpr uint32_t kHeadCksumMask = 0xFFu << kHeadCksumShift;
constexpr int kBodyCksumShift = 13;
constexpr uint32_t kBodyCksumMask = 0x3Fu << kBodyCksumShift;
constexpr int kLengthShift = 19;
constexpr uint32_t kLengthMask = 0x1FFFu << kLengthShift;

// Every third body byte from the first, each less its record offset, modulo 64.
uint8_t ComputeBodyCksum(const HX_ZeroHandshakeFixedPart& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  const uint32_t last = kZeroHandshakeHeadSize + record.BodyLengthField();
  uint32_t sum = 0xCA;
  for (uint32_t offset = kZeroHandshakeHeadSize; offset <= last; offset += 3) sum += bytes[offset] - offset;
  return static_cast<uint8_t>(sum & 0x3F);
}

// Covers version, length, body checksum and primary field, so the body checksum is stored first.
uint8_t ComputeHeadCksum(const HX_ZeroHandshakeFixedPart& record) {
  uint32_t sum = 0xAC + record.Version() + record.BodyLengthField() + record.BodyCksum();
  for (char c : record.primary) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(sum);
}

}  // namespace

uint32_t HX_ZeroHandshakeFixedPart::PackedWord() const { return hx::wire::LoadLe32(packed); }

void HX_ZeroHandshakeFixedPart::SetPackedWord(uint32_t word) { hx::wire::StoreLe32(packed, word); }

uint8_t HX_ZeroHandshakeFixedPart::Version() const {
  return static_cast<uint8_t>(PackedWord() & kVersionMask);
}

uint32_t HX_ZeroHandshakeFixedPart::BodyLengthField() const {
  return (PackedWord() & kLengthMask) >> kLengthShift;
}

uint32_t HX_ZeroHandshakeFixedPart::BodyLength() const { return BodyLengthField() + 1; }

uint32_t HX_ZeroHandshakeFixedPart::RecordLength() const {
  return static_cast<uint32_t>(kZeroHandshakeHeadSize) + BodyLength();
}

uint8_t HX_ZeroHandshakeFixedPart::HeadCksum() const {
  return static_cast<uint8_t>((PackedWord() & kHeadCksumMask) >> kHeadCksumShift);
}

uint8_t HX_ZeroHandshakeFixedPart::BodyCksum() const {
  return static_cast<uint8_t>((PackedWord() & kBodyCksumMask) >> kBodyCksumShift);
}

void HX_ZeroHandshakeFixedPart::SetVersion(uint8_t version) {
  SetPackedWord((PackedWord() & ~kVersionMask) | (version & kVersionMask));
}

void HX_ZeroHandshakeFixedPart::SetBodyLengthField(uint32_t length_minus_one) {
  SetPackedWord((PackedWord() & ~kLengthMask) | ((length_minus_one << kLengthShift) & kLengthMask));
}

void HX_ZeroHandshakeFixedPart::SetPrimaryField(const char* name) {
  std::memset(primary, 0, sizeof(primary));
  if (name != nullptr) std::memcpy(primary, name, strnlen(name, sizeof(primary) - 1));
}

void HX_CalcZeroHandshakeCksums(HX_ZeroHandshakeFixedPart* record) {
  if (record == nullptr) return;
  const uint32_t body_cksum = ComputeBodyCksum(*record);
  record->SetPackedWord((record->PackedWord() & ~kBodyCksumMask) | (body_cksum << kBodyCksumShift));
  const uint32_t head_cksum = ComputeHeadCksum(*record);
  record->SetPackedWord((record->PackedWord() & ~kHeadCksumMask) | (head_cksum << kHeadCksumShift));
}

bool HX_CheckZeroHandshakeHeadCksum(const HX_ZeroHandshakeFixedPart* record) {
  return record != nullptr && ComputeHeadCksum(*record) == record->HeadCksum();
}

bool HX_CheckZeroHandshakeBodyCksum(const HX_ZeroHandshakeFixedPart* record) {
  return record != nullptr && ComputeBodyCksum(*record) == record->BodyCksum();
}

bool HX_CheckZeroHandshakeCksum(const HX_ZeroHandshakeFixedPart* record) {
  return HX_CheckZeroHandshakeHeadCksum(record) && HX_CheckZeroHandshakeBodyCksum(record);
}

bool HX_AcsLibInitial() { return true; }
