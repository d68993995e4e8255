#pragma once
// The request and notification signals of the send and receive streams. A stream asks for its
// devices, codecs and helpers by emitting a request whose last argument is the shared pointer to
// fill, and reports its start, stop, statistics and release the same way; the conference's stream
// control connects each signal to the meeting tools' operation of the same meaning
// (HX_SenderStreamCtl::initSender, HX_ReceiversStreamPoolCtl::initReceiver). The argument types
// are those of the meeting tools' operations (core/client/meeting_tools.h), so that each signal
// takes its operation as a delegate.
//
// Threads: as hx::Signal: emissions from the stream's threads; connecting and disconnecting only
// while the stream does not emit (before it starts, after its shutdown).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/signal.h"
#include "core/conference/conference_type.h"
#include "core/transport/handshake_manager.h"

class AudioCodecBase;
class CVideoSinc;
class HXAudioRecordBase;
class HXVideoRenderBase;
class HX_AudioCodecFactory;
class HX_AudioConnector;
class HX_AudioPlaybackBase;
class HX_CaptureSlotFile;
class HX_MediaFormatManagerAdapter;
class HX_RecordPeerProxyBase;
class HX_VideoCaptureSlotBase;
class HX_VideoDecoderBase;
class HX_VideoEncoderBase;
class HX_ClientCaps;
struct HX_MediaFormat;

// (role 1 sender / 2 receiver, result, conference id, peer id): a stream could not connect.
using HX_StreamUnavailableSignal = hx::Signal4<HX_StreamClient_Type, hx::NetHandshakeConnectResult,
                                               const std::string&, const std::string&>;

class HX_SenderSignals {
 public:
  hx::Signal2<const HX_ClientCaps&, std::shared_ptr<AudioCodecBase>&> requestAudioEncoderSignal;
  hx::Signal2<const HX_MediaFormat&, std::shared_ptr<AudioCodecBase>&>
      requestAudioEncoderForFormatSignal;
  hx::Signal2<const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&> requestMicrophoneSignal;
  hx::Signal2<const HX_ClientCaps&, std::shared_ptr<HX_VideoEncoderBase>&>
      requestVideoEncoderSignal;
  hx::Signal2<const HX_ClientCaps&, std::shared_ptr<HX_CaptureSlotFile>&> requestVideoSourceSignal;
  hx::Signal2<const HX_ClientCaps&, std::shared_ptr<HX_VideoCaptureSlotBase>&>
      requestCaptureSlotSignal;
  // (name, always empty, caps, connector)
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<HX_AudioConnector>&>
      requestAudioConnectorSignal;
  // (sender id, proxy)
  hx::Signal2<const char*, std::shared_ptr<HX_RecordPeerProxyBase>&> requestRecordProxySignal;
  hx::Signal1<std::shared_ptr<HX_CaptureSlotFile>&> releaseVideoSourceSignal;
  hx::Signal1<std::shared_ptr<HX_VideoCaptureSlotBase>&> releaseCaptureSlotSignal;
  // Nothing is connected to it by the conference.
  hx::Signal1<std::shared_ptr<HX_RecordPeerProxyBase>&> releaseRecordProxySignal;
  hx::Signal0<> hardwareReleasedSignal;
  hx::Signal1<const HX_ClientCaps&> senderStartedSignal;
  hx::Signal0<> senderStoppedSignal;
  // (sender id, receiver id, caps to fill)
  hx::Signal3<const char*, const char*, HX_ClientCaps&> requestMeetingCapsSignal;
  // (bytes sent in total, current rate)
  hx::Signal2<long, unsigned long> sendStatisticsSignal;
  // (pause): lets others pause the camera capture through the sender.
  hx::Signal1<bool> pauseVideoSignal;
  hx::Signal1<std::shared_ptr<HX_MediaFormatManagerAdapter>&> requestMediaAdapterSignal;
};

// Every request names the peer (the stream's sender id) first.
class HX_ReceiverSignals {
 public:
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<HXVideoRenderBase>&>
      requestRendererSignal;
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<HX_AudioPlaybackBase>&>
      requestPlaybackSignal;
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<CVideoSinc>&>
      requestVideoSyncSignal;
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<HX_AudioConnector>&>
      requestAudioConnectorSignal;
  hx::Signal3<const char*, const HX_ClientCaps&, std::shared_ptr<HX_VideoDecoderBase>&>
      requestVideoDecoderSignal;
  hx::Signal1<std::shared_ptr<HX_AudioCodecFactory>&> requestAudioCodecFactorySignal;
  hx::Signal2<const char*, std::shared_ptr<HX_RecordPeerProxyBase>&> requestRecordProxySignal;
  hx::Signal1<const char*> hardwareReleasedSignal;
  hx::Signal2<const char*, const HX_ClientCaps&> receiverStartedSignal;
  // (peer, bytes received in total, current rate)
  hx::Signal3<const char*, long, unsigned long> receiveStatisticsSignal;
  hx::Signal1<const char*> receiverStoppedSignal;
  // (always 0, payload, size): connected by whoever consumes the data track.
  hx::Signal3<int, const uint8_t*, size_t> dataReceivedSignal;
  // (sender id, receiver id, caps to fill)
  hx::Signal3<const char*, const char*, HX_ClientCaps&> requestMeetingCapsSignal;
};
