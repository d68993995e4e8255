// A stream command read from arbitrary bytes and from an arbitrary frame head, then copied,
// listed, replied to and read back: its size never exceeds the record and every copy keeps the
// same wire bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"

namespace {

class Proc : public HX_CmndProc {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    addCommandInt(command, to_send);
    return true;
  }
};

void Check(const HX_MiscCommand& command) {
  if (command.length > 250 || command.CommandSize() > 254) std::abort();
  const HX_MiscCommand copy(command);
  if (std::memcmp(copy.Bytes(), command.Bytes(), command.CommandSize()) != 0) std::abort();
  const HX_MiscCommand reread(command.Bytes(), command.CommandSize());
  if (std::memcmp(reread.Bytes(), command.Bytes(), command.CommandSize()) != 0) std::abort();

  Proc proc;
  proc.AddCommand(command, false);
  HX_MiscCommand out;
  if (!proc.ReadRcvCommand(out, true)) std::abort();
  if (std::memcmp(out.Bytes(), command.Bytes(), command.CommandSize()) != 0) std::abort();
  if (out.mode == HX_CmdMode_Request) {
    out.Reply(0);
    proc.AddCommand(out, true);
    HX_MiscCommand sent;
    if (!proc.PopSndCommand(sent) || sent.mode != HX_CmdMode_Reply) std::abort();
    if (sent.CommandSize() != command.CommandSize()) std::abort();
  }
  (void)command.DataU32(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(HX_MiscCommand(data, size));
  if (size >= HX_StreamFrameHead::kSize) {
    // The head's declared length may exceed what follows: hand the reader only a head whose
    // payload is really there, as the frame reader does.
    std::vector<uint8_t> frame(data, data + size);
    const auto* head = reinterpret_cast<const HX_StreamFrameHead*>(frame.data());
    if (head->Length() <= size - HX_StreamFrameHead::kSize) Check(HX_MiscCommand(head));
  }
  return 0;
}
