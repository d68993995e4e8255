// The stored benchmark record ("SysBenchmark" in the settings file) read from any bytes: it is
// either the never-measured record or one the benchmark could have written (every field follows
// from the score), it writes back to bytes that read the same, and reading never goes past the
// bytes given.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/format/sys_performance_state.h"
#include "core/media/format/video_levels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kn_VideoLevelCaps levels;
  // A copy of exactly the bytes given, so that AddressSanitizer sees any read beyond them.
  const std::vector<uint8_t> bytes(data, data + size);
  const HX_SysPerformanceState read = HX_SysPerformanceState::FromBytes(bytes.data(), bytes.size());
  if (size != HX_SysPerformanceState::kBytes && !(read == HX_SysPerformanceState())) std::abort();
  if (read.score < 0 || read.score > HX_SysPerformanceState::kMaxScore) std::abort();
  const bool neverMeasured = read == HX_SysPerformanceState();
  if (!neverMeasured && !(read == HX_SysPerformanceState::FromScore(read.score, read.duration, levels))) {
    std::abort();
  }
  uint8_t written[HX_SysPerformanceState::kBytes];
  read.ToBytes(written);
  if (!(HX_SysPerformanceState::FromBytes(written, sizeof(written)) == read)) std::abort();
  return 0;
}
