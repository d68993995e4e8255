// Relay statistics of arbitrary length and content through the TCP send queue's bandwidth
// control, between parts sent and bandwidth requests on a simulated clock. Input: a list of
// operations, each an op byte and its bytes:
//   0 n bytes: a command record of n bytes (any code) | 1 lo hi: clock step (ms)
//   2 lo hi: bandwidth request (kbit/s) | 3 n: a video frame of n × 256 bytes, one part sent
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/streams/stream_command.h"
#include "core/streams/tcp_control_band.h"
#include "core/streams/tcp_send_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int64_t now = 1;
  HX_SendFrameQueueTCPv2 queue([&now] { return now; });
  queue.Reset(1000);
  queue.CalcVideoBandwidth(1000);
  std::vector<uint8_t> frame;
  size_t at = 0;
  while (at < size) {
    const uint8_t op = data[at++] % 4;
    if (op == 0) {
      if (at >= size) break;
      const size_t wanted = data[at++];
      const size_t n = std::min<size_t>(wanted, size - at);
      HX_MiscCommand command(data + at, n);
      command.code = HX_Cmd_BrokerStat;
      queue.ProcessBrokerStatistics(command);
      at += n;
    } else if (op == 3) {
      if (at >= size) break;
      frame.assign(static_cast<size_t>(data[at++]) * 256 + 6, 0x5A);
      queue.AddFrame(2, frame.size(), frame.data(), nullptr, 3);
      if (HX_CommitFrameBase* f = queue.GetFrame()) queue.NextPart(f->CurrentPartSize());
    } else {
      if (at + 2 > size) break;
      const uint32_t v = data[at] | (data[at + 1] << 8);
      at += 2;
      if (op == 1) {
        now += v;
      } else if (queue.CalcVideoBandwidth(static_cast<int>(v)) < 0) {
        std::abort();
      }
    }
  }
  return 0;
}
