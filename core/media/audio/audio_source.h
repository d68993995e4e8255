#pragma once
// HX_AudioSource: one peer's received audio. Every payload is decoded, its level measured, and the
// PCM kept in a jitter FIFO whose length is steered towards the length the arrival times
// recommend: while the FIFO is longer than one frame plus that length, at most one frame is
// dropped per countdown of k frames (a non-voice frame at once, a voice frame only at the
// countdown's last step). The first two frames after Init are decoded and measured but not
// buffered. GetData hands PCM out and conceals an underrun with comfort noise for 2000 ms after
// the last full read, then with silence; the joints between real and substituted audio are
// smoothed (the first two samples of a part pulled towards the previous last sample by 2/3 and
// 1/3 of the difference).
//
// Thread safety: one receiving thread calls Init, ReInit, Release, AddData, GetLevel and
// GetCurrBuffDurr; one render thread calls GetData (under the sink's lock). The jitter FIFO is a
// single-writer single-reader ring; the playing side's joint state, which the adding side reads
// when the FIFO ran empty, and the valid and blocked flags are atomics. Release and ReInit must
// not overlap a GetData: streams remove the source from the sink first, and the sink calls ReInit
// under the lock that GetData runs under.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/media/audio/audio_codec.h"
#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_level_averager.h"
#include "core/media/audio/audio_vad.h"
#include "core/media/audio/fifo_buffer.h"
#include "core/media/audio/recommended_len.h"
#include "core/media/audio/record_peer_proxy.h"
#include "core/wire/media_format.h"

class HX_AudioSource {
 public:
  enum frame_type : int32_t {
    kNone = 0,
    kDecoded = 1,  // decoded audio
    kDropped = 2,  // a frame dropped by the jitter rule
    kFilled = 3,   // comfort noise or silence
  };
  static constexpr int kDecodeBufferBytes = 150000;
  static constexpr int kPauseMs = 4000;
  static constexpr uint32_t kNoiseWindowMs = 2000;

  // The millisecond tick the source reads; the core's tick by default.
  using Clock = std::function<int64_t()>;

  HX_AudioSource();
  HX_AudioSource(std::shared_ptr<HX_AudioCodecFactory> factory,
                 std::shared_ptr<HX_RecordPeerProxyBase> recordProxy);
  virtual ~HX_AudioSource();
  HX_AudioSource(const HX_AudioSource&) = delete;
  HX_AudioSource& operator=(const HX_AudioSource&) = delete;

  // Tests step time through here; set before Init.
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  // Prepares decoding of the format. False for a missing format, tag 0, a rate outside 8000 to
  // 48000 Hz, buffer size 0, no factory, no decoder or a decoder whose Init failed.
  bool Init(HX_MediaFormat* format, const char* name);
  // Release and Init for a changed tag or rate, keeping the blocked flag. False, nothing changed,
  // for an invalid format or the same tag and rate; true otherwise, whatever Init answered.
  bool ReInit(HX_MediaFormat* format, const char* name);
  void Release();
  void SetBlock(bool block) { blocked_.store(block, std::memory_order_relaxed); }
  bool IsBlocked() const { return blocked_.load(std::memory_order_relaxed); }
  bool IsValid() const { return valid_.load(std::memory_order_acquire); }

  // One received payload. False when not valid or blocked; true otherwise (also for a payload
  // that did not decode, which counts as an empty frame of level 0, and for a dropped frame).
  bool AddData(char* payload, int bytes);
  // Fills destination with bytes of PCM: real audio as far as held, then comfort noise or
  // silence. Answers bytes, or 0 (nothing written) when not valid.
  int GetData(char* destination, int bytes);
  // Buffered milliseconds; 0 when not valid.
  unsigned GetCurrBuffDurr() const;
  // The smoothed level; 0 two seconds after the last frame.
  unsigned GetLevel();

  const HX_MediaFormat& GetFormat() const { return format_; }
  int32_t GetFrameCounter() const { return frame_counter_; }
  int32_t GetLastAddedType() const { return last_added_type_; }
  int32_t GetDropCountdown() const { return drop_countdown_; }
  HX_FifoBuffer* GetFifo() const { return fifo_.get(); }
  HX_CountRecomendedLen* GetEstimator() const { return estimator_.get(); }
  HXAudioVAD* GetVad() const { return vad_.get(); }

 private:
  int64_t Now() const;
  void CalcLevel(const short* samples, int count);
  // The joint smoother over a part of bytes: adding selects the adding side's last sample and
  // type, else the playing side's.
  void CorrectSpike(short* samples, int bytes, int32_t type, bool adding);

  int32_t frame_counter_ = 0;
  int32_t last_drop_time_ = 0;
  int32_t last_arrival_time_ = 0;
  std::atomic<int32_t> last_full_read_time_{0};
  int32_t last_added_sample_ = 0;
  std::atomic<int32_t> last_played_sample_{0};
  int32_t last_added_type_ = 0;
  std::atomic<int32_t> last_played_type_{0};
  int32_t drop_countdown_ = 0;
  int32_t frame_size_ = 0;
  std::unique_ptr<HXAudioVAD> vad_;
  std::unique_ptr<HXAudioLevelAverager> level_;
  std::unique_ptr<HX_CountRecomendedLen> estimator_;
  std::unique_ptr<HX_FifoBuffer> fifo_;
  std::shared_ptr<AudioCodecBase> decoder_;
  std::shared_ptr<HX_AudioCodecFactory> factory_;
  std::shared_ptr<HX_RecordPeerProxyBase> record_proxy_;
  std::unique_ptr<int16_t[]> decode_buffer_;
  HX_MediaFormat format_;
  std::atomic<bool> valid_{false};
  std::atomic<bool> blocked_{false};
  std::atomic<bool> ever_full_read_{false};
  Clock clock_;
};
