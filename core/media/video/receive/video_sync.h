#pragma once
// Receive-side video synchronisation: each receive stream's CVideoSource times its frames against
// the stream's audio, and one draw thread (CVideoSinc) releases the due frames of every source to
// its decoder front-end.
//
// CVideoSource keeps a ring of 200 frame slots (frames from the read index to the write index
// minus one; the slot of an index is index mod 200). AddData stamps each frame with a play time:
// one audio-buffer duration (at least 60 ms, asked through AudioDelaySignal) after its arrival,
// smoothed over the recent arrivals and the sender's frame spacing; a gap above 2 s, an interval
// above 999 ms or a delay jump of 2001 ms or more restarts the timing. CheckDraw releases, through
// FrameReleasedSignal, every frame more than 200 ms late with skip true (the decoder keeps its
// references without drawing) and at most one due frame with skip false, and answers the wait
// until the next frame is due.
//
// Guards: after Detach (a loss upstream, a format change) AddData refuses frames until a key
// frame arrives, and CheckMediaFormat lets no delta frame through until a key frame whose size
// could be checked: an odd size, or a probed side of 0 or above HX_MaxPeerPictureSide, answers
// -5; a delta frame before it -6; a frame shorter than its 5-byte header -1. A key frame of a new
// size or codec emits DecoderFormatSignal (the decoder reopens) before the frame is released.
// When the ring is full, the read position jumps to the first key frame in it; without one the
// newest 100 frames are thrown away and the source waits for a key frame. Every refusal asks the
// stream for a key frame (AddData's keyFrameNeeded), as does a decoder's request (OnNeedKeyFrame).
//
// Time: milliseconds of the clock given at construction (the core's tick by default), kept in 64
// bits; an empty slot's play time is kEmptyPlayTime.
//
// Thread safety: AddData (receive thread), Detach, ChangeFormat, SetDecoderMediaFormat and the
// ring part of CheckDraw run under the source lock. CheckDraw takes a due frame out of its slot
// (swapping the slot's buffer for an empty one) and advances the read index under that lock, then
// checks, decodes and emits outside it: the read index has one writer at a time, and a ring jump
// of AddData can neither be undone nor empty a key frame undecoded. The stored format is read and
// written under the format lock. CheckDraw and CheckMediaFormat are meant for one thread, the draw
// thread: it alone emits FrameReleasedSignal, so the decoder front-end and the renderer run on it.
//
// CVideoSinc guards its set of sources with its own lock; the draw thread only tries that lock,
// so adding or removing a source never waits for a drawing round (that round draws nothing). The
// draw thread runs while at least one source is registered.

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>

#include "core/base/bin_buff.h"
#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/base/thread.h"
#include "core/media/audio/clock_deviation.h"
#include "core/media/video/recv_video_header.h"
#include "core/wire/media_format.h"

class CVideoSource {
 public:
  using Clock = std::function<int64_t()>;

  static constexpr int kSlots = 200;
  static constexpr int64_t kEmptyPlayTime = std::numeric_limits<int64_t>::max();
  // Frames later than this many milliseconds are decoded without being drawn.
  static constexpr int64_t kLateMs = 200;
  static constexpr int kMinAudioDelayMs = 60;
  // An audio delay beyond this is taken as this much.
  static constexpr int kMaxAudioDelayMs = 60000;

  // `clock` answers milliseconds of a monotonic clock; empty: the core's tick (hx::GetTickCount).
  explicit CVideoSource(Clock clock = {});
  virtual ~CVideoSource();
  CVideoSource(const CVideoSource&) = delete;
  CVideoSource& operator=(const CVideoSource&) = delete;

  // One assembled frame (its 5-byte receive header first). `interval` is the sender-time distance
  // to the previous frame in milliseconds; `header` is not used. Sets keyFrameNeeded when the
  // stream should ask the sender for a key frame.
  void AddData(const uint8_t* frame, size_t size, int interval, const HX_RecvNhpVideoHeader* header,
               bool keyFrame, bool& keyFrameNeeded);
  // Releases the late frames and at most one due frame; `wait` := milliseconds until the next
  // frame is due (10 when the ring is empty, never negative). Always true.
  bool CheckDraw(int& wait);
  // The format gate for a frame about to be released: 0 pass, -1 no frame or shorter than its
  // header (or a key frame whose codec is not recognised), -5 an unusable size, -6 a delta frame
  // before a checked key frame; other negative probe answers as they are.
  int CheckMediaFormat(const uint8_t* frame, size_t size);
  // True when code, height, width or stereo field differ from the stored format.
  bool CheckFormat(const HX_MediaFormat& format);
  // Detach, then store the format.
  void ChangeFormat(const HX_MediaFormat& format);
  // Emits DecoderFormatSignal with the format, under the source lock.
  void SetDecoderMediaFormat(const HX_MediaFormat& format);
  // Empties the ring, restarts the timing and waits for a key frame; the stored format keeps
  // only its size field.
  void Detach();
  // A decoder asked for a key frame: the next AddData sets keyFrameNeeded.
  void OnNeedKeyFrame();

  // (frame, size, skip): connected to the decoder front-end's OnReady2Decompress.
  hx::Signal3<const unsigned char*, unsigned long, bool> FrameReleasedSignal;
  // Connected to the decoder front-end's ChangeFormat.
  hx::Signal1<const HX_MediaFormat&> DecoderFormatSignal;
  // (total buffered audio in ms, second value): answered by the stream's audio source.
  hx::Signal2<int&, int&> AudioDelaySignal;

  // Diagnostics and tests.
  int GetReadIndex() const { return m_read.load(); }
  int GetWriteIndex() const { return m_write.load(); }
  // The play time of the frame being released, valid during a FrameReleasedSignal emission.
  int64_t GetReleasePlayTime() const { return m_releasePlayTime.load(); }
  // The play time the last AddData gave its frame.
  int64_t GetLastPlayTime();
  HX_MediaFormat GetFormat();
  bool IsWaitingForKeyFrame() const { return m_waitKeyFrame.load(); }

 private:
  struct Slot {
    HX_BinBuff frame;
    bool keyFrame = false;
  };

  int64_t Now() const;
  void RestartTimingNL(int64_t now, int delay);
  // Takes the frame at the read position out when it is late, or due and `allowDue`; false when
  // the ring is empty or its first frame is not due.
  bool TakeNL(int64_t now, bool allowDue, HX_BinBuff& frame, bool& skip, int64_t& playTime);

  Clock m_clock;
  HX_TimeDeviation m_arrival;     // arrival + averaged delay, relative to m_timeBase
  HX_TimeDeviation m_audioDelay;  // audio delays
  Slot m_slots[kSlots];
  int64_t m_playTimes[kSlots];
  std::atomic<int> m_read{1};
  std::atomic<int> m_write{1};
  int64_t m_lastArrival = 0;
  int64_t m_lastPlay = 0;
  int m_lastAudioDelay = 0;
  // The estimator takes 32-bit samples: arrivals are snapped relative to the last timing restart.
  int64_t m_timeBase = 0;
  HX_MediaFormat m_format;
  std::atomic<bool> m_formatCheck{true};
  std::atomic<bool> m_waitKeyFrame{true};
  std::atomic<int> m_keyFrameRequests{0};
  std::atomic<int64_t> m_releasePlayTime{0};
  HXLock m_sourceLock;
  HXLock m_formatLock;
};

class CVideoSinc : public HXThread, public HXLock {
 public:
  CVideoSinc();
  ~CVideoSinc() override;

  // Registers the source (not owned); the first one starts the draw thread.
  virtual void AddVideoSource(CVideoSource* source);
  // Detaches and unregisters the source; the last one stops the draw thread. False when the
  // source is not registered.
  virtual bool RemoveVideoSource(CVideoSource* source);
  // When the source's format differs and it is registered: unregisters it, Detach, stores the
  // format, registers it again; true. Otherwise false.
  bool ChangeFormatVideoSource(CVideoSource* source, const HX_MediaFormat& format);
  // Stops the draw thread.
  void Stop();

  size_t SourceCount();

 protected:
  void Run() override;
  void OnTerminateRequest() override;

 private:
  static constexpr int kMaxWaitMs = 30;

  std::set<CVideoSource*> m_sources;
  HXEvent m_wake{true};
};

class HX_VideoSynchFactory {
 public:
  // A new synchroniser, owned by the caller.
  static CVideoSinc* CreateVideoSynch();
};
