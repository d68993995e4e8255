#include "core/conference/control/command_manager.h"

#include "core/streams/stream_frame_head.h"
#include "core/wire/media_format.h"

namespace {

int32_t Signed(uint32_t value) { return static_cast<int32_t>(value); }

}  // namespace

bool HX_CommandManager::ReceivedCommandProcess() {
  HX_MiscCommand command;
  while (ReadRcvCommand(command, true)) {
    bool known = true;
    const uint8_t answer = Dispatch(command, known);
    if (!ProcessControlBandCommand(command) && !known) return false;
    if (command.mode == HX_CmdMode_Request) {
      command.Reply(answer);
      addCommandInt(command, true);
    }
  }
  while (PopSndCommand(command)) ProcessCommandReplay(command);
  return true;
}

uint8_t HX_CommandManager::Dispatch(const HX_MiscCommand& command, bool& known) {
  const size_t length = command.DataLength();
  conference::ServerBitrateControl control;
  switch (command.code) {
    case 0:
    case HX_Cmd_ChangeSndMFormat:
      return kRefused;
    case HX_Cmd_RequestKeyFrame:
      ProcessForceKeyFrame();
      return kRefused;
    case HX_Cmd_RestrictBitrate:
      if (length != 4) return kRefused;
      ProcessRestrictBitrate(conference::ServerBitrateControl::Uniform(Signed(command.DataU32())));
      return 0;
    case HX_Cmd_SetFpsVsQ:
      return length == 4 ? 0 : kRefused;
    case HX_Cmd_RcvMFormat:
      if (command.mode == HX_CmdMode_Reply && command.result == 0 && length >= 1 && length <= 249) {
        HX_MediaFormat format;
        // A record too short to read changes nothing.
        if (format.Load(command.data, length)) ProcessChangeSndMediaFormat(format);
        return kRefused;
      }
      return command.mode == HX_CmdMode_Request ? 0 : kRefused;
    case kCodeServerRestrict:
      if (length != 8) return kRefused;
      control.baseLimit = control.baseMaxLimit = Signed(command.DataU32(4));
      control.videoLimit = control.dsLimit = control.confLimit = Signed(command.DataU32(0));
      ProcessRestrictBitrate(control);
      return 0;
    case kCodeServerRestrictRecord:
      if (length != 32) return kRefused;
      control.confLimit = Signed(command.DataU32(0));
      control.baseLimit = Signed(command.DataU32(4));
      control.baseMaxLimit = Signed(command.DataU32(8));
      control.videoLimit = Signed(command.DataU32(12));
      control.dsLimit = Signed(command.DataU32(16));
      control.fpsLimit = Signed(command.DataU32(20));
      control.videoResolutionLimit = Signed(command.DataU32(24));
      control.dsResolutionLimit = Signed(command.DataU32(28));
      ProcessRestrictBitrate(control);
      return 0;
    default:
      known = false;
      return kRefused;
  }
}

bool HX_CommandManager::ParseCommandMisc(const HX_StreamFrameHead* head) {
  if (head == nullptr || head->Length() == 0) return false;
  if (head->Length() == 1) {
    ProcessForceKeyFrame();
    return true;
  }
  HX_MiscCommand command;
  command.BrokerStat(head->Payload(), head->Length());
  ProcessControlBandCommand(command);
  return true;
}
