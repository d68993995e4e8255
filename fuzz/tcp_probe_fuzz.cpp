// The protocol probe's judgement of a connection's first bytes, fed every prefix length of the
// input from a buffer of exactly that length, and once more with the record's checksums made
// right. A verdict that needs more bytes must ask for more than it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/transport/tcp_proto_probe.h"

namespace {

void Judge(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so that the sanitizer sees any read beyond them.
  std::vector<uint8_t> copy(data, data + size);
  size_t need = 0;
  const auto verdict = HXZTcpProtoProbe::ClassifyFirstRecord(copy.data(), copy.size(), need);
  if (verdict == HXZTcpProtoProbe::verdictIncomplete && need <= size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 600) size = 600;
  for (size_t n = 0; n <= size; n += (n < 24 ? 1 : 37)) Judge(data, n);
  Judge(data, size);
  if (size >= kZeroHandshakeHeadSize) {
    std::vector<uint8_t> fixed(data, data + size);
    auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(fixed.data());
    if (record->RecordLength() <= size) {
      HX_CalcZeroHandshakeCksums(record);
      Judge(fixed.data(), fixed.size());
    }
  }
  return 0;
}
