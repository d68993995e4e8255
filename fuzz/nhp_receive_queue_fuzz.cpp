// The UDP receive queue fed arbitrary packets, commands and clock steps, with feedback on and
// off, drained into small buffers. Input: a list of operations, each an op byte and its bytes:
//   0 n bytes: a packet of n bytes | 1 n bytes: a command of n bytes | 2 lo hi: clock step (ms)
//   3 c: drain into a buffer of c × 16 bytes | 4: statistics
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/streams/nhp_receive_queue.h"

namespace {

class Sink : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool) override {
    if (command.CommandSize() > 254) std::abort();
    ++count;
    return true;
  }
  size_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int64_t now = (data[0] & 0x80) ? (int64_t{1} << 32) - 3000 : 0;
  HX_ReceiveFrameQueueNhp queue(true, (data[0] & 1) ? 2 : 0, (data[0] & 2) != 0,
                                [&now] { return now; });
  auto sink = std::make_shared<Sink>();
  queue.setCmndProc(sink);
  size_t at = 1;
  std::vector<uint8_t> buffer;
  while (at < size) {
    const uint8_t op = data[at++] % 5;
    if (op == 0 || op == 1) {
      if (at >= size) break;
      const size_t wanted = data[at++];
      const size_t n = std::min(wanted, size - at);
      if (op == 0) {
        queue.Add(data + at, n);
      } else {
        queue.SetReceivedCommand(HX_MiscCommand(data + at, n));
      }
      at += n;
    } else if (op == 2) {
      if (at + 2 > size) break;
      now += data[at] | (data[at + 1] << 8);
      at += 2;
    } else if (op == 3) {
      if (at >= size) break;
      const size_t capacity = static_cast<size_t>(data[at++]) * 16;
      buffer.assign(capacity, 0);
      size_t length = 0;
      int type = -1;
      for (int i = 0; i < 1000 && queue.Get(buffer.data(), capacity, length, type); ++i) {
        if (length > capacity || type < 0 || type > 3) std::abort();
      }
    } else {
      uint32_t jitter, lost;
      queue.GetStatistics(jitter, lost);
    }
  }
  return 0;
}
