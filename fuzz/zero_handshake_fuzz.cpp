// Checks zero-handshake records and parses them as transport handshake replies, from a buffer of
// exactly the record's announced length. Each input runs as received and with its checksums made
// right; a well-formed reply must also survive being formed back into a request.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/wire/transport_handshake.h"

namespace {

void ParseCopy(const uint8_t* data, size_t length, bool fix_checksums) {
  auto* record = static_cast<HX_ZeroHandshakeFixedPart*>(std::malloc(length));
  std::memcpy(record, data, length);
  if (fix_checksums) HX_CalcZeroHandshakeCksums(record);
  (void)HX_CheckZeroHandshakeHeadCksum(record);
  (void)HX_CheckZeroHandshakeBodyCksum(record);
  const bool sound = HX_CheckZeroHandshakeCksum(record);
  if (fix_checksums && !sound) std::abort();

  uint8_t result = 0, value1 = 0, value2 = 0;
  uint16_t idle = 0;
  const char* first = nullptr;
  const char* second = nullptr;
  bool secure = false, keep_alive = false;
  if (HX_TransformTransportReplyHandshake(record, result, idle, value1, value2, first, second, secure,
                                          keep_alive) &&
      first != nullptr) {
    const std::string id(second);
    const std::string server(first);
    // The client keeps at most 64 characters of the server name and 255 of its id.
    HX_ZeroHandshakeFixedPart* request =
        HX_FormTransportHandshake(id.substr(0, 255).c_str(), server.substr(0, 64).c_str(), value1, secure, keep_alive);
    if (request == nullptr || !HX_CheckZeroHandshakeCksum(request)) std::abort();
    std::free(request);
  }
  std::free(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kZeroHandshakeHeadSize) return 0;
  // A receiver reads the head, then exactly the body the head announces.
  const size_t announced = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(data)->RecordLength();
  if (size < announced) return 0;
  ParseCopy(data, announced, false);
  ParseCopy(data, announced, true);
  return 0;
}
