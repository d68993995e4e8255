#include "core/wire/transport_handshake.h"

#include <cstdlib>
#include <cstring>

#include "core/wire/little_endian.h"
#include "core/wire/wire_text.h"

namespace {

constexpr size_t kMaxClientIdLength = 255;
constexpr size_t kMaxSecondNameLength = 64;
constexpr uint8_t kRequestVersion = 9;
constexpr uint8_t kNamesPresentBit = 8;
constexpr uint8_t kSecureBit = 16;
constexpr uint32_t kReplyFixedBody = 5;  // result, idle time-out, two 8-bit values

// Reads a name (length byte, text, NUL) at `*offset` of a body of `body_length` bytes; on success
// points `text` at it and moves `*offset` past its NUL.
bool ReadName(const uint8_t* body, uint32_t body_length, uint32_t* offset, const char** text) {
  uint64_t nul = 0;
  if (!hx::wire::FindWireTextEnd(body, body_length, *offset, &nul)) return false;
  *text = reinterpret_cast<const char*>(body + *offset + 1);
  *offset = static_cast<uint32_t>(nul + 1);
  return true;
}

}  // namespace

HX_ZeroHandshakeFixedPart* HX_FormTransportHandshake(const char* clientId, const char* secondName,
                                                     uint8_t value, bool secureRequested,
                                                     bool keepAlive) {
  const size_t id_length = clientId == nullptr ? 0 : strnlen(clientId, kMaxClientIdLength + 1);
  const size_t second_length = secondName == nullptr ? 0 : strnlen(secondName, kMaxSecondNameLength + 1);
  if (id_length > kMaxClientIdLength || second_length > kMaxSecondNameLength) return nullptr;

  const size_t body_length = id_length + second_length + 6;
  auto* record = static_cast<HX_ZeroHandshakeFixedPart*>(std::calloc(1, kZeroHandshakeHeadSize + body_length));
  if (record == nullptr) return nullptr;
  record->SetPrimaryField(HX_Transport_PrimaryField);
  record->SetVersion(static_cast<uint8_t>(kRequestVersion + (secureRequested ? kSecureBit : 0)));
  record->SetBodyLengthField(static_cast<uint32_t>(body_length - 1));
  uint8_t* out = hx::wire::WriteWireText(record->Body(), clientId, id_length);
  out = hx::wire::WriteWireText(out, secondName, second_length);
  out[0] = value;
  out[1] = keepAlive ? 1 : 0;
  HX_CalcZeroHandshakeCksums(record);
  return record;
}

bool HX_TransformTransportReplyHandshake(const HX_ZeroHandshakeFixedPart* reply, uint8_t& result,
                                         uint16_t& idleTimeout, uint8_t& value1, uint8_t& value2,
                                         const char*& firstName, const char*& secondName,
                                         bool& secure, bool& keepAlive) {
  if (reply == nullptr || !HX_CheckZeroHandshakeCksum(reply)) return false;
  // The name and its NUL; the field need not hold a NUL at all, so no string function reads it.
  if (std::memcmp(reply->primary, HX_Transport_PrimaryField, sizeof(HX_Transport_PrimaryField)) != 0) return false;
  const uint8_t version = reply->Version();
  const uint32_t body_length = reply->BodyLength();
  if (version == 0 || body_length <= kReplyFixedBody) return false;

  const uint8_t* body = reply->Body();
  const char* names[2] = {nullptr, nullptr};
  uint32_t offset = kReplyFixedBody;
  for (const char*& name : names) {
    if (offset < body_length && !ReadName(body, body_length, &offset, &name)) return false;
  }
  keepAlive = offset < body_length && body[offset] != 0;
  secure = (version & kSecureBit) != 0;
  result = body[0];
  idleTimeout = hx::wire::LoadLe16(body + 1);
  value1 = body[3];
  value2 = body[4];

  firstName = nullptr;
  secondName = nullptr;
  if ((version & kNamesPresentBit) == 0) return true;
  if (names[1] == nullptr) return false;
  firstName = names[0];
  secondName = names[1];
  return true;
}

bool HX_GetKeepAliveSupport() { return false; }
