// The zero-handshake ping's record reader: the fixed part (head only and whole) and the body read
// as a request and as an answer, each from a buffer of exactly the bytes held. Inputs run as
// received and with their checksums made right; a body that reads must form back into a record
// that reads to the same fields.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/transport/ping_record.h"
#include "core/wire/zero_handshake.h"

namespace {

void Read(std::vector<uint8_t> bytes) {
  size_t need = 0;
  int32_t result = 0;
  (void)hx::ping::ParseFixedPart(bytes.data(), bytes.size(), true, need, result);
  if (hx::ping::ParseFixedPart(bytes.data(), bytes.size(), false, need, result) != 1) return;
  const auto* record = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(bytes.data());
  const uint32_t n = record->BodyLengthField();
  if (n == 0) return;
  std::vector<uint8_t> body(record->Body(), record->Body() + n);
  for (bool request : {true, false}) {
    hx::ping::Fields fields;
    if (!hx::ping::ParseBody(body.data(), body.size(), request, fields, result)) continue;
    HXNetMessage out;
    int32_t version = fields.version > 0 ? fields.version : 1;
    const int32_t sent_version = version;
    hx::ping::FormRecord(out, request, version, fields.conference, fields.from, fields.to);
    std::vector<uint8_t> formed(out.buffer(), out.buffer() + out.size());
    if (hx::ping::ParseFixedPart(formed.data(), formed.size(), false, need, result) != 1) {
      std::abort();
    }
    const auto* again = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(formed.data());
    if (version == 0) continue;  // too large for a container: sent without one
    hx::ping::Fields back;
    if (!hx::ping::ParseBody(again->Body(), again->BodyLengthField(), request, back, result) ||
        back.conference != fields.conference || back.from != fields.from || back.to != fields.to ||
        back.version != sent_version) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  Read(bytes);
  if (size >= kZeroHandshakeHeadSize) {
    auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
    if (record->RecordLength() <= size) {
      bytes.resize(record->RecordLength());
      HX_CalcZeroHandshakeCksums(reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data()));
      Read(bytes);
    }
  }
  return 0;
}
