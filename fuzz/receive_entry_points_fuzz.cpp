// The receive stream's entry points for what its net handler takes off the network: a data
// payload (a 2-byte value, then the data) and a stream command read from arbitrary bytes. The
// payload sits in a buffer of exactly its size, so that a read past it shows; a data payload is
// handed on only when it holds its value, with exactly the bytes behind it; a command is taken
// only as a format announcement or an accepted send-format change.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/streams/receiver_base.h"
#include "core/streams/stream_command.h"

namespace {

struct Sink {
  size_t expected = 0;
  int calls = 0;
  void OnData(int zero, const uint8_t* bytes, size_t size) {
    if (zero != 0 || size != expected || (size != 0 && bytes == nullptr)) std::abort();
    ++calls;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HX_ReceiverBase receiver("peer@fuzz", "me@fuzz");
  const size_t n = size > UINT16_MAX ? UINT16_MAX : size;
  std::unique_ptr<uint8_t[]> packet(new uint8_t[n == 0 ? 1 : n]);
  if (n != 0) std::memcpy(packet.get(), data, n);

  Sink sink;
  sink.expected = n >= 2 ? n - 2 : 0;
  receiver.dataReceivedSignal.Connect(&sink, &Sink::OnData);
  if (!receiver.ProcessRecvDataPacket(packet.get(), static_cast<uint16_t>(n))) std::abort();
  const bool carries = n >= 2 && (packet[0] | (packet[1] << 8)) <= 255;
  if (sink.calls != (carries ? 1 : 0)) std::abort();
  receiver.dataReceivedSignal.Disconnect(&sink, &Sink::OnData);

  const HX_MiscCommand command(packet.get(), n);
  const bool format = (command.code == HX_Cmd_RcvMFormat && command.mode == HX_CmdMode_Info) ||
                      (command.code == HX_Cmd_ChangeSndMFormat &&
                       command.mode == HX_CmdMode_Reply && command.result == 0);
  if (receiver.ProcessCommand(command) != format) std::abort();
  return 0;
}
