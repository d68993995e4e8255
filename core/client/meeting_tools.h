#pragma once
// HX_MeetingToolsFactory: what a conference asks of the client object when it opens its media:
// the hardware to release, the audio recorder and the video renderer of a peer (hooks the
// platform subclass supplies), the start of the send and receive sides, and the objects of the
// video paths: the capture slot, the file capture slot, the video encoder and decoder front-ends.
// The defaults build the core's own objects; a platform subclass may return richer ones (the SDK
// bridge's capture slot with PutImage).
//
// The factory owns the one video synchroniser (the draw thread of every receive stream's video
// source; its thread runs only while a source is registered) and one video codec factory, both
// created with it; RegisteredVideoCodecFactory replaces
// it (taking ownership), so that the platform's factory with hardware codecs takes its place. The
// encoders and decoders made afterwards use the registered one.
//
// Thread safety: called on the threads of the conference that asks. Register a codec factory
// before encoders or decoders are requested.

#include <cstdint>
#include <memory>

class CVideoSinc;
class HX_ClientCaps;
class HX_CaptureSlotFile;
class HX_MediaFormatManagerLimits;
class HX_VideoCaptureSlotBase;
class HX_VideoCodecFactory;
class HX_VideoDecoderBase;
class HX_VideoEncoderBase;

class HX_MeetingToolsFactory {
 public:
  HX_MeetingToolsFactory();
  virtual ~HX_MeetingToolsFactory();
  HX_MeetingToolsFactory(const HX_MeetingToolsFactory&) = delete;
  HX_MeetingToolsFactory& operator=(const HX_MeetingToolsFactory&) = delete;

  // The send side starts with `caps`; nothing to do here.
  virtual void OnSenderStart(const HX_ClientCaps& caps) { (void)caps; }
  // The receive side of `peer` starts with `caps`; nothing to do here.
  virtual void OnReceiverStart(const char* peer, const HX_ClientCaps& caps) {
    (void)peer;
    (void)caps;
  }

  // Hooks of the platform subclass.
  virtual void OnReleaseHardwareSender() = 0;
  virtual void OnReleaseHardwareReceiver(const char* peer) = 0;
  virtual void OnRequestAudioRecord(const char* peer) = 0;
  virtual void OnRequestVideoRender(const char* peer) = 0;

  // The capture slot of the application (default: a slot with nothing added). Never null.
  virtual std::shared_ptr<HX_VideoCaptureSlotBase> _CreateCapture(const HX_ClientCaps& caps);
  // The file capture slot of a send stream, given the picture size of the caps' media format
  // (which it does not use). Never null.
  virtual std::shared_ptr<HX_CaptureSlotFile> _CreateVideoSource(const HX_ClientCaps& caps);
  // A one-layer encoder (SVC caps 1, the limits' upper bit rates, full-bandwidth split) with the
  // codec factory, opened on the caps' media format for a camera source.
  virtual void OnRequestVideoEncoder(const HX_ClientCaps& caps,
                                     std::shared_ptr<HX_VideoEncoderBase>& encoder);
  // A decoder with the codec factory, opened on the caps' media format.
  virtual void OnRequestVideoDecoder(const char* peer, const HX_ClientCaps& caps,
                                     std::shared_ptr<HX_VideoDecoderBase>& decoder);

  // Takes ownership of `factory` (null keeps the current one) and replaces the current one.
  void RegisteredVideoCodecFactory(HX_VideoCodecFactory* factory);
  HX_VideoCodecFactory* GetVideoCodecFactory() const { return m_videoCodecFactory.get(); }
  // The one video synchroniser: receive streams add their video sources to it.
  CVideoSinc* GetVideoSynch() const { return m_videoSynch.get(); }

 protected:
  // The limits whose conference upper bit rates (camera, screen capture) the encoder takes; none
  // here (automatic caps), the client object answers its adapter.
  virtual const HX_MediaFormatManagerLimits* GetMediaFormatLimits() const { return nullptr; }

 private:
  std::unique_ptr<HX_VideoCodecFactory> m_videoCodecFactory;
  std::unique_ptr<CVideoSinc> m_videoSynch;
};
