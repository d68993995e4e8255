#include "testing/fake_server/handshake_record.h"

#include <cstring>

namespace hx::testing {
namespace {

constexpr size_t kPrimaryFieldSize = 16;

uint32_t PackedWord(const uint8_t* record) {
  return record[16] | (record[17] << 8) | (record[18] << 16) |
         (static_cast<uint32_t>(record[19]) << 24);
}

void StorePackedWord(uint8_t* record, uint32_t word) {
  for (int i = 0; i < 4; ++i) record[16 + i] = static_cast<uint8_t>(word >> (8 * i));
}

// Reads one name (length byte, text, NUL) at `at` inside a body of `size` bytes and moves `at`
// past it; false when it does not fit or its NUL is missing.
bool ReadName(const uint8_t* body, size_t size, size_t& at, std::string& name) {
  if (at >= size) return false;
  const size_t length = body[at];
  const size_t nul = at + 1 + length;
  if (nul >= size || body[nul] != 0) return false;
  name.assign(reinterpret_cast<const char*>(body + at + 1), length);
  at = nul + 1;
  return true;
}

void AppendName(std::vector<uint8_t>& body, const std::string& name) {
  body.push_back(static_cast<uint8_t>(name.size()));
  body.insert(body.end(), name.begin(), name.end());
  body.push_back(0);
}

}  // namespace

uint32_t ZeroHandshakeBodyLength(const uint8_t* head) { return (PackedWord(head) >> 19) + 1; }

uint8_t ZeroHandshakeHeadChecksum(const uint8_t* record) {
  const uint32_t word = PackedWord(record);
  uint32_t sum = 0xAC + (word & 0x1f) + (word >> 19) + ((word >> 13) & 0x3f);
  for (size_t i = 0; i < kPrimaryFieldSize; ++i) sum += record[i];
  return static_cast<uint8_t>(sum);
}

uint8_t ZeroHandshakeBodyChecksum(const uint8_t* record) {
  // Every third body byte from the first, each less its offset in the record.
  const uint32_t last = kZeroHandshakeHeadSize + (PackedWord(record) >> 19);
  uint32_t sum = 0xCA;
  for (uint32_t o = kZeroHandshakeHeadSize; o <= last; o += 3) sum += record[o] - o;
  return static_cast<uint8_t>(sum & 0x3f);
}

std::vector<uint8_t> EncodeZeroHandshake(const std::string& primary_field, uint8_t version,
                                         const std::vector<uint8_t>& body) {
  if (body.empty() || body.size() > kMaxZeroHandshakeBodySize) return {};
  if (primary_field.size() >= kPrimaryFieldSize) return {};
  std::vector<uint8_t> record(kZeroHandshakeHeadSize + body.size());
  std::memcpy(record.data(), primary_field.data(), primary_field.size());
  std::memcpy(record.data() + kZeroHandshakeHeadSize, body.data(), body.size());
  uint32_t word = (version & 0x1f) | (static_cast<uint32_t>(body.size() - 1) << 19);
  StorePackedWord(record.data(), word);
  // The head checksum covers the body checksum, so that one goes first.
  word |= uint32_t{ZeroHandshakeBodyChecksum(record.data())} << 13;
  StorePackedWord(record.data(), word);
  word |= uint32_t{ZeroHandshakeHeadChecksum(record.data())} << 5;
  StorePackedWord(record.data(), word);
  return record;
}

bool DecodeTransportHandshakeRequest(const uint8_t* record, size_t size,
                                     TransportHandshakeRequest& request,
                                     std::vector<std::string>& problems) {
  if (size < kZeroHandshakeHeadSize ||
      size != kZeroHandshakeHeadSize + uint64_t{ZeroHandshakeBodyLength(record)}) {
    problems.push_back("handshake record size does not match its head");
    return false;
  }
  uint8_t expected_primary[kPrimaryFieldSize] = {};
  std::memcpy(expected_primary, kTransportPrimaryField, sizeof(kTransportPrimaryField) - 1);
  if (std::memcmp(record, expected_primary, kPrimaryFieldSize) != 0) {
    problems.push_back("handshake primary field is not \"_HX_TRANSPORT_\" padded with zeros");
  }
  const uint32_t word = PackedWord(record);
  if (((word >> 5) & 0xff) != ZeroHandshakeHeadChecksum(record)) {
    problems.push_back("handshake head checksum mismatch");
  }
  if (((word >> 13) & 0x3f) != ZeroHandshakeBodyChecksum(record)) {
    problems.push_back("handshake body checksum mismatch");
  }
  request.version = word & 0x1f;
  request.secure_requested = (request.version & kHandshakeSecureBit) != 0;
  if ((request.version & ~kHandshakeSecureBit) != 9) {
    problems.push_back("handshake version " + std::to_string(request.version) +
                       ", expected 9 or 25");
  }

  const uint8_t* body = record + kZeroHandshakeHeadSize;
  const size_t body_size = size - kZeroHandshakeHeadSize;
  size_t at = 0;
  if (!ReadName(body, body_size, at, request.client_id) ||
      !ReadName(body, body_size, at, request.second_name) || at + 2 > body_size) {
    problems.push_back("handshake request body cut short");
    return false;
  }
  request.value = body[at];
  request.keep_alive = body[at + 1];
  if (at + 2 != body_size) problems.push_back("handshake request body has trailing bytes");
  if (request.second_name.size() > 64) problems.push_back("handshake second name over 64 bytes");
  if (request.second_name != request.client_id) {
    problems.push_back("handshake second name differs from the client id");
  }
  if (request.value != 0) problems.push_back("handshake 8-bit value is not 0");
  if (request.keep_alive != 0) problems.push_back("handshake asks for keep-alive");
  return true;
}

std::vector<uint8_t> EncodeTransportHandshakeReply(const TransportHandshakeReply& reply) {
  if (reply.server_id.size() > 255 || reply.client_id.size() > 255) return {};
  std::vector<uint8_t> body = {reply.result, static_cast<uint8_t>(reply.idle_timeout_ms),
                               static_cast<uint8_t>(reply.idle_timeout_ms >> 8), reply.value1,
                               reply.value2};
  AppendName(body, reply.server_id);
  AppendName(body, reply.client_id);
  if (reply.keep_alive) body.push_back(*reply.keep_alive);
  const uint8_t version =
      1 | (reply.names_flag ? kHandshakeNamesBit : 0) | (reply.secure ? kHandshakeSecureBit : 0);
  return EncodeZeroHandshake(kTransportPrimaryField, version, body);
}

std::vector<uint8_t> EncodeCheckSrvAnswer(uint32_t end_points, uint32_t cpu_load) {
  std::vector<uint8_t> body(kCheckSrvRecordSize - kZeroHandshakeHeadSize, 0);
  for (int i = 0; i < 4; ++i) {
    body[i] = static_cast<uint8_t>(end_points >> (8 * i));
    body[4 + i] = static_cast<uint8_t>(cpu_load >> (8 * i));
  }
  return EncodeZeroHandshake(kCheckSrvPrimaryField, 1, body);
}

}  // namespace hx::testing
