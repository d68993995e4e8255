#pragma once
// The zero-handshake record: the first bytes either side writes on a fresh TCP connection to the
// server. A 20-byte head names the kind of connection and packs version, two checksums and the body
// length into one word; the body that follows (1 to 8,192 bytes) has a layout of the kind's own.
//
// Every function here reads the whole record: the caller must hold 20 + BodyLength() bytes (a
// receiver reads the head, takes the body length from it and reads the body before any body check).

#include <cstddef>
#include <cstdint>

// The head. It is a plain byte layout (alignment 1), so it can lie over any position of a buffer.
struct HX_ZeroHandshakeFixedPart {
  char primary[16];   // NUL-terminated ASCII name, zero-padded
  uint8_t packed[4];  // little-endian word: bits 0-4 version, 5-12 header checksum,
                      // 13-18 body checksum, 19-31 body length minus one

  uint32_t PackedWord() const;
  void SetPackedWord(uint32_t word);

  uint8_t Version() const;            // bits 0-4
  uint32_t BodyLengthField() const;   // bits 19-31: body length minus one
  uint32_t BodyLength() const;        // 1 to 8,192
  uint32_t RecordLength() const;      // head and body
  uint8_t HeadCksum() const;          // bits 5-12
  uint8_t BodyCksum() const;          // bits 13-18

  // Replace only their own bits of the packed word (values are cut to the field's width).
  void SetVersion(uint8_t version);
  void SetBodyLengthField(uint32_t length_minus_one);
  // Copies at most 15 characters and zero-pads the rest of the field.
  void SetPrimaryField(const char* name);

  uint8_t* Body() { return reinterpret_cast<uint8_t*>(this) + sizeof(*this); }
  const uint8_t* Body() const { return reinterpret_cast<const uint8_t*>(this) + sizeof(*this); }
};
static_assert(sizeof(HX_ZeroHandshakeFixedPart) == 20 && alignof(HX_ZeroHandshakeFixedPart) == 1);

inline constexpr size_t kZeroHandshakeHeadSize = sizeof(HX_ZeroHandshakeFixedPart);
inline constexpr uint32_t kZeroHandshakeMaxBody = 8192;

// Primary field values in use.
inline constexpr char HX_Transport_PrimaryField[] = "_HX_TRANSPORT_";
inline constexpr char HX_Stream_PrimaryField[] = "_HX_STREAMS_";
inline constexpr char HX_Ping_PrimaryField[] = "_HX_PING_";
inline constexpr char HX_CHECK_SRV_PRIMARY_FIELD[] = "CHECK_SRV";

// Computes and stores the body checksum, then the header checksum (which covers the former). The
// primary field, version, body length and body must already be written.
void HX_CalcZeroHandshakeCksums(HX_ZeroHandshakeFixedPart* record);

// True when the stored header checksum matches; reads only the head.
bool HX_CheckZeroHandshakeHeadCksum(const HX_ZeroHandshakeFixedPart* record);
// True when the stored body checksum matches.
bool HX_CheckZeroHandshakeBodyCksum(const HX_ZeroHandshakeFixedPart* record);
// The header check and, only when it passes, the body check.
bool HX_CheckZeroHandshakeCksum(const HX_ZeroHandshakeFixedPart* record);

// Initialiser of this small library: nothing to set up.
bool HX_AcsLibInitial();
