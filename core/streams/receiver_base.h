#pragma once
// HX_ReceiverBase: one receive stream of a conference, the media of one remote participant (the
// stream's sender id names that participant). Once its connection stands it obtains a renderer, a
// playback device, the video synchroniser, the audio connector, a video decoder, the audio codec
// factory and the recording proxy from the meeting tools, and builds its own video source (the
// timed receive ring) and audio source (the jitter buffer). Its net handler reassembles frames and
// calls the entry points below. The receive filter decides whether the peer's video is shown (0x200
// video, 0x100 audio); switching video on asks the senders for a key frame.
//
// Threads: the entry points (AudioFrameReceived, OnVideoFrameAssembled, ProcessRecvDataPacket,
// ProcessCommand, afterFrameReceived) run on the network loop thread under the receive handler's
// own mutex; they rely on the life cycle's order: the connection delivers only after
// AcquireHardware and is closed before ReleaseHardware. The decoder and the renderer run on the
// video synchroniser's draw thread. The filter and the held pointers used by control calls (the
// renderer, the decoder, the synchroniser) are guarded by a leaf lock; the hardware flag changes
// only by compare-exchange, so acquire and release run once each.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/streams/media_stream_base.h"
#include "core/streams/stream_signals.h"

class CVideoSource;
class HX_AudioSource;
class HX_ReceiverStreamNetHandler;
class HX_SenderBase;
struct HX_MiscCommand;
struct HX_RecvNhpVideoHeader;

class HX_ReceiverBase : public HX_MediaStreamBase, public HX_ReceiverSignals {
 public:
  static constexpr uint32_t kFilterAudio = 0x100;
  static constexpr uint32_t kFilterVideo = 0x200;
  // Plausible picture sides of a peer's format announcement.
  static constexpr uint32_t kMinSide = 16;
  static constexpr uint32_t kMaxSide = 131072;

  explicit HX_ReceiverBase(HX_TickSource clock = HX_CoreTickSource());
  HX_ReceiverBase(const std::string& senderId, const std::string& receiverId,
                  HX_TickSource clock = HX_CoreTickSource());
  // Removes the stream's jobs, releases the hardware.
  ~HX_ReceiverBase() override;

  // Stores the tools, conference and ids through the base; true.
  bool SetStreamCapabilites(HX_MeetingToolsFactory* tools, HX_Conference* conference,
                            const std::string& senderId, const std::string& receiverId);

  // ---- HX_MediaStreamBase
  HX_StreamClient_Type getMediaStreamType() const override { return 2; }
  void onStreamUnavailable(HX_NetTrialConnection* trial,
                           hx::NetHandshakeConnectResult result) override;
  bool AcquireHardware() override;
  bool ReleaseHardware() override;
  void notifyStreamShuttedDown() override;
  void onStartDataTransfer() override {}
  bool getStreamConfStat(stream::TConferenceStatistics& out) override;

  // ---- entry points of the net handler (network loop thread)
  void AudioFrameReceived(const uint8_t* frame, size_t size);
  void OnVideoFrameAssembled(const uint8_t* frame, size_t size, int interval,
                             const HX_RecvNhpVideoHeader* header, bool keyFrame,
                             bool& keyFrameNeeded);
  // A data-track payload: a u16 little-endian value at most 255, then the data. Shorter than 2
  // bytes, or a larger value: ignored. Always true.
  bool ProcessRecvDataPacket(const uint8_t* bytes, uint16_t size);
  // Takes a peer's format announcement (code 5, mode 4) and a successful reply to a send-format
  // change (code 4, mode 2, result 0): true; a payload too short to read changes nothing. Any other
  // command: false.
  bool ProcessCommand(const HX_MiscCommand& command);
  // After each received frame the conference's own sender processes its received commands.
  void afterFrameReceived(int count);
  // The conference's send stream, null without one. Never waits for the conference lock.
  std::shared_ptr<HX_SenderBase> conferenceSender() const;

  // ---- filters and requests
  void SetFltrEnabled(uint32_t bits);
  bool CheckFltrEnabled(uint32_t bits) const { return (GetFltrEnabled() & bits) == bits; }
  uint32_t GetFltrEnabled() const { return m_filter.load(); }
  // Asks the conference's send stream for a key frame; false without one.
  bool OnRequestKeyFrame();
  uint32_t GetRcvBitrateInfo() { return GetBitrate(kAllTracks); }
  int32_t GetAudioLevel() const { return m_audioLevel.load(); }
  void getMediaFormat(HX_MediaFormat& out);
  // The format of a peer's announcement; an implausible picture size becomes 0 x 0.
  void VideoChangeFormat(const HX_MediaFormat& format);
  void AudioChangeFormat(const HX_MediaFormat& format);
  bool HardwareHeld() const { return m_hardwareHeld.load() != 0; }

 private:
  // Delegates of the video source, the decoder (draw thread).
  void OnVideoFrameProcessed(const unsigned char* frame, unsigned long size, bool skip);
  void OnVideoDecoderChangeFormat(const HX_MediaFormat& format);
  void OnAudioRequestTotalBuffDurr(int& duration, int& second);
  void OnVideoFrameDecompressed(const unsigned char* picture, unsigned long size, unsigned width,
                                unsigned height, unsigned timestamp);
  HX_ReceiverStreamNetHandler* receiveHandler() const;

  std::atomic<uint32_t> m_hardwareHeld{0};
  std::atomic<int32_t> m_audioBlockSize{0};
  std::atomic<uint32_t> m_filter{0};
  std::unique_ptr<HX_AudioSource> m_audioSource;
  std::atomic<int32_t> m_audioLevel{0};
  mutable std::mutex m_hardwareLock;
  std::shared_ptr<HXVideoRenderBase> m_renderer;
  std::shared_ptr<HX_VideoDecoderBase> m_decoder;
  std::shared_ptr<HX_AudioCodecFactory> m_codecFactory;
  std::shared_ptr<HX_AudioPlaybackBase> m_playback;
  std::unique_ptr<CVideoSource> m_videoSource;
  std::shared_ptr<CVideoSinc> m_videoSync;
  std::shared_ptr<HX_AudioConnector> m_connector;
  std::shared_ptr<HX_RecordPeerProxyBase> m_recordProxy;
};
