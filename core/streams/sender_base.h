#pragma once
// HX_SenderBase: a conference's one send stream. Once its connection stands it takes the hardware
// from the meeting tools (capture slot, video source, video encoder, microphone, audio connector,
// audio encoder, media-format adapter, recording proxy), turns captured pictures and microphone
// audio into encoded frames and hands them, with the stream control commands, to its net handler.
// It decides when a picture becomes a key frame, drops pictures while the video send queue is
// congested, answers the commands peers and the server send it, pings an idle connection and every
// 300 ms measures what it sends and recomputes the bit rates.
//
// Threads:
// - OnCapturePutImage runs on the capture slot's processing thread; OnCaptureReady2Compress and
//   SendVideoStream follow on the same thread (the video source and encoder emit synchronously).
// - OnAudioConnectorSampleReady runs on the microphone's capture thread; OnReady2Compress follows
//   on it (the connector emits synchronously).
// - AddCommand, RequestKeyFrame and the command processing come from the network loop and the
//   conference; the command lists are guarded by the stream lock.
// - "Sender stat" and "Sender ping" run on the worker pool and take the stream lock.
// The current media format is guarded by the format lock, the audio encoder by the audio encoder
// lock; the held hardware pointers are copied under a leaf lock, so that a control call (a role
// switch, a key-frame request) never meets a pointer being dropped. ReleaseHardware disconnects
// the delegates only after the producers have stopped (the capture thread stopped, the microphone
// closed): disconnecting a signal during an emission ends the process.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/lock.h"
#include "core/conference/control/command_manager.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/stream_bitrate.h"
#include "core/streams/stream_signals.h"
#include "core/wire/media_format.h"

class HX_FifoBuffer;
class HX_MediaFormatManagerLimits;
class HX_SenderStreamNetHandler;
struct HX_SendNhpVideoHeader;

class HX_SenderBase : public HX_MediaStreamBase,
                      public HXStreamBitrate,
                      public HX_CommandManager,
                      public HX_SenderSignals {
 public:
  static constexpr size_t kAudioOutputSize = 32768;
  // The tick slot in front of the encoded audio that the UDP handler fills.
  static constexpr size_t kAudioTickSlot = 4;
  static constexpr uint64_t kMinKeyRequestIntervalMs = 2000;
  static constexpr uint64_t kBlockedDropMs = 2000;
  static constexpr uint32_t kStatPeriodMs = 300;
  // Frame rate limit (fps x 100) taken when the capture slot reports none.
  static constexpr uint32_t kDefaultFpsLimit = 700;

  explicit HX_SenderBase(HX_TickSource clock = HX_CoreTickSource());
  // Removes the stream's jobs, releases the hardware.
  ~HX_SenderBase() override;

  // ---- set-up, before connecting Stores the ids and the conference through the base and keeps the
  // adapter; always true.
  bool SetStreamCapabilites(HX_MeetingToolsFactory* tools,
                            std::shared_ptr<HX_MediaFormatManagerAdapter> adapter,
                            HX_Conference* conference, const std::string& senderId,
                            const std::string& receiverId);

  // ---- HX_MediaStreamBase
  HX_StreamClient_Type getMediaStreamType() const override { return 1; }
  void onStreamUnavailable(HX_NetTrialConnection* trial,
                           hx::NetHandshakeConnectResult result) override;
  bool AcquireHardware() override;
  bool ReleaseHardware() override;
  void notifyStreamShuttedDown() override;
  void onStartDataTransfer() override;
  void onNetConnectionDone() override;
  bool getStreamConfStat(stream::TConferenceStatistics& out) override;
  void setStreamConfStat(uint64_t tick, stream::trackId track, uint64_t bytes) override;

  // ---- frame entry points (see the thread notes above) From the capture slot: one picture in
  // `format`, captured at `tick`.
  void OnCapturePutImage(const void* context, const unsigned char* picture, unsigned long size,
                         HX_MediaFormat& format, unsigned long tick, bool keyRequested);
  // From the video source: passes the picture on to the video encoder.
  void OnCaptureReady2Compress(const unsigned char* picture, unsigned long size,
                               const HX_SendNhpVideoHeader& header, bool& key);
  // From the video encoder: the encoded frame (6-byte video prefix first); true when handed over.
  bool SendVideoStream(const unsigned char* frame, unsigned long size,
                       const HX_SendNhpVideoHeader* header);
  // From the microphone.
  void OnAudioConnectorSampleReady(unsigned char* samples, unsigned long size, float level,
                                   int value);
  // From the audio connector: processed PCM, encoded in whole blocks.
  void OnReady2Compress(const unsigned char* samples, unsigned long size);
  // Encoded audio (tick slot first) as track 1, priority 2.
  bool SendAudioStream(const unsigned char* frame, unsigned long size);

  // ---- commands A RequestKeyFrame command to the peers: 1 when the net handler took it, else 0.
  int RequestKeyFrame();
  bool sendCommand(const HX_MiscCommand& command, int priority);
  bool SendInfoMediaFormat(const HX_MediaFormat& format);
  // The capture slot's forced key frame; false without a capture slot.
  bool OnRequestKeyFrame();
  // Queues the command to send (then processes at once when connected) or as received (processed
  // after the next received frame). Always true.
  bool AddCommand(const HX_MiscCommand& command, bool toSend) override;
  // Takes the stream lock and runs receivedCommandProcessNL.
  bool ReceivedCommandProcess() override;
  // Caller holds the stream lock: the command manager's processing when connected and not shutting
  // down; false otherwise.
  bool receivedCommandProcessNL();

  // ---- command handlers
  bool ProcessChangeSndMediaFormat(const HX_MediaFormat& format) override;
  bool ProcessCommandReplay(const HX_MiscCommand& command) override;
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override;
  bool ProcessForceKeyFrame() override;
  bool ProcessRestrictBitrate(const conference::ServerBitrateControl& control) override;

  // ---- bit rates The bit-rate step with the measured video, audio and data rates (kbit/s).
  void CalcStreamValues(uint32_t video, uint32_t audio, uint32_t data);
  void OnChangeStreamBitrate(uint32_t rate, uint32_t second, uint32_t third, uint32_t fps,
                             uint32_t audioBitsPerSecond) override;
  uint32_t GetSendBitrateInfo() const { return m_sendBitrate.load(); }
  void SetSendBitrateInfo(uint32_t rate) { m_sendBitrate.store(rate); }

  // ---- roles and capture control
  void SetRoleVideoCapture(bool on);
  void OnRoleVideoCapture(bool on) { SetRoleVideoCapture(on); }
  void SetRoleAudioCapturer(bool on);
  void OnBlockVideoCapture(bool block);
  void OnPauseVideoCapture(bool pause);

  std::shared_ptr<HX_VideoEncoderBase> GetVideoEncoder() const;
  std::shared_ptr<HX_VideoCaptureSlotBase> GetVideoCapture() const;
  HX_MediaFormat GetCurrentMediaFormat() const;
  void GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count);
  uint32_t GetVideoBandwidth(uint32_t uploadLimit);
  bool HardwareHeld() const { return m_hardwareHeld.load() != 0; }
  uint64_t GetKeyFramePeriod() const { return m_keyFramePeriod; }
  int32_t GetAudioBlockSize() const { return m_audioBlockSize.load(); }

 private:
  // The hardware pointers, copied under the leaf lock.
  struct Hardware {
    std::shared_ptr<AudioCodecBase> audioEncoder;
    std::shared_ptr<HXAudioRecordBase> microphone;
    std::shared_ptr<HX_VideoEncoderBase> videoEncoder;
    std::shared_ptr<HX_CaptureSlotFile> videoSource;
    std::shared_ptr<HX_VideoCaptureSlotBase> captureSlot;
    std::shared_ptr<HX_AudioConnector> connector;
    std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
    std::shared_ptr<HX_RecordPeerProxyBase> recordProxy;
  };
  Hardware hardware() const;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter() const;
  HX_SenderStreamNetHandler* sendHandler() const;
  uint64_t Now() const { return static_cast<uint64_t>(m_clock()); }

  void ConnectDelegates(const Hardware& hw);
  void DisconnectDelegates(const Hardware& hw);
  // The signal's void slot for SendVideoStream.
  void OnVideoCompressed(const unsigned char* frame, unsigned long size,
                         HX_SendNhpVideoHeader* header);
  // Whether the picture at `tick` is a key frame; updates the key-frame state when it is.
  bool IsGenerateKeyFrame(bool keyRequested, uint64_t tick, bool force);
  // The congestion check: true when the picture is to be dropped; may turn it into a key frame.
  bool GetBlockVideoCapture(bool& keyFrame, uint64_t tick);
  // A format whose audio block fits the output buffer and the FIFO; the encoder is changed under
  // its lock. False (nothing changed) otherwise.
  bool AudioChangeFormat(const HX_MediaFormat& format);
  // A hand-over to the net handler succeeded.
  void MarkSent() { m_lastSendTick.store(0); }
  void CancelJobs();
  void onSenderStat();
  void onSenderPing();

  const HX_TickSource m_clock;
  std::atomic<uint32_t> m_hardwareHeld{0};
  std::atomic<int32_t> m_audioBlockSize{0};
  std::unique_ptr<unsigned char[]> m_audioOutput;
  std::vector<unsigned char> m_audioInput;
  mutable HXLock m_formatLock;
  HXLock m_audioEncoderLock;
  HX_MediaFormat m_currentFormat;
  std::unique_ptr<HX_FifoBuffer> m_audioFifo;
  std::atomic<uint32_t> m_sendBitrate{0};
  // The key-frame and congestion state belongs to the capture thread; AcquireHardware sets it
  // before that thread starts.
  int32_t m_skipCount = 0;
  bool m_keyPendingWhileBlocked = false;
  uint64_t m_lastKeyFrameTick = 0;
  uint64_t m_keyFramePeriod = 0;
  bool m_keyRequestPending = false;
  std::atomic<uint32_t> m_pingJob{0};
  std::atomic<uint32_t> m_statJob{0};
  std::atomic<uint64_t> m_lastSendTick{0};
  std::atomic<uint32_t> m_pingPeriod{0};
  std::atomic<int64_t> m_startTime{0};
  std::atomic<uint64_t> m_videoFramesSent{0};
  mutable std::mutex m_hardwareLock;
  Hardware m_hw;
  // The adapter from set-up; the held one after acquisition is the one in m_hw.
  std::shared_ptr<HX_MediaFormatManagerAdapter> m_setupAdapter;
};
