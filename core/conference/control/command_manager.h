#pragma once
// HX_CommandManager: the processor of the stream commands a conference's send stream receives
// (from peers' receive streams and from the server's control band). It drains the received list
// in arrival order, turns each known command into a call of one of the Process operations (which
// the send stream implements), hands every command to the control band, answers requests through
// the to-send list, and finally gives every command waiting to be sent to ProcessCommandReplay,
// which puts it on the wire.
//
// Commands come from the network: a length that does not fit its code, or a media format too
// short to read, makes the command do nothing (requests are still answered, with 0xFF).
//
// Threads: not locked itself. The send stream calls ReceivedCommandProcess and ParseCommandMisc
// with its stream lock held, which serialises them with the list changes of AddCommand.

#include <cstdint>

#include "core/conference/server_bitrate_control.h"
#include "core/streams/stream_command.h"

struct HX_MediaFormat;
struct HX_StreamFrameHead;

class HX_CommandManager : public HX_CmndProc {
 public:
  // Codes only the server sends: a restriction as (conference limit, base limits) and the whole
  // restriction record.
  static constexpr uint8_t kCodeServerRestrict = 11;
  static constexpr uint8_t kCodeServerRestrictRecord = 12;
  static constexpr uint8_t kRefused = 0xFF;

  // Processes every received command, then sends what waits to be sent. False when it stopped
  // at an unknown command that the control band did not take: that command is dropped, the rest
  // stays queued and nothing is sent this time.
  virtual bool ReceivedCommandProcess();
  virtual bool ProcessForceKeyFrame() = 0;
  virtual bool ProcessCommandReplay(const HX_MiscCommand& command) = 0;
  virtual bool ProcessControlBandCommand(const HX_MiscCommand& command) = 0;
  virtual bool ProcessRestrictBitrate(const conference::ServerBitrateControl& control) = 0;
  virtual bool ProcessChangeSndMediaFormat(const HX_MediaFormat& format) = 0;

  // A command frame from a TCP receive stream of the same conference; the caller vouches for the
  // head's payload length of bytes behind it. Length 0 (or no head): false. Length 1 forces a key
  // frame; any other is handed to the control band as a broker-statistics command carrying the
  // payload's first 250 bytes. True.
  bool ParseCommandMisc(const HX_StreamFrameHead* head);

 private:
  // Acts on one received command; `known` is false for codes this manager does not handle.
  // Returns the answer result for a request.
  uint8_t Dispatch(const HX_MiscCommand& command, bool& known);
};
