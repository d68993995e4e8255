#pragma once
// HX_MeetingTools: what the media streams and the conferences ask for instead of creating devices,
// codecs and media helpers themselves (audio playback, the video source, the camera capture slot,
// encoders, decoders, renderers, the audio recorder, the shared audio connector and video
// synchroniser, the codec factory, the media-format adapter, the meeting capabilities), and what
// they report (sender and receiver start and stop, statistics, bit-rate changes, a stream that
// could not be established).
//
// HX_MeetingToolsFactory answers the part that is the same on every platform. It owns the
// registered codec factories and the resampler factory, the one audio connector and the one video
// synchroniser, keeps one shared video source and one shared capture slot until they are released,
// and builds encoders and decoders from a stream's capabilities. The call-flow helper derives from
// it, the client object supplies what needs the client's state (the media-format adapter, the
// meeting capabilities, the own capability record) and the platform's subclass the devices
// (recorder, renderer, the release of the hardware), registering its own codec factories in its
// UpdateEnvironment hook.
//
// Thread safety: the shared video source, capture slot, synchroniser and connector are handed out
// under the factory's lock (its HXMultiLock<2> base); requests come from the network loop and
// from the media threads. Codec factories are registered once during start-up, before any stream
// exists, and are read without the lock.

#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/client/capabilities.h"
#include "core/conference/conference_type.h"
#include "core/transport/handshake_manager.h"
#include "core/wire/client_caps.h"
#include "core/wire/media_format.h"

class AudioCodecBase;
class CVideoSinc;
class HXAudioRecordBase;
class HXVideoRenderBase;
class HX_AudioCodecFactory;
class HX_AudioConnector;
class HX_AudioPlaybackBase;
class HX_AudioResamplerFactory;
class HX_CaptureSlotFile;
class HX_MediaFormatManagerAdapter;
class HX_RecordPeerProxyBase;
class HX_VideoCaptureSlotBase;
class HX_VideoCodecFactory;
class HX_VideoDecoderBase;
class HX_VideoEncoderBase;

class HX_MeetingTools {
 public:
  HX_MeetingTools() = default;
  virtual ~HX_MeetingTools() = default;
  HX_MeetingTools(const HX_MeetingTools&) = delete;
  HX_MeetingTools& operator=(const HX_MeetingTools&) = delete;

  // Each request sets its out pointer, replacing what it held.
  virtual void OnRequestAudioPlayback(const char* peer, const HX_ClientCaps& caps,
                                      std::shared_ptr<HX_AudioPlaybackBase>& player) = 0;
  virtual void OnRequestVideoSource(const HX_ClientCaps& caps,
                                    std::shared_ptr<HX_CaptureSlotFile>& source) = 0;
  virtual void OnRequestVideoCapture(const HX_ClientCaps& caps,
                                     std::shared_ptr<HX_VideoCaptureSlotBase>& capture) = 0;
  virtual void OnRequestMediaManagerAdapter(
      std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) = 0;
  virtual void OnRequestRecordProxySender(const char* name,
                                          std::shared_ptr<HX_RecordPeerProxyBase>& proxy) = 0;
  virtual void OnRequestRecordProxyReceiver(const char* name,
                                            std::shared_ptr<HX_RecordPeerProxyBase>& proxy) = 0;
  virtual void OnReleaseHardwareSender() = 0;
  virtual void OnReleaseHardwareReceiver(const char* peer) = 0;
  virtual void OnReleaseVideoSource(std::shared_ptr<HX_CaptureSlotFile>& source) = 0;
  virtual void OnReleaseVideoCapture(std::shared_ptr<HX_VideoCaptureSlotBase>& capture) = 0;
  // The capability record of the stream from `first` to `second`.
  virtual void OnRequestMeetingCaps(const char* first, const char* second, HX_ClientCaps& caps) = 0;
  virtual void OnSenderStart(const HX_ClientCaps& caps) = 0;
  // (bytes sent in total, current rate): the call-flow helper keeps the statistics.
  virtual void OnSendStatisticsUpdate(long total, unsigned long rate) { (void)total, (void)rate; }
  virtual void OnSenderStop() = 0;
  virtual void OnReceiverStart(const char* peer, const HX_ClientCaps& caps) = 0;
  virtual void OnRecvStatisticsUpdate(const char* peer, long total, unsigned long rate) {
    (void)peer, (void)total, (void)rate;
  }
  virtual void OnReceiverStop(const char* peer) = 0;
  virtual void OnSendBitrateChanged(unsigned bitrate, unsigned low, unsigned up) {
    (void)bitrate, (void)low, (void)up;
  }
  // A stream of conference `sid` (with `peer` for a receiver) could not be established: the
  // call-flow helper ends the call or drops the receiver.
  virtual void OnStreamUnavailable(HX_StreamClient_Type type, hx::NetHandshakeConnectResult result,
                                   const std::string& sid, const std::string& peer) {
    (void)type, (void)result, (void)sid, (void)peer;
  }
  virtual void OnUpdateReciversBitrateInfo(const std::map<std::string, unsigned>& rates) {
    (void)rates;
  }
  virtual void OnUpdateSenderBitrateInfo(unsigned rate) { (void)rate; }
  virtual std::shared_ptr<HX_AudioPlaybackBase> _CreatePlayer(const char* peer,
                                                              const HX_ClientCaps& caps) = 0;
  virtual std::shared_ptr<HX_CaptureSlotFile> _CreateVideoSource(const HX_ClientCaps& caps) = 0;
  virtual std::shared_ptr<HX_VideoCaptureSlotBase> _CreateCapture(const HX_ClientCaps& caps) = 0;
  // The client's own capability record.
  virtual HXCapabilites GetCapabilites() = 0;
  virtual void OnRequestVideoEncoder(const HX_ClientCaps& caps,
                                     std::shared_ptr<HX_VideoEncoderBase>& encoder) = 0;
  virtual void OnRequestAudioRecord(const HX_ClientCaps& caps,
                                    std::shared_ptr<HXAudioRecordBase>& recorder) = 0;
  virtual void OnRequestAudioEncoder(const HX_ClientCaps& caps,
                                     std::shared_ptr<AudioCodecBase>& encoder) = 0;
  virtual void OnRequestAudioEncoder(const HX_MediaFormat& format,
                                     std::shared_ptr<AudioCodecBase>& encoder) = 0;
  virtual void OnRequestVideoRender(const char* peer, const HX_ClientCaps& caps,
                                    std::shared_ptr<HXVideoRenderBase>& render) = 0;
  virtual void OnRequestVideoSync(const char* peer, const HX_ClientCaps& caps,
                                  std::shared_ptr<CVideoSinc>& sync) = 0;
  virtual void OnRequestAudioConnector(const char* peer, const HX_ClientCaps& caps,
                                       std::shared_ptr<HX_AudioConnector>& connector) = 0;
  virtual void OnRequestVideoDecoder(const char* peer, const HX_ClientCaps& caps,
                                     std::shared_ptr<HX_VideoDecoderBase>& decoder) = 0;
  virtual void OnRequestAudioCodecFactory(std::shared_ptr<HX_AudioCodecFactory>& factory) = 0;
};

class HX_MeetingToolsFactory : public HX_MeetingTools, public HXMultiLock<2> {
 public:
  // Makes the audio connector and the video synchroniser and registers the default audio codec,
  // video codec and resampler factories.
  HX_MeetingToolsFactory();
  ~HX_MeetingToolsFactory() override;

  // Each takes ownership of `factory` in place of the registered one (null: none registered).
  void RegisteredAudioCodecFactory(HX_AudioCodecFactory* factory);
  void RegisteredVideoCodecFactory(HX_VideoCodecFactory* factory);
  // Also handed to the audio connector.
  void RegisteredAudioResamplerFactory(HX_AudioResamplerFactory* factory);
  void UnregisteredAudioCodecFactory();
  void UnregisteredVideoCodecFactory();
  void UnregisteredAudioResamplerFactory();
  // The registered objects; the factory keeps ownership.
  HX_VideoCodecFactory* GetVideoCodecFactory() const { return m_videoCodecFactory.get(); }
  HX_AudioCodecFactory* GetAudioCodecFactory() const { return m_audioCodecFactory.get(); }

  // A new player on every call.
  std::shared_ptr<HX_AudioPlaybackBase> CreatePlayer(const char* peer, const HX_ClientCaps& caps);
  // The held video source or capture slot, made with `caps` when none is held.
  std::shared_ptr<HX_CaptureSlotFile> CreateVideoSource(const HX_ClientCaps& caps);
  std::shared_ptr<HX_VideoCaptureSlotBase> CreateCapture(const HX_ClientCaps& caps);

  void OnRequestAudioPlayback(const char* peer, const HX_ClientCaps& caps,
                              std::shared_ptr<HX_AudioPlaybackBase>& player) override;
  void OnRequestVideoSource(const HX_ClientCaps& caps,
                            std::shared_ptr<HX_CaptureSlotFile>& source) override;
  void OnRequestVideoCapture(const HX_ClientCaps& caps,
                             std::shared_ptr<HX_VideoCaptureSlotBase>& capture) override;
  // A new proxy that records nothing, on every call.
  void OnRequestRecordProxySender(const char* name,
                                  std::shared_ptr<HX_RecordPeerProxyBase>& proxy) override;
  void OnRequestRecordProxyReceiver(const char* name,
                                    std::shared_ptr<HX_RecordPeerProxyBase>& proxy) override;
  // Drop the factory's own reference (the caller's stays): the next request makes a new one.
  void OnReleaseVideoSource(std::shared_ptr<HX_CaptureSlotFile>& source) override;
  void OnReleaseVideoCapture(std::shared_ptr<HX_VideoCaptureSlotBase>& capture) override;
  void OnSenderStart(const HX_ClientCaps&) override {}
  void OnSenderStop() override {}
  void OnReceiverStart(const char*, const HX_ClientCaps&) override {}
  void OnReceiverStop(const char*) override {}
  // A player that plays nothing.
  std::shared_ptr<HX_AudioPlaybackBase> _CreatePlayer(const char* peer,
                                                      const HX_ClientCaps& caps) override;
  // A video source with room for one 4:2:0 picture of the caps' send format. A side above 8192
  // (the send format may come from a peer's record) gives the default format's 320 x 240; an
  // empty size an empty buffer.
  std::shared_ptr<HX_CaptureSlotFile> _CreateVideoSource(const HX_ClientCaps& caps) override;
  // A capture slot without a camera.
  std::shared_ptr<HX_VideoCaptureSlotBase> _CreateCapture(const HX_ClientCaps& caps) override;
  // One layer (SVC caps 1), the own level as the smallest layer's option, the adapter's
  // conference up-link limits, full-bandwidth split; opened on the caps' send format.
  void OnRequestVideoEncoder(const HX_ClientCaps& caps,
                             std::shared_ptr<HX_VideoEncoderBase>& encoder) override;
  // An encoder for the format's audio codec, initialised with its sample rate.
  void OnRequestAudioEncoder(const HX_ClientCaps& caps,
                             std::shared_ptr<AudioCodecBase>& encoder) override;
  void OnRequestAudioEncoder(const HX_MediaFormat& format,
                             std::shared_ptr<AudioCodecBase>& encoder) override;
  // The one synchroniser and the one connector, for every stream.
  void OnRequestVideoSync(const char* peer, const HX_ClientCaps& caps,
                          std::shared_ptr<CVideoSinc>& sync) override;
  void OnRequestAudioConnector(const char* peer, const HX_ClientCaps& caps,
                               std::shared_ptr<HX_AudioConnector>& connector) override;
  // A decoder opened on the peer's send format; its last field 1 unless the peer's client type is
  // 3 or 6.
  void OnRequestVideoDecoder(const char* peer, const HX_ClientCaps& caps,
                             std::shared_ptr<HX_VideoDecoderBase>& decoder) override;
  void OnRequestAudioCodecFactory(std::shared_ptr<HX_AudioCodecFactory>& factory) override;

 private:
  std::shared_ptr<HX_VideoCodecFactory> m_videoCodecFactory;
  std::shared_ptr<HX_AudioCodecFactory> m_audioCodecFactory;
  std::shared_ptr<HX_AudioResamplerFactory> m_resamplerFactory;
  std::shared_ptr<HX_CaptureSlotFile> m_videoSource;
  std::shared_ptr<HX_VideoCaptureSlotBase> m_capture;
  std::shared_ptr<CVideoSinc> m_videoSync;
  std::shared_ptr<HX_AudioConnector> m_audioConnector;
};
