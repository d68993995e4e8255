// The UDP send-rate control and its send queue fed arbitrary commands from the peer, send
// records and bandwidth queries on a stepping clock. Input: op byte, then
//   0 n bytes: a command | 1 size lo hi, track: a send record | 2 lo hi: clock step | 3 lo hi:
//   a bandwidth query with that maximum | 4: the data admission test | 5: a frame sent
#include <cstdint>
#include <cstdlib>

#include "core/streams/nhp_control_queue.h"
#include "core/streams/nhp_send_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int64_t now = 0;
  auto clock = [&now] { return now; };
  HX_SendFrameQueueNhp queue(nullptr, 1400, (data[0] & 1) ? 3 : 0, 40, clock);
  HX_ControlQueueNhp control((data[0] & 2) != 0, 1400, clock);
  control.SetSendQueue(&queue);
  size_t at = 1;
  while (at < size) {
    const uint8_t op = data[at++] % 6;
    if (op == 0) {
      if (at >= size) break;
      const size_t wanted = data[at++];
      const size_t n = std::min(wanted, size - at);
      control.SetReceivedCommand(HX_MiscCommand(data + at, n));
      at += n;
    } else if (op == 1) {
      if (at + 3 > size) break;
      control.Add(static_cast<uint64_t>(now), data[at] | (data[at + 1] << 8), data[at + 2], 0, 0);
      at += 3;
    } else if (op == 2 || op == 3) {
      if (at + 2 > size) break;
      const int value = data[at] | (data[at + 1] << 8);
      at += 2;
      if (op == 2) {
        now += value;
      } else if (control.GetVideoBandwidth(value) < 0) {
        std::abort();
      }
    } else if (op == 4) {
      control.IsDataAllowed(4000);
    } else {
      const uint8_t frame[8] = {1, 0, 0, 0, 5, 6, 7, 8};
      queue.AddFrame(2, sizeof frame, frame, nullptr, 3);
      const uint8_t* p;
      size_t n;
      int type, flag;
      while (queue.GetFrame(p, n, type, flag)) queue.MarkFirstAsSend();
    }
  }
  return 0;
}
