// A stream command read from arbitrary bytes and from an arbitrary frame head, then copied,
// listed, replied to and read back: its size never exceeds the record and every copy keeps the
// same wire bytes. The command is then processed by the command manager (and the frame parsed as
// a command frame of a TCP receive stream): every reply it sends fits the record and keeps the
// request's size, and the received list is drained.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/conference/control/command_manager.h"
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

// Refuses control-band commands every other time, so that both ways through an unknown command
// are walked.
class Manager : public HX_CommandManager {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    addCommandInt(command, to_send);
    return true;
  }
  bool ProcessForceKeyFrame() override { return true; }
  bool ProcessCommandReplay(const HX_MiscCommand& command) override {
    if (command.CommandSize() > 254 || command.mode != HX_CmdMode_Reply) std::abort();
    ++replies;
    return true;
  }
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override {
    if (command.CommandSize() > 254) std::abort();
    return (++bandCalls % 2) == 0;
  }
  bool ProcessRestrictBitrate(const conference::ServerBitrateControl&) override { return true; }
  bool ProcessChangeSndMediaFormat(const HX_MediaFormat&) override { return true; }

  int replies = 0;
  int bandCalls = 0;
};

void Process(const HX_MiscCommand& command) {
  Manager manager;
  manager.AddCommand(command, false);
  manager.AddCommand(command, false);
  // At most one of the two copies is stopped at (the band accepts every second call).
  manager.ReceivedCommandProcess();
  manager.ReceivedCommandProcess();
  if (manager.ReceivedCount() != 0) std::abort();
}

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
  Process(command);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Check(HX_MiscCommand(data, size));
  if (size >= HX_StreamFrameHead::kSize) {
    // The head's declared length may exceed what follows: hand the reader only a head whose
    // payload is really there, as the frame reader does.
    std::vector<uint8_t> frame(data, data + size);
    const auto* head = reinterpret_cast<const HX_StreamFrameHead*>(frame.data());
    if (head->Length() <= size - HX_StreamFrameHead::kSize) {
      Check(HX_MiscCommand(head));
      Manager manager;
      manager.ParseCommandMisc(head);
    }
  }
  return 0;
}
