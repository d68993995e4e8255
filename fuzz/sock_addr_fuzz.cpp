// Feeds arbitrary bytes to the readers of serialised addresses. Besides memory safety it checks
// that a form read successfully writes back to the same bytes, and that a failed read asks for
// a sensible length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/net/address/addr_factory.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckFailureLength(size_t length, size_t offered) {
  Check(length == 0 || length == 6 || (length > offered && length <= 21));
}

void FuzzSockAddr(const uint8_t* data, size_t size) {
  HXSockAddr address(ip::Proto::tcp, 4307);
  size_t length = size;
  if (!HXAddrFactory::deserialize(address, data, length)) {
    CheckFailureLength(length, size);
    return;
  }
  Check(length <= size && length == data[0]);
  if (data[1] != 2 || (data[2] != ip::Proto::tcp && data[2] != ip::Proto::udp)) return;
  uint8_t again[32];
  size_t written = sizeof(again);
  Check(HXAddrFactory::serialize(address, again, written));
  Check(written == length && std::memcmp(again, data, length) == 0);
}

void FuzzIpAddress(const uint8_t* data, size_t size) {
  HXIpAddress address;
  size_t length = size;
  if (!HXAddrFactory::deserialize(address, data, length)) {
    CheckFailureLength(length, size);
    return;
  }
  Check(length <= size && !address.empty());
  uint8_t again[32];
  size_t written = sizeof(again);
  Check(HXAddrFactory::serialize(address, again, written));
  const size_t header = data[1] == 1 ? 2 : 5;
  Check(written == length - header + 2);
  Check(std::memcmp(again + 2, data + header, written - 2) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzSockAddr(data, size);
  FuzzIpAddress(data, size);
  return 0;
}
