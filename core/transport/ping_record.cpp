#include "core/transport/ping_record.h"

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"
#include "core/wire/name_hash.h"
#include "core/wire/zero_handshake.h"

namespace hx::ping {

namespace {

constexpr char kConference[] = "Conference";
constexpr char kFrom[] = "From";
constexpr char kTo[] = "To";
constexpr char kReqVersion[] = "ReqBodyVersion";
constexpr char kAnsVersion[] = "AnsBodyVersion";

// The key hashes, computed once.
struct KeyHashes {
  uint32_t conference = NameHash(kConference);
  uint32_t from = NameHash(kFrom);
  uint32_t to = NameHash(kTo);
  uint32_t req = NameHash(kReqVersion);
  uint32_t ans = NameHash(kAnsVersion);
};

const KeyHashes& Keys() {
  static const KeyHashes keys;
  return keys;
}

}  // namespace

void FormRecord(HXNetMessage& out, bool request, int32_t& content_version,
                const std::string& conference, const std::string& from, const std::string& to) {
  uint8_t* serialised = nullptr;
  size_t n = 0;
  if (content_version > 0) {
    HX_Container container;
    const bool built = container.AddValue(kConference, conference.c_str()) &&
                       container.AddValue(kFrom, from.c_str()) &&
                       container.AddValue(kTo, to.c_str()) &&
                       container.AddValue(request ? kReqVersion : kAnsVersion, content_version);
    if (!built || !container.SerializeAlloc(serialised, n)) n = 0;
  }
  // A container the 13-bit length field cannot announce goes as no container at all: the field
  // would wrap and the peer would read a wrong body.
  if (n == 0 || n > kMaxContainer) {
    n = 0;
    if (content_version > 0) content_version = 0;
  }
  out.setSize(0);
  out.setSize(kHeadSize + n);
  std::memset(out.buffer(), 0, kHeadSize + n);
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(out.buffer());
  record->SetPrimaryField(HX_Ping_PrimaryField);
  record->SetVersion(1);
  if (n > 0) std::memcpy(record->Body(), serialised, n);
  std::free(serialised);
  // The body is the container and one 0 byte; the field holds the body length minus one.
  record->SetBodyLengthField(static_cast<uint32_t>(n));
  HX_CalcZeroHandshakeCksums(record);
}

int32_t ParseFixedPart(const uint8_t* bytes, size_t count, bool head_only, size_t& need,
                       int32_t& result) {
  need = kHeadSize;
  if (count < kHeadSize) return 0;
  const auto* record = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(bytes);
  if (!HX_CheckZeroHandshakeHeadCksum(record)) {
    result = kResultHeadCksum;
    return -1;
  }
  if (head_only) return 1;
  // The field need not end in a 0 byte: compare within its 16 bytes only.
  const size_t primary_length = strnlen(record->primary, sizeof record->primary);
  if (primary_length != std::strlen(HX_Ping_PrimaryField) ||
      std::memcmp(record->primary, HX_Ping_PrimaryField, primary_length) != 0) {
    result = kResultPrimaryField;
    return -1;
  }
  need = record->RecordLength();
  if (count < need) return 0;
  if (!HX_CheckZeroHandshakeCksum(record)) {
    result = kResultCksum;
    return -1;
  }
  return 1;
}

bool ParseBody(const uint8_t* body, size_t size, bool request, Fields& fields, int32_t& result) {
  HX_Container container;
  if (!container.Deserialize(body, size)) {
    result = kResultBody;
    return false;
  }
  const KeyHashes& keys = Keys();
  fields = Fields{};
  container.Reset();
  while (container.Next()) {
    const uint32_t hash = NameHash(container.GetName());
    const uint8_t type = container.GetType();
    bool ok = false;
    if (hash == keys.conference || hash == keys.from || hash == keys.to) {
      std::string text;
      ok = type == HX_CNT_STRING_VT && container.GetValue(text);
      if (ok) {
        std::string& field = hash == keys.conference ? fields.conference
                             : hash == keys.from     ? fields.from
                                                     : fields.to;
        field = std::move(text);
      }
    } else if ((request && hash == keys.req) || (!request && hash == keys.ans)) {
      ok = type == HX_CNT_INTEGER_VT && container.GetValue(fields.version);
    }
    if (!ok) {
      result = kResultUnknownKey;
      return false;
    }
  }
  return true;
}

}  // namespace hx::ping
