// Feeds arbitrary coded bytes to RCDV_DecodeSafe. The first two input bytes choose how many bytes
// to produce. The portable decoder must give the same result and output, and whatever decodes must
// code back to bytes that decode to the same output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/base/range_coder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t length = size_t{data[0]} << 8 | data[1];
  const uint8_t* coded = data + 2;
  const size_t coded_size = size - 2;
  std::vector<uint8_t> decoded(length);
  const int64_t consumed = RCDV_DecodeSafe(coded, decoded.data(), length, coded_size);
  std::vector<uint8_t> portable(length);
  if (RCDV_DecodeSafePortable(coded, portable.data(), length, coded_size) != consumed) std::abort();
  if (consumed < 0) return 0;
  if (portable != decoded) std::abort();
  if (consumed < 4 || static_cast<uint64_t>(consumed) > coded_size) std::abort();

  std::vector<uint8_t> recoded(2 * length + 4);
  const int64_t written = RCDV_Encode(decoded.data(), length, recoded.data(), recoded.size());
  if (written < 0) return 0;  // the coder may refuse an output beyond twice the input
  std::vector<uint8_t> again(length);
  if (RCDV_DecodeSafe(recoded.data(), again.data(), length, written) != written || again != decoded)
    std::abort();
  return 0;
}
