#include "core/streams/nhp_receive_queue.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/streams/nhp_send_queue.h"

namespace {

constexpr int64_t kKeyFrameRequestSpacing = 2500;
constexpr int64_t kProbeSpacing = 5001;
constexpr int kMaxValidDelay = 2501;
constexpr int kWindow = 1000;

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Timestamp a at or before b, across the 32-bit wrap.
bool AtOrBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) <= 0; }

}  // namespace

void HX_ReceiveFrameQueueNhp::DePacketizer::Restart(uint16_t sequence) {
  slots.clear();
  started = true;
  first = next = sequence;
}

void HX_ReceiveFrameQueueNhp::DePacketizer::PopFront() {
  slots.pop_front();
  first = slots.empty() ? next : slots.front().sequence;
}

HX_ReceiveFrameQueueNhp::HX_ReceiveFrameQueueNhp(bool statistics, int video_mode, bool feedback,
                                                 HX_TickSource clock)
    : m_statisticsFlag(statistics),
      m_videoMode(video_mode),
      m_feedback(feedback),
      m_clock(clock ? std::move(clock) : HX_CoreTickSource()) {
  m_audioInterval.Init(1000);
  m_videoBitrateEstimate.Init(60);
  m_videoFrameInterval.Init(60);
  m_lossDeviation.Init(60);
  m_lossTrend.Init(30);
}

void HX_ReceiveFrameQueueNhp::Send(const HX_MiscCommand& command) {
  if (m_feedback) CommandToSend(command);
}

void HX_ReceiveFrameQueueNhp::Request(uint16_t sequence, unsigned type) {
  uint8_t bytes[3];
  PutU16(bytes, sequence);
  bytes[2] = static_cast<uint8_t>(type);
  HX_MiscCommand command;
  command.RequestPacket(bytes, sizeof bytes);
  Send(command);
}

void HX_ReceiveFrameQueueNhp::RequestKeyFrame(int64_t now) {
  const int64_t spacing = std::max<int64_t>(kKeyFrameRequestSpacing, m_bufferDelay);
  if (m_keyRequested && now - m_lastKeyRequest <= spacing) return;
  m_keyRequested = true;
  m_lastKeyRequest = now;
  HX_MiscCommand command;
  command.RequestKeyFrame();
  Send(command);
}

int HX_ReceiveFrameQueueNhp::FrameInterval() {
  int average = 0;
  return m_videoFrameInterval.GetAverage(average) ? average : 100;
}

int HX_ReceiveFrameQueueNhp::SetReceivedCommand(const HX_MiscCommand& command) {
  // A probe's number is four bytes; a shorter one says nothing we could match.
  if (!m_feedback || command.code != HX_Cmd_TimeDelay || command.DataLength() < 4) return 0;
  if (command.mode == HX_CmdMode_Request) {
    HX_MiscCommand reply(command);
    reply.Reply(0);
    Send(reply);
  } else if (command.mode == HX_CmdMode_Reply) {
    UpdateDelay(command, m_clock());
  }
  return command.code;
}

void HX_ReceiveFrameQueueNhp::UpdateDelay(const HX_MiscCommand& reply, int64_t now) {
  const uint32_t number = reply.DataU32();
  if (number >= m_probeCount) return;  // never sent
  const int64_t sent = m_probeTicks[number % 20];
  if (sent >= now) return;
  const int64_t round_trip = now - sent;
  int64_t delay = number == 0
                      ? round_trip / 2
                      : static_cast<int64_t>((round_trip * 7 * 0.5 + m_bufferDelay * 3.0) / 10);
  delay = (delay + 4) / 5 * 5;
  delay = std::clamp<int64_t>(delay, 10, 1 << 30);
  const int previous = EffectiveDelay();
  m_bufferDelay = static_cast<int>(delay);
  m_bufferDelayValid = delay < kMaxValidDelay;
  m_audio.adjustment = 2 * (EffectiveDelay() - previous);
  if (m_audio.adjustment < 0 && !m_audio.slots.empty()) {
    // The delay shrank: audio held for the longer delay would come out late; cut it.
    const uint32_t from =
        m_audio.lastReleasedSet ? m_audio.lastReleased : m_audio.slots.front().timestamp;
    const uint32_t limit = static_cast<uint32_t>(-m_audio.adjustment);
    while (!m_audio.slots.empty() && m_audio.slots.front().timestamp - from <= limit) {
      m_audio.lastReleased = m_audio.slots.front().timestamp;
      m_audio.lastReleasedSet = true;
      m_audio.PopFront();
    }
  }
}

void HX_ReceiveFrameQueueNhp::TimeDelayProbe(int64_t now) {
  if (m_probed && now - m_lastProbe < kProbeSpacing) return;
  m_probed = true;
  m_lastProbe = now;
  m_probeTicks[m_probeCount % 20] = now;
  HX_MiscCommand probe;
  probe.TimeDelay(m_probeCount++);
  Send(probe);
}

bool HX_ReceiveFrameQueueNhp::Add(const uint8_t* packet, size_t length) {
  const int64_t now = m_clock();
  bool accepted = false;
  if (packet != nullptr && length >= HX_NhpBaseHeaderSize) {
    Header header;
    header.flags = packet[0];
    header.sequence = GetU16(packet + 2);
    const unsigned type = header.Type();
    // Audio carries its u32 timestamp at 4 to 7; the payload handed on keeps it in front.
    const size_t need = type == HX_Nhp_Video   ? HX_NhpVideoHeaderSize
                        : type == HX_Nhp_Audio ? HX_NhpAudioHeaderSize
                                               : HX_NhpBaseHeaderSize;
    if (length >= need) {
      accepted = true;
      if (type == HX_Nhp_Video) {
        header.counter = packet[4];
        header.frameType = packet[5];
        header.timestamp = GetU32(packet + 6);
        PushVideo(header, packet + need, length - need, now);
      } else if (type == HX_Nhp_Audio) {
        header.timestamp = GetU32(packet + 4);
        PushAudio(header, packet + HX_NhpBaseHeaderSize, length - HX_NhpBaseHeaderSize, now);
      } else if (type == HX_Nhp_Data) {
        PushSequence(HX_Nhp_Data, header, packet + need, length - need, now);
      } else {
        m_command.Restart(header.sequence);
        Slot slot;
        slot.payload.Set(packet + need, length - need);
        slot.sequence = header.sequence;
        slot.arrival = now;
        m_command.slots.push_back(std::move(slot));
        m_command.next = static_cast<uint16_t>(header.sequence + 1);
        WindowStatistics(HX_Nhp_Command, now, 0, 0, static_cast<uint32_t>(length - need));
      }
    }
  }
  TimeDelayProbe(now);
  return accepted;
}

bool HX_ReceiveFrameQueueNhp::PushSequence(unsigned type, const Header& header,
                                           const uint8_t* payload, size_t n, int64_t now) {
  DePacketizer& dp = type == HX_Nhp_Audio ? m_audio : type == HX_Nhp_Video ? m_video : m_data;
  const uint16_t s = header.sequence;
  const uint32_t length = static_cast<uint32_t>(n);
  auto make_slot = [&] {
    Slot slot;
    slot.payload.Set(payload, n);
    slot.fragment = header.Fragment();
    slot.sequence = s;
    slot.resend = header.Resend();
    slot.arrival = now;
    slot.timestamp = header.timestamp;
    return slot;
  };
  if (!dp.started) {
    dp.started = true;
    dp.first = dp.next = s;
  }
  if (s == dp.next) {
    const uint32_t lost = LossAccounting(type, s, 0, now);
    if (dp.slots.empty()) dp.first = s;
    dp.slots.push_back(make_slot());
    dp.next = static_cast<uint16_t>(s + 1);
    WindowStatistics(type, now, header.timestamp, lost, length);
    return true;
  }
  const uint16_t d = static_cast<uint16_t>(s - dp.first);
  const uint16_t dn = static_cast<uint16_t>(dp.next - dp.first);
  if (d >= 32767) {
    WindowStatistics(type, now, header.timestamp, 0, length);
    return false;
  }
  if (d > dn) {
    const uint16_t gap = static_cast<uint16_t>(s - dp.next);
    if (dp.slots.empty()) dp.first = dp.next;
    for (uint16_t missing = dp.next; missing != s; ++missing) {
      Slot slot;
      slot.reserved = true;
      slot.sequence = missing;
      slot.arrival = now;
      slot.timestamp = header.timestamp;
      dp.slots.push_back(std::move(slot));
    }
    const uint32_t lost = LossAccounting(type, s, gap, now);
    dp.slots.push_back(make_slot());
    dp.next = static_cast<uint16_t>(s + 1);
    WindowStatistics(type, now, header.timestamp, lost, length);
    return true;
  }
  // A late packet: fill its reserved slot, if one is still held.
  Slot* found = nullptr;
  if (!dp.slots.empty()) {
    const uint16_t index = static_cast<uint16_t>(s - dp.slots.front().sequence);
    if (index < dp.slots.size() && dp.slots[index].sequence == s) found = &dp.slots[index];
  }
  const bool stored = found != nullptr && found->reserved;
  if (stored) *found = make_slot();
  const uint32_t lost = LossAccounting(type, s, 0, now);
  WindowStatistics(type, now, header.timestamp, lost, length);
  return stored;
}

uint32_t HX_ReceiveFrameQueueNhp::LossAccounting(unsigned type, uint16_t sequence, uint32_t gap,
                                                 int64_t now) {
  int32_t& pending = m_pendingLost[type];
  int64_t lost = gap + (pending >= 0 ? 1 : 0);
  if (pending == sequence) {
    pending = -1;
    --lost;
  }
  bool allowed = true;
  if (!m_feedback || !m_bufferDelayValid) {
    allowed = false;
    pending = -1;
  } else if (pending >= 0) {
    Request(static_cast<uint16_t>(pending), type);
    pending = -1;
  }
  if (gap == 1 && (type == HX_Nhp_Video || type == HX_Nhp_Data)) {
    pending = static_cast<uint16_t>(sequence - 1);
    --lost;
    allowed = false;
  } else if (gap >= 2 && (type == HX_Nhp_Audio || type == HX_Nhp_Data)) {
    allowed = false;
  }
  lost = std::max<int64_t>(lost, 0);
  m_bandwidthLoss = BandwidthLossAnalysis(now, static_cast<uint32_t>(lost), type);
  if (allowed && gap > 0) {
    const double bits = gap * static_cast<double>(m_windows[type].average) * 8 / 1000;
    const uint64_t cost = m_bandwidthLoss ? 100 * static_cast<uint64_t>(bits + 0.5) : 0;
    if (cost <= 15ull * m_videoBitrate) {
      for (uint32_t k = gap; k > 0; --k) Request(static_cast<uint16_t>(sequence - k), type);
    }
  }
  return static_cast<uint32_t>(lost);
}

bool HX_ReceiveFrameQueueNhp::BandwidthLossAnalysis(int64_t now, uint32_t lost, unsigned type) {
  if (!m_analysisStarted) {
    m_analysisStarted = true;
    m_analysisStart = now;
  }
  if (type != HX_Nhp_Video || lost == 0 || now - m_analysisStart <= 10000) return false;
  const double elapsed = static_cast<double>(now - m_analysisStart);
  double intercept = 0, slope = 0;
  m_lossTrend.GetA(intercept, slope);
  const int64_t expected = static_cast<int64_t>(elapsed * slope + intercept + 0.5);
  m_lossDeviation.Snap(static_cast<int>(expected - m_countedLosses));
  bool result = false;
  uint32_t counted = lost;
  int m = 0;
  const double bits = lost * static_cast<double>(m_windows[HX_Nhp_Video].average) * 8 / 1000;
  if (m_lossDeviation.GetAverage(m) &&
      100 * static_cast<uint64_t>(bits + 0.5) > 5ull * m_videoBitrate) {
    result = std::abs(static_cast<int64_t>(m)) - static_cast<int64_t>(lost) < -2;
    if (result) counted = std::min<uint32_t>(lost, static_cast<uint32_t>(std::abs(m)) + 1);
  }
  m_countedLosses += counted;
  m_bandwidthLossesSecond += lost - counted;
  m_lossTrend.Snap(elapsed, m_countedLosses);
  return result;
}

void HX_ReceiveFrameQueueNhp::WindowStatistics(unsigned type, int64_t now, uint32_t timestamp,
                                               uint32_t lost, uint32_t length) {
  if (m_bandwidthLoss) m_stat[0] = 1;
  for (Window& w : m_windows) {
    while (!w.entries.empty() && static_cast<int32_t>(static_cast<uint32_t>(
                                     now - w.entries.front().arrival)) >= kWindow) {
      w.bytes -= w.entries.front().length;
      w.packets -= 1;
      w.lost -= w.entries.front().lost;
      w.entries.pop_front();
    }
  }
  if (type == HX_Nhp_Audio || type == HX_Nhp_Video) {
    Jitter& j = m_jitter[type];
    if (j.seen) j.lostTotal += lost;
    if (timestamp != 0) {
      const uint32_t arrival = static_cast<uint32_t>(now);
      const double d = static_cast<int32_t>(arrival - j.lastArrival) -
                       static_cast<double>(static_cast<int32_t>(timestamp - j.lastTimestamp));
      double jitter = 0;
      if (j.samples >= 2) {
        jitter = std::fabs(d) / 16 + 15 * j.last / 16;
        j.sum += jitter;
      } else if (j.samples == 1) {
        jitter = d;
      }
      j.last = jitter;
      j.lastArrival = arrival;
      j.lastTimestamp = timestamp;
      ++j.samples;
    }
    j.seen = true;
  }
  Window& w = m_windows[type];
  w.entries.push_back({now, length, lost});
  w.packets += 1;
  w.bytes += length;
  w.average = static_cast<uint32_t>(w.bytes / w.packets + 1);
  w.lost += lost;

  if (m_reported && now - m_reportTick <= kWindow) return;
  const int64_t since = m_reported ? std::max<int64_t>(1, now - m_reportTick) : 1;
  const Window& video = m_windows[HX_Nhp_Video];
  m_videoBitrate = static_cast<uint32_t>(video.bytes * 8 / 1000);
  m_videoBitrateEstimate.Snap(static_cast<int>(m_videoBitrate));
  int average = 0;
  if (m_videoBitrateEstimate.GetAverage(average)) m_videoBitrate = std::max(average, 0);
  if (m_analysisStarted)
    m_lossTrend.Snap(static_cast<double>(now - m_analysisStart), m_countedLosses);
  m_stat[1] = m_statisticsFlag && m_bufferDelayValid ? 1 : 0;
  for (unsigned t = 0; t < 4; ++t) {
    const Window& win = m_windows[t];
    uint32_t lost_field = win.lost;
    if (t == HX_Nhp_Video) {
      if (m_stat[0] != 0) {
        lost_field = static_cast<uint32_t>(m_bandwidthLossesSecond * 1000ull / since);
      } else if (win.lost * 100ull / (win.packets + 1) > 33) {
        m_stat[0] = 1;
      }
    }
    PutU16(m_stat + 2 + 8 * t, win.packets);
    PutU16(m_stat + 4 + 8 * t, lost_field);
    PutU32(m_stat + 6 + 8 * t, static_cast<uint32_t>(win.bytes));
  }
  HX_MiscCommand stat;
  stat.Stat(m_stat, sizeof m_stat);
  Send(stat);
  std::memset(m_stat, 0, sizeof m_stat);
  m_reported = true;
  m_reportTick = now;
  m_bandwidthLossesSecond = 0;
}

void HX_ReceiveFrameQueueNhp::PushVideo(const Header& header, const uint8_t* payload, size_t n,
                                        int64_t now) {
  const uint16_t s = header.sequence;
  if (m_videoState == 2) {
    if (header.frameType != 0) {
      const bool near = !m_video.started || static_cast<uint16_t>(s - m_video.first) < 32766 ||
                        s == m_video.first || s == m_video.next;
      WindowStatistics(HX_Nhp_Video, now, header.timestamp, 0, static_cast<uint32_t>(n));
      if (near) {
        m_video.Restart(s);
        m_frames.clear();
      }
      RequestKeyFrame(now);
      return;
    }
    if (m_video.started) {
      m_video.Restart(s);
      m_frames.clear();
    }
    m_videoState = 1;
    m_lastReleasedCounter = header.counter;
    m_pendingLost[HX_Nhp_Video] = -1;
  }
  if (!PushSequence(HX_Nhp_Video, header, payload, n, now)) return;

  auto it = m_frames.end();
  while (it != m_frames.begin()) {
    auto prev = std::prev(it);
    if (AtOrBefore(prev->timestamp, header.timestamp)) {
      if (prev->timestamp == header.timestamp) it = prev;
      break;
    }
    it = prev;
  }
  if (it == m_frames.end() || it->timestamp != header.timestamp) {
    FrameInfo frame;
    frame.timestamp = header.timestamp;
    frame.frameType = header.frameType;
    frame.counter = header.counter;
    frame.arrival = now;
    it = m_frames.insert(it, frame);
  }
  FrameInfo& frame = *it;
  if (header.Resend() == 0) frame.arrival = now;
  if (frame.fragmentSum == 4) return;
  frame.fragmentSum += header.Fragment();
  frame.bytes += static_cast<uint32_t>(n);
  frame.packets += 1;
  if (header.Fragment() & 2) frame.firstSequence = s;
  if (header.Fragment() & 1) frame.lastSequence = s;
  if (frame.fragmentSum == 3 && static_cast<uint16_t>(frame.firstSequence + frame.packets) ==
                                    static_cast<uint16_t>(frame.lastSequence + 1)) {
    frame.fragmentSum = 4;
  }
}

void HX_ReceiveFrameQueueNhp::PushAudio(const Header& header, const uint8_t* payload, size_t n,
                                        int64_t now) {
  PushSequence(HX_Nhp_Audio, header, payload, n, now);
  int interval =
      static_cast<int>(static_cast<int32_t>(header.timestamp - m_lastAudioHeaderTimestamp));
  int average = 0;
  if (m_audioInterval.GetAverage(average) && interval > int64_t{3} * average) interval = average;
  m_audioInterval.Snap(interval);
  m_lastAudioHeaderTimestamp = header.timestamp;
}

bool HX_ReceiveFrameQueueNhp::Get(uint8_t* buffer, size_t capacity, size_t& length, int& type) {
  length = 0;
  if (buffer == nullptr) capacity = 0;
  const int64_t now = m_clock();
  while (!m_command.slots.empty()) {
    Slot slot = std::move(m_command.slots.front());
    m_command.PopFront();
    if (slot.payload.Size() > capacity) continue;
    if (slot.payload.Size() > 0) std::memcpy(buffer, slot.payload.Data(), slot.payload.Size());
    length = slot.payload.Size();
    type = HX_Nhp_Command;
    return true;
  }
  if (GetAudio(buffer, capacity, length, now)) {
    type = HX_Nhp_Audio;
    return true;
  }
  if (GetVideo(buffer, capacity, length, now)) {
    type = HX_Nhp_Video;
    return true;
  }
  if (GetData(buffer, capacity, length, now)) {
    type = HX_Nhp_Data;
    return true;
  }
  return false;
}

bool HX_ReceiveFrameQueueNhp::GetAudio(uint8_t* buffer, size_t capacity, size_t& length,
                                       int64_t now) {
  const int64_t hold = 2 * static_cast<int64_t>(EffectiveDelay() + FrameInterval());
  while (!m_audio.slots.empty()) {
    Slot& slot = m_audio.slots.front();
    const int64_t extra = m_audio.adjustment > 0 ? hold : 0;
    const int64_t age = now - 15 - extra - slot.arrival;
    if (age >= 0) {
      m_audio.adjustment = 0;
    } else {
      int average = 0;
      if (!m_audioInterval.GetAverage(average)) average = 0;
      if (slot.reserved || age < -static_cast<int64_t>(average)) return false;
    }
    m_audio.lastReleased = slot.timestamp;
    m_audio.lastReleasedSet = true;
    const bool fits = !slot.reserved && slot.payload.Size() <= capacity;
    if (fits) {
      if (slot.payload.Size() > 0) std::memcpy(buffer, slot.payload.Data(), slot.payload.Size());
      length = slot.payload.Size();
    }
    m_audio.PopFront();
    if (fits) return true;
  }
  return false;
}

bool HX_ReceiveFrameQueueNhp::GetData(uint8_t* buffer, size_t capacity, size_t& length,
                                      int64_t now) {
  const int64_t hold = 2 * static_cast<int64_t>(EffectiveDelay() + FrameInterval());
  while (!m_data.slots.empty()) {
    Slot& slot = m_data.slots.front();
    if (now - slot.arrival - hold - 15 < 0) return false;
    const bool fits = !slot.reserved && slot.payload.Size() <= capacity;
    if (fits) {
      if (slot.payload.Size() > 0) std::memcpy(buffer, slot.payload.Data(), slot.payload.Size());
      length = slot.payload.Size();
    }
    m_data.PopFront();
    if (fits) return true;
  }
  return false;
}

void HX_ReceiveFrameQueueNhp::DropVideoSlotsUpTo(uint32_t timestamp) {
  while (!m_video.slots.empty() && AtOrBefore(m_video.slots.front().timestamp, timestamp)) {
    m_video.PopFront();
  }
}

bool HX_ReceiveFrameQueueNhp::ReleaseVideo(const FrameInfo& frame, uint8_t* buffer, size_t capacity,
                                           size_t& length) {
  // The frame must fit whole before a byte is written: the peer decides how large it is.
  const uint64_t total = HX_VideoFramePrefixSize + static_cast<uint64_t>(frame.bytes);
  if (total > capacity) return false;
  buffer[0] = frame.counter;
  buffer[1] = frame.frameType;
  PutU32(buffer + 2, frame.timestamp);
  size_t at = HX_VideoFramePrefixSize;
  uint32_t taken = 0;
  while (taken < frame.packets && !m_video.slots.empty()) {
    Slot& slot = m_video.slots.front();
    if (!AtOrBefore(slot.timestamp, frame.timestamp)) break;
    if (!slot.reserved && slot.timestamp == frame.timestamp) {
      if (at + slot.payload.Size() > capacity) break;
      if (slot.payload.Size() > 0)
        std::memcpy(buffer + at, slot.payload.Data(), slot.payload.Size());
      at += slot.payload.Size();
      ++taken;
    }
    m_video.PopFront();
  }
  length = at;
  return true;
}

bool HX_ReceiveFrameQueueNhp::GetVideo(uint8_t* buffer, size_t capacity, size_t& length,
                                       int64_t now) {
  const int64_t hold = 2 * static_cast<int64_t>(EffectiveDelay() + FrameInterval());
  bool judged_any = false;
  while (!m_frames.empty()) {
    const FrameInfo frame = m_frames.front();
    const int64_t age = now - 15 - frame.arrival - hold;
    const uint8_t step = static_cast<uint8_t>(frame.counter - m_lastReleasedCounter);
    bool released = false;
    if (m_videoState == 1 && frame.frameType != 0) {
      // Waiting for a key frame: anything else is of no use.
    } else {
      if (m_videoState == 1) m_videoState = 0;
      const bool good = frame.fragmentSum == 4 && step < 2;
      if (age >= 0) {
        if (!good && m_frames.size() < 2) return false;
      } else if (!good) {
        return false;
      }
      const int interval = static_cast<int32_t>(frame.timestamp - m_lastReleasedTimestamp);
      m_videoFrameInterval.Snap(std::min(interval, 1000));
      m_lastReleasedTimestamp = frame.timestamp;
      if (good) released = ReleaseVideo(frame, buffer, capacity, length);
      if (!released) {
        if (m_videoMode == 2) {
          RequestKeyFrame(now);
        } else {
          m_videoState = 1;
        }
      }
    }
    judged_any = true;
    m_lastReleasedCounter = frame.counter;
    if (!released) DropVideoSlotsUpTo(frame.timestamp);
    m_frames.pop_front();
    if (released) return true;
  }
  if (judged_any) {
    RequestKeyFrame(now);
    m_videoState = 2;
  }
  return false;
}

void HX_ReceiveFrameQueueNhp::GetStatistics(uint32_t& jitter, uint32_t& lost) const {
  const Jitter& a = m_jitter[HX_Nhp_Audio];
  const Jitter& v = m_jitter[HX_Nhp_Video];
  jitter = static_cast<uint32_t>((a.sum + v.sum) / (a.samples + v.samples + 1.0) + 0.5);
  lost = a.lostTotal + v.lostTotal;
}
