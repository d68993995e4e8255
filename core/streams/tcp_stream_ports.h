#pragma once
// What the TCP net handlers need of their streams, as the least interfaces: the send stream's
// first bandwidth guess, and the receive stream's frame entry points together with the
// conference's send stream that some received frames are for. The send and receive streams
// implement them (a handler without a port does nothing for those steps); tests implement them
// with recording fakes.
//
// Threads: a receive port is called from the network loop's thread, in the receive connection's
// notification; it must not wait for the conference's lock while a stream or handler lock is
// held. A send port is called from the hardware steps.

#include <cstddef>
#include <cstdint>

struct HX_MediaFormat;
struct HX_MiscCommand;
struct HX_RecvNhpVideoHeader;
struct HX_StreamFrameHead;

class HX_TcpSendStreamPort {
 public:
  virtual ~HX_TcpSendStreamPort() = default;
  // kbit/s for the send queue's reset before the hardware is acquired.
  virtual uint32_t GetInitialSenderBandwidth() = 0;
};

class HX_TcpReceiveStreamPort {
 public:
  virtual ~HX_TcpReceiveStreamPort() = default;

  // ---- the receive stream
  virtual void AudioFrameReceived(const uint8_t* frame, size_t size) = 0;
  virtual void OnVideoFrameAssembled(const uint8_t* frame, size_t size, int interval,
                                     const HX_RecvNhpVideoHeader* header, bool keyFrame,
                                     bool& keyFrameNeeded) = 0;
  virtual bool ProcessRecvDataPacket(const uint8_t* bytes, uint16_t size) = 0;
  // False when the receive stream does not take the command.
  virtual bool ProcessCommand(const HX_MiscCommand& command) = 0;
  virtual void afterFrameReceived(int count) = 0;
  // The media format the peer announced (the assembler's picture size).
  virtual HX_MediaFormat GetPeerMediaFormat() const = 0;

  // ---- the conference's send stream (each does nothing without one)
  // A received command (AddCommand with toSend false).
  virtual void SenderAddCommand(const HX_MiscCommand& command) = 0;
  virtual void SenderRequestKeyFrame() = 0;
  // A sender-control frame for the send stream's command manager (ParseCommandMisc).
  virtual void SenderParseCommandMisc(const HX_StreamFrameHead* head) = 0;
};
