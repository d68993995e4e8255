#pragma once
// The 16-byte fixed part that starts every transport message, and the two message checksums.
//
//   0  flags: bits 0-4 version, 0x20 notify, 0x40 request, 0x80 always set
//   1  header checksum
//   2  header length H (u16): the fixed part plus the nine encoded names
//   4  body checksum
//   5  body length minus one (24 bits)
//   8  sequence number (u32)
//  12  time limit (u32)
//
// The names follow up to H, the body from H; the whole message is H + body length bytes. The
// checksum functions read the whole message: the caller must hold all of its bytes.

#include <cstddef>
#include <cstdint>

// A plain byte layout (alignment 1), so it can lie over any position of a receive buffer.
struct HX_FixedPartMessage {
  static constexpr uint8_t kVersionMask = 0x1F;
  static constexpr uint8_t kNotifyFlag = 0x20;
  static constexpr uint8_t kRequestFlag = 0x40;
  static constexpr uint8_t kAlwaysSetFlag = 0x80;
  static constexpr uint32_t kMaxBodyLength = 1u << 24;

  uint8_t flags;
  uint8_t headerCksum;
  uint8_t headerLength[2];
  uint8_t bodyCksum;
  uint8_t bodyLengthMinusOne[3];
  uint8_t sequence[4];
  uint8_t timeLimit[4];

  uint16_t HeaderLength() const;
  uint32_t BodyLengthField() const;  // body length minus one
  uint32_t BodyLength() const;       // 1 to 16,777,216
  uint64_t MessageLength() const;    // header length plus body length
  uint32_t Sequence() const;
  uint32_t TimeLimit() const;

  void SetHeaderLength(uint16_t length);
  void SetBodyLength(uint32_t length);  // 1 to 16,777,216
  void SetSequence(uint32_t value);
  void SetTimeLimit(uint32_t value);

  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this); }
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(this); }
};
static_assert(sizeof(HX_FixedPartMessage) == 16 && alignof(HX_FixedPartMessage) == 1);

// Computes and stores the body checksum, then the header checksum (which covers the former).
// Neither covers the notify bit nor the time limit, so those may change afterwards.
void HX_CalcMessageCksums(HX_FixedPartMessage* message);

// True when both stored checksums match; the body checksum is only checked after the header's.
bool HX_CheckMessageCksums(const HX_FixedPartMessage* message);

// True when the stored header checksum matches; reads the header only (HeaderLength() bytes), so
// a header can be checked before its body has arrived.
bool HX_CheckHeaderCksum(const HX_FixedPartMessage* message);
