#include "core/media/video/receive/video_sync.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "core/base/tick_clock.h"
#include "core/media/video/bitstream/media_probe.h"

namespace {

constexpr int kArrivalWindow = 20;
constexpr int kAudioDelayWindow = 8;
// Frames the ring holds at most: one slot stays free for the frame being written.
constexpr int kRingFrames = CVideoSource::kSlots - 1;
// Frames thrown away when the ring is full without a key frame.
constexpr int kRollback = 100;
// Timing restarts: a gap in arrivals, a sender interval, a jump of the audio delay.
constexpr int64_t kArrivalGapMs = 2000;
constexpr int kMaxIntervalMs = 999;
constexpr int kDelayJumpMs = 2001;
// The arrival samples are 32-bit offsets from the last restart: restart before they could
// overflow (about 12 days of uninterrupted frames).
constexpr int64_t kMaxTimeOffset = int64_t{1} << 30;

int SlotOf(int index) {
  // Indexes only grow between two Detach calls; keep the slot non-negative in any case.
  const int slot = index % CVideoSource::kSlots;
  return slot < 0 ? slot + CVideoSource::kSlots : slot;
}

}  // namespace

CVideoSource::CVideoSource(Clock clock) : m_clock(std::move(clock)) {
  m_arrival.Init(kArrivalWindow);
  m_audioDelay.Init(kAudioDelayWindow);
  std::fill(std::begin(m_playTimes), std::end(m_playTimes), kEmptyPlayTime);
  m_format.Clear();
}

CVideoSource::~CVideoSource() = default;

int64_t CVideoSource::Now() const { return m_clock ? m_clock() : hx::GetTickCount(); }

void CVideoSource::RestartTimingNL(int64_t now, int delay) {
  m_arrival.Clear();
  m_audioDelay.Clear();
  m_lastPlay = now + delay;
  m_timeBase = now;
}

void CVideoSource::AddData(const uint8_t* frame, size_t size, int interval,
                           const HX_RecvNhpVideoHeader* header, bool keyFrame,
                           bool& keyFrameNeeded) {
  (void)header;
  keyFrameNeeded = false;
  HXAutoLock lock(m_sourceLock);
  auto refuse = [&] {
    keyFrameNeeded = true;
    if (m_keyFrameRequests.load() > 0) m_keyFrameRequests.store(0);
  };
  if (m_waitKeyFrame.load()) {
    if (!keyFrame) {
      refuse();
      return;
    }
    m_waitKeyFrame.store(false);
  }

  int read = m_read.load();
  int write = m_write.load();
  if (write - read >= kRingFrames) {
    // The draw thread is behind by a whole ring: go on from the first key frame in it.
    bool found = false;
    for (int i = read + 1; i < write; ++i) {
      if (m_slots[SlotOf(i)].keyFrame && m_slots[SlotOf(i)].frame.Size() > 0) {
        read = i;
        m_read.store(read);
        found = true;
        break;
      }
    }
    if (!found) {
      write -= kRollback;
      m_write.store(write);
      if (!keyFrame) {
        m_waitKeyFrame.store(true);
        refuse();
        return;
      }
    }
  }

  Slot& slot = m_slots[SlotOf(write)];
  slot.frame.Set(frame, size);
  slot.keyFrame = keyFrame;

  int delay = 0, second = 0;
  AudioDelaySignal.Emit(delay, second);
  delay = std::clamp(delay, kMinAudioDelayMs, kMaxAudioDelayMs);

  // The first frame after Detach starts the timing whatever the clock reads (the core's tick
  // starts near 0, within 2 s of the cleared last arrival). The audio delay restarts it when it
  // falls as much as when it grows: after a single spike the play times would otherwise stay
  // ahead of the audio by the spike, shrinking a few ms per frame, while the ring overflows.
  const int64_t now = Now();
  if (write == 1 || std::llabs(now - m_lastArrival) > kArrivalGapMs ||
      interval > kMaxIntervalMs ||
      std::llabs(static_cast<int64_t>(delay) - m_lastAudioDelay) >= kDelayJumpMs ||
      now - m_timeBase >= kMaxTimeOffset) {
    RestartTimingNL(now, delay);
    interval = 0;
  }
  // A sender interval is never negative; the check above bounds it from above.
  interval = std::max(interval, 0);
  m_lastAudioDelay = delay;
  m_lastArrival = now;

  m_audioDelay.Snap(delay);
  int average = 0;
  if (m_audioDelay.GetAverage(average)) delay = average;
  m_arrival.Snap(static_cast<int>(now + delay - m_timeBase));
  const int predicted = m_arrival.GetPredictedFromLast(-0.5);

  int64_t play;
  if (predicted != -1) {
    play = (m_timeBase + predicted - 10) / 2 + (m_lastPlay + interval) / 2;
  } else {
    play = write == 1 ? m_lastPlay : m_lastPlay + interval;
  }
  play = std::min(play, m_lastPlay + 2 * static_cast<int64_t>(interval));
  play = std::max(play, m_lastPlay + 10);
  play = std::max(play, m_lastPlay + interval / 2);

  m_playTimes[SlotOf(write)] = play;
  if (write - read < kRingFrames) m_write.store(write + 1);
  m_lastPlay = play;

  if (m_keyFrameRequests.load() > 0) {
    m_keyFrameRequests.store(0);
    keyFrameNeeded = true;
  }
}

bool CVideoSource::TakeNL(int64_t now, bool allowDue, HX_BinBuff& frame, bool& skip,
                          int64_t& playTime) {
  const int read = m_read.load();
  if (read >= m_write.load()) return false;
  const int slot = SlotOf(read);
  playTime = m_playTimes[slot];
  if (now - playTime > kLateMs) {
    skip = true;
  } else if (allowDue && playTime <= now) {
    skip = false;
  } else {
    return false;
  }
  // The slot gets the empty buffer; its storage goes to the caller, who decodes outside the lock.
  frame = std::move(m_slots[slot].frame);
  m_slots[slot].frame.Empty();
  m_slots[slot].keyFrame = false;
  m_playTimes[slot] = kEmptyPlayTime;
  m_read.store(read + 1);
  return true;
}

bool CVideoSource::CheckDraw(int& wait) {
  const int64_t now = Now();
  HX_BinBuff frame;
  for (;;) {
    bool skip = false;
    int64_t playTime = 0;
    {
      HXAutoLock lock(m_sourceLock);
      if (!TakeNL(now, true, frame, skip, playTime)) break;
    }
    if (frame.Size() > 0 && CheckMediaFormat(frame.Data(), frame.Size()) >= 0) {
      m_releasePlayTime.store(playTime);
      FrameReleasedSignal.Emit(frame.Data(), static_cast<unsigned long>(frame.Size()), skip);
    }
    frame.Empty();
    // Every late frame goes, but only one that is merely due.
    if (!skip) break;
  }

  HXAutoLock lock(m_sourceLock);
  const int read = m_read.load();
  int64_t next = 10;
  if (read < m_write.load()) next = m_playTimes[SlotOf(read)] - Now();
  wait = static_cast<int>(std::clamp<int64_t>(next, 0, std::numeric_limits<int>::max()));
  return true;
}

int CVideoSource::CheckMediaFormat(const uint8_t* frame, size_t size) {
  // The frame comes from a peer: it must hold its header before any byte of it is read.
  if (frame == nullptr || size < HX_RecvNhpVideoHeader::kSize) return -1;
  if (frame[0] != 0) return m_formatCheck.load() ? -6 : 0;

  m_formatCheck.store(true);
  const HX_MediaFormat stored = GetFormat();
  int width = static_cast<int>(stored.width);
  int height = static_cast<int>(stored.height);
  unsigned fourcc = stored.videoCodec;
  int frames = 0;
  const size_t bitstream = size - HX_RecvNhpVideoHeader::kSize;
  const int probed = HX_ProbeMediaFormat(
      frame + HX_RecvNhpVideoHeader::kSize,
      static_cast<int>(std::min<size_t>(bitstream, std::numeric_limits<int>::max())), width, height,
      fourcc, frames);
  if ((width & 1) != 0 || (height & 1) != 0) return -5;
  if (probed == -2) {
    m_formatCheck.store(false);
    return 0;
  }
  if (probed < 0) return probed;
  if (!HX_PeerPictureSizeUsable(width, height)) return -5;

  const uint32_t w = static_cast<uint32_t>(width);
  const uint32_t h = static_cast<uint32_t>(height);
  if (fourcc != stored.videoCodec || h != stored.height || w != stored.width) {
    HX_MediaFormat changed(stored);
    changed.width = w;
    changed.height = h;
    changed.videoCodec = fourcc;
    DecoderFormatSignal.Emit(changed);
    HXAutoLock lock(m_formatLock);
    m_format = changed;
  }
  m_formatCheck.store(false);
  return 0;
}

bool CVideoSource::CheckFormat(const HX_MediaFormat& format) {
  HXAutoLock lock(m_formatLock);
  return format.videoCodec != m_format.videoCodec || format.height != m_format.height ||
         format.width != m_format.width || format.stereo != m_format.stereo;
}

void CVideoSource::ChangeFormat(const HX_MediaFormat& format) {
  Detach();
  HXAutoLock lock(m_formatLock);
  m_format = format;
}

void CVideoSource::SetDecoderMediaFormat(const HX_MediaFormat& format) {
  HXAutoLock lock(m_sourceLock);
  DecoderFormatSignal.Emit(format);
}

void CVideoSource::Detach() {
  HXAutoLock lock(m_sourceLock);
  m_arrival.Clear();
  m_audioDelay.Clear();
  m_read.store(1);
  m_write.store(1);
  m_lastAudioDelay = 0;
  m_lastArrival = 0;
  m_lastPlay = 0;
  m_timeBase = 0;
  m_formatCheck.store(true);
  m_waitKeyFrame.store(true);
  {
    HXAutoLock formatLock(m_formatLock);
    const uint32_t size = m_format.size;
    m_format.Clear();
    m_format.size = size;
  }
  for (int i = 0; i < kSlots; ++i) {
    m_slots[i].frame.Empty();
    m_slots[i].keyFrame = false;
    m_playTimes[i] = kEmptyPlayTime;
  }
}

void CVideoSource::OnNeedKeyFrame() { m_keyFrameRequests.fetch_add(1); }

int64_t CVideoSource::GetLastPlayTime() {
  HXAutoLock lock(m_sourceLock);
  return m_lastPlay;
}

HX_MediaFormat CVideoSource::GetFormat() {
  HXAutoLock lock(m_formatLock);
  return HX_MediaFormat(m_format);
}

// --- The draw thread -------------------------------------------------------------------------

CVideoSinc::CVideoSinc() : HXThread("VideoSinc") {}

CVideoSinc::~CVideoSinc() {
  Stop();
  HXAutoLock lock(*this);
  m_sources.clear();
}

void CVideoSinc::AddVideoSource(CVideoSource* source) {
  if (source == nullptr) return;
  HXAutoLock lock(*this);
  if (m_sources.empty() && IsIdle()) Start(hx::thread::normal, true);
  m_sources.insert(source);
}

bool CVideoSinc::RemoveVideoSource(CVideoSource* source) {
  HXAutoLock lock(*this);
  if (m_sources.find(source) == m_sources.end()) return false;
  source->Detach();
  m_sources.erase(source);
  if (m_sources.empty()) {
    // The draw thread only tries the lock held here, so it cannot be waiting for it.
    Terminate();
    Wait();
  }
  return true;
}

bool CVideoSinc::ChangeFormatVideoSource(CVideoSource* source, const HX_MediaFormat& format) {
  if (source == nullptr || !source->CheckFormat(format)) return false;
  if (!RemoveVideoSource(source)) return false;
  source->ChangeFormat(format);
  AddVideoSource(source);
  return true;
}

void CVideoSinc::Stop() {
  Terminate();
  Wait();
}

size_t CVideoSinc::SourceCount() {
  HXAutoLock lock(*this);
  return m_sources.size();
}

void CVideoSinc::OnTerminateRequest() { m_wake.Set(); }

void CVideoSinc::Run() {
  while (!Terminated()) {
    int wait = kMaxWaitMs;
    if (TryLock()) {
      for (CVideoSource* source : m_sources) {
        int next = kMaxWaitMs;
        source->CheckDraw(next);
        wait = std::min(wait, next);
      }
      Unlock();
    }
    if (wait > 0) {
      m_wake.Wait(static_cast<int64_t>(wait));
    }
  }
}

CVideoSinc* HX_VideoSynchFactory::CreateVideoSynch() { return new CVideoSinc(); }
