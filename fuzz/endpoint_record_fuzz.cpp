// Reads stored endpoints and endpoint list blobs. Each input runs as received and with its
// checksums made right (the blob's and, inside it, every record's), so that mutated records reach
// the field parsing. Every endpoint read must store and read back to the same type, host and port.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/wire/endpoint_record.h"

namespace {

uint32_t Load32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void Store32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Seal(uint8_t* data, size_t length) {
  if (length < 4) return;
  uint32_t sum = static_cast<uint32_t>((length >> 2) + (length & 3)) + 0x3D141591u;
  size_t i = 4;
  for (; i + 4 <= length; i += 4) sum += Load32(data + i);
  for (; i < length; ++i) sum += data[i];
  Store32(data, sum);
}

// Seals the records of a list blob as far as their sizes lead, then the blob itself.
void SealBlob(uint8_t* data, size_t length) {
  for (uint64_t offset = 8; offset + 4 < length;) {
    const uint64_t record_size = Load32(data + offset);
    if (record_size == 0 || offset + 4 + record_size > length) break;
    Seal(data + offset + 4, record_size);
    offset += 4 + record_size;
  }
  Seal(data, length);
}

void CheckRoundTrip(const HX_Endpoint& endpoint) {
  size_t size = 0;
  endpoint.Serialize(nullptr, size);
  if (size == 0) return;  // a field too long to store
  std::vector<uint8_t> stored(size);
  if (!endpoint.Serialize(stored.data(), size)) std::abort();
  HX_Endpoint back(nullptr, endpoint.GetType());
  if (!back.Deserialize(stored.data(), stored.size()) || !back.isEqTypeHostPort(endpoint) ||
      std::strcmp(back.GetProtocol(), endpoint.GetProtocol()) != 0)
    std::abort();
}

void ReadCopy(const uint8_t* data, size_t size, void (*seal)(uint8_t*, size_t)) {
  // A heap copy of exactly the input, so that any read past it is seen.
  auto* copy = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(copy, data, size);
  if (seal != nullptr) seal(copy, size);
  if (auto endpoint = HX_Endpoint::Factory(copy, size, true)) CheckRoundTrip(*endpoint);
  for (const auto& endpoint : HX_Endpoint::Factory("fuzz", copy, size, true)) CheckRoundTrip(*endpoint);
  for (const auto& endpoint : HX_Endpoint::Factory("fuzz", copy, size, false)) CheckRoundTrip(*endpoint);
  std::free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadCopy(data, size, nullptr);
  ReadCopy(data, size, Seal);
  ReadCopy(data, size, SealBlob);
  return 0;
}
