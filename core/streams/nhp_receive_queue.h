#pragma once
// The UDP receive queue: the reading end of the NHP packets (see nhp_send_queue.h). It puts the
// packets of each type back in sequence, reassembles video frames, holds incomplete frames for a
// time that follows the measured delay and frame interval, and, with feedback on (a direct UDP
// stream), tells the sender what it sees through stream commands: resend requests, key-frame
// requests, a statistics record about once a second and time-delay probes every 5 s.
//
// Modes: video mode 0 waits for the next key frame after a frame that cannot be completed; mode 2
// (multicast VP8 and H.264) asks for a key frame and goes on. The statistics flag reports the
// buffer-delay-valid flag in byte 1 of the statistics record.
//
// Statistics record (34 bytes, little-endian): 0 bandwidth-loss flag | 1 buffer-delay-valid flag
// (statistics flag on) | then per packet type t (command, audio, video, data) at 2 + 8t: u16
// packets received, u16 lost, u32 payload bytes, all over the last second.
//
// Thread safety: none of its own. The receive handler calls Add, Get and SetReceivedCommand under
// its mutex; the clock is read on every call.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>

#include "core/base/bin_buff.h"
#include "core/media/audio/clock_deviation.h"
#include "core/streams/stream_clock.h"
#include "core/streams/stream_command.h"

inline constexpr size_t HX_NhpStatRecordSize = 34;

class HX_ReceiveFrameQueueNhp : public HX_MiscCommandProcess {
 public:
  HX_ReceiveFrameQueueNhp(bool statistics, int video_mode, bool feedback,
                          HX_TickSource clock = HX_CoreTickSource());
  ~HX_ReceiveFrameQueueNhp() override = default;

  // Only with feedback on and only TimeDelay (code 8) with its 4-byte number: a request is
  // answered, a reply updates the buffer delay. Returns the code acted on, 0 when ignored.
  int SetReceivedCommand(const HX_MiscCommand& command) override;
  // One deciphered packet. False when shorter than its header (4 bytes; audio 8, video 10).
  // Runs the time-delay probe step in every case.
  virtual bool Add(const uint8_t* packet, size_t length);
  // The next command, audio frame (with its leading u32 timestamp), video frame (6-byte prefix
  // and the payloads) or data payload, in that order of preference, written to `buffer` of
  // `capacity` bytes. A video frame that would not fit is treated as one that cannot be
  // completed; a command, audio or data payload that would not fit is dropped. False when
  // nothing is due.
  virtual bool Get(uint8_t* buffer, size_t capacity, size_t& length, int& type);
  // Mean jitter of audio and video, and their lost totals.
  virtual void GetStatistics(uint32_t& jitter, uint32_t& lost) const;
  // Asks the sender for a key frame (feedback permitting, not more often than the queue allows).
  void RequestKeyFrame(int64_t now);

  int BufferDelay() const { return m_bufferDelay; }
  bool BufferDelayValid() const { return m_bufferDelayValid; }
  int VideoState() const { return m_videoState; }
  uint32_t VideoBitrate() const { return m_videoBitrate; }
  int AudioAdjustment() const { return m_audio.adjustment; }

 private:
  struct Slot {
    bool reserved = false;
    HX_BinBuff payload;
    uint8_t fragment = 0;
    uint16_t sequence = 0;
    uint8_t resend = 0;
    int64_t arrival = 0;
    uint32_t timestamp = 0;
  };
  struct DePacketizer {
    bool started = false;
    uint16_t first = 0;
    uint16_t next = 0;
    std::deque<Slot> slots;
    // Audio only.
    bool lastReleasedSet = false;
    uint32_t lastReleased = 0;
    int adjustment = 0;

    void Restart(uint16_t sequence);
    void PopFront();
  };
  struct FrameInfo {
    uint32_t timestamp = 0;
    uint8_t frameType = 0;
    uint8_t counter = 0;
    int fragmentSum = 0;
    uint32_t bytes = 0;
    uint16_t firstSequence = 0;
    uint16_t lastSequence = 0;
    uint32_t packets = 0;
    int64_t arrival = 0;
  };
  struct WindowEntry {
    int64_t arrival;
    uint32_t length;
    uint32_t lost;
  };
  struct Window {
    std::deque<WindowEntry> entries;
    uint64_t bytes = 0;
    uint32_t packets = 0;
    uint32_t lost = 0;
    uint32_t average = 0;
  };
  struct Jitter {
    bool seen = false;
    uint32_t lostTotal = 0;
    uint32_t lastTimestamp = 0;
    uint32_t lastArrival = 0;
    uint32_t samples = 0;
    double last = 0;
    double sum = 0;
  };
  struct Header {
    uint8_t flags = 0;
    uint16_t sequence = 0;
    uint8_t counter = 0;
    uint8_t frameType = 0;
    uint32_t timestamp = 0;
    uint8_t Fragment() const { return flags & 3; }
    uint8_t Resend() const { return (flags >> 2) & 3; }
    uint8_t Type() const { return (flags >> 4) & 3; }
  };

  // Sequence handling; true when the packet was stored.
  bool PushSequence(unsigned type, const Header& header, const uint8_t* payload, size_t n,
                    int64_t now);
  void PushVideo(const Header& header, const uint8_t* payload, size_t n, int64_t now);
  void PushAudio(const Header& header, const uint8_t* payload, size_t n, int64_t now);
  uint32_t LossAccounting(unsigned type, uint16_t sequence, uint32_t gap, int64_t now);
  bool BandwidthLossAnalysis(int64_t now, uint32_t lost, unsigned type);
  void WindowStatistics(unsigned type, int64_t now, uint32_t timestamp, uint32_t lost,
                        uint32_t length);
  void TimeDelayProbe(int64_t now);
  void UpdateDelay(const HX_MiscCommand& reply, int64_t now);

  bool GetAudio(uint8_t* buffer, size_t capacity, size_t& length, int64_t now);
  bool GetVideo(uint8_t* buffer, size_t capacity, size_t& length, int64_t now);
  bool GetData(uint8_t* buffer, size_t capacity, size_t& length, int64_t now);
  bool ReleaseVideo(const FrameInfo& frame, uint8_t* buffer, size_t capacity, size_t& length);
  void DropVideoSlotsUpTo(uint32_t timestamp);
  void Request(uint16_t sequence, unsigned type);
  void Send(const HX_MiscCommand& command);
  int EffectiveDelay() const { return m_bufferDelayValid ? m_bufferDelay : kDefaultDelay; }
  int FrameInterval();

  static constexpr int kDefaultDelay = 100;

  bool m_statisticsFlag;
  int m_videoMode;
  bool m_feedback;
  HX_TickSource m_clock;

  DePacketizer m_command, m_audio, m_video, m_data;
  std::list<FrameInfo> m_frames;  // ordered by timestamp, across its 32-bit wrap
  Window m_windows[4];
  Jitter m_jitter[4];

  HX_TimeDeviation m_audioInterval, m_videoBitrateEstimate, m_videoFrameInterval, m_lossDeviation;
  HX_FreqDeviation m_lossTrend;

  int m_videoState = 2;
  uint8_t m_lastReleasedCounter = 0;
  uint32_t m_lastReleasedTimestamp = 0;
  uint32_t m_lastAudioHeaderTimestamp = 0;
  int m_bufferDelay = kDefaultDelay;
  bool m_bufferDelayValid = true;
  uint32_t m_videoBitrate = 0;
  bool m_bandwidthLoss = false;
  bool m_keyRequested = false;
  int64_t m_lastKeyRequest = 0;
  bool m_probed = false;
  int64_t m_lastProbe = 0;
  uint32_t m_probeCount = 0;
  int64_t m_probeTicks[20] = {};
  int32_t m_pendingLost[4] = {-1, -1, -1, -1};
  bool m_analysisStarted = false;
  int64_t m_analysisStart = 0;
  bool m_reported = false;
  int64_t m_reportTick = 0;
  uint32_t m_countedLosses = 0;
  uint32_t m_bandwidthLossesSecond = 0;
  uint8_t m_stat[HX_NhpStatRecordSize] = {};
};
