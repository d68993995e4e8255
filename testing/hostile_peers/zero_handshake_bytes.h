#pragma once
// Zero-handshake records written byte by byte, on a code path of their own: hostile peers use
// these to build valid records and to break them on purpose (cut, lying lengths and checksums,
// wrong primary fields, garbage), and to read what the client sends back. Nothing here calls the
// client's framing code, so that a mistake there cannot hide a mistake in the peer.
//
// A record is a 16-byte primary field, a little-endian packed word (bits 0-4 version, 5-12 head
// checksum, 13-18 body checksum, 19-31 body length minus one) and the body.
//
// Threads: plain functions over values; safe anywhere.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hx::hostile {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kHeadSize = 20;

// The packed word of a record (at least 20 bytes).
uint32_t Word(const Bytes& record);
void SetWord(Bytes& record, uint32_t word);
uint32_t VersionField(uint32_t word);
uint32_t HeadCksumField(uint32_t word);
uint32_t BodyCksumField(uint32_t word);
uint32_t LengthField(uint32_t word);  // body length minus one

// The checksums of `record` as they should be for its stored version and length; the body
// checksum reads the body bytes, which must all be in `record`.
uint8_t ComputeBodyCksum(const Bytes& record);
uint8_t ComputeHeadCksum(const Bytes& record, uint8_t body_cksum);
// Writes both checksums into the word (the body must be complete).
void Seal(Bytes& record);
// Writes only the head checksum, computed with the body checksum that is stored: a head that
// passes while its body (absent or lying) is not vouched for.
void SealHeadOnly(Bytes& record);

// A sealed record: primary field (cut or padded to 16 bytes, no NUL added beyond 16), version,
// body of 1 to 8,192 bytes.
Bytes MakeRecord(const std::string& primary, uint32_t version, const Bytes& body);
// A record whose length field claims `claimed_body` bytes while `body` is what follows; the head
// checksum is right for the claimed length, the body checksum covers what is there (or 0).
Bytes MakeLyingRecord(const std::string& primary, uint32_t version, uint32_t claimed_body,
                      const Bytes& body);

// What a peer reads back from the client.
struct Record {
  std::string primary;  // up to the first NUL of the 16 bytes
  uint32_t version = 0;
  Bytes body;
  bool headOk = false;
  bool bodyOk = false;
  Bytes raw;
};
// Parses a whole record from `bytes` (exactly 20 + body length bytes expected at the front).
std::optional<Record> ParseRecord(const Bytes& bytes);

// Ping bodies: a serialised container of Conference, From, To and the version key, followed by
// one 0 byte; the length field then holds the container's size.
Bytes PingBody(const std::string& conference, const std::string& from, const std::string& to,
               const std::string& version_key, int32_t version);
// The names a ping body carries; nullopt when the body is not a container.
struct PingNames {
  std::string conference, from, to;
  std::optional<int32_t> reqVersion, ansVersion;
  size_t entries = 0;
};
std::optional<PingNames> ReadPingBody(const Bytes& body);

// "CHECK_SRV" answer: 33 bytes with the end-point count and the CPU load.
Bytes CheckSrvAnswer(uint32_t ep_count, uint32_t cpu, const std::string& primary = "CHECK_SRV");

// Stream handshake bodies. A mask is 32 bytes, track i at bit i % 8 of byte i / 8.
Bytes TrackMask(const std::vector<unsigned>& tracks);
struct StreamRequestFields {
  uint8_t role = 0;  // 0 sender, 1 receiver
  std::string conference = "cf";
  std::string streamId = "s";
  std::string peerId = "p";
  std::string name = "s";
  uint8_t count = 5;
  std::optional<Bytes> mask = TrackMask({1, 2, 5, 254, 255});
};
Bytes StreamRequestBody(const StreamRequestFields& fields);
Bytes StreamResponseBody(uint8_t flag, uint8_t count, const std::optional<Bytes>& mask);

}  // namespace hx::hostile
