#include "core/media/video/receive/frame_assembler.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/media/video/bitstream/media_probe.h"

namespace {

constexpr uint64_t kTrailer = 3;
constexpr uint64_t kHeader = HX_RecvNhpVideoHeader::kSize;

}  // namespace

HX_VideoFrameAssembler::HX_VideoFrameAssembler() = default;

HX_VideoFrameAssembler::~HX_VideoFrameAssembler() = default;

void HX_VideoFrameAssembler::Drop() {
  m_waitKeyFrame = true;
  m_frameStart = true;
  m_length = 0;
  m_complete = false;
  m_expectedCounter = 0;
  m_partsExpected = 0;
}

void HX_VideoFrameAssembler::Refuse(bool& keyFrameNeeded) {
  Drop();
  // The byte wraps from 255 to 0, which is a multiple of 16 as well.
  if (m_dropped % 16 == 0) keyFrameNeeded = true;
  ++m_dropped;
}

bool HX_VideoFrameAssembler::PushFrame(const uint8_t* part, uint16_t length, bool& keyFrameNeeded) {
  keyFrameNeeded = false;
  m_complete = false;
  if (part == nullptr || length < kTrailer) {
    // No trailer to read: the part's place in its frame is unknown, so the frame is lost.
    Refuse(keyFrameNeeded);
    return false;
  }
  const uint64_t n = length;
  const uint8_t left = part[n - 3];
  const uint8_t minusOne = part[n - 2];
  const uint8_t counter = part[n - 1];
  const bool first = left == minusOne;
  if (first && n < kHeader + kTrailer) {
    // A first part must hold the 5-byte header before its trailer.
    Refuse(keyFrameNeeded);
    return false;
  }
  const bool key = first && part[0] == 1;
  if (!m_ready && !key) return false;

  if (key) {
    m_waitKeyFrame = false;
    m_frameStart = true;
    m_length = 0;
    m_partsExpected = 0;
    m_dropped = 0;
    m_expectedCounter = counter;
  } else if (first && m_waitKeyFrame) {
    Refuse(keyFrameNeeded);
    return false;
  }

  if (m_frameStart && first) {
    m_frameStart = false;
    m_length = 0;
    m_key = key;
    m_time = static_cast<uint32_t>(part[1]) | static_cast<uint32_t>(part[2]) << 8 |
             static_cast<uint32_t>(part[3]) << 16 | static_cast<uint32_t>(part[4]) << 24;
    m_partsExpected = minusOne;
    const uint64_t bitstream = n - kHeader - kTrailer;
    if (key && bitstream > 0) {
      int width = 0, height = 0, frames = 0;
      unsigned fourcc = 0;
      if (HX_ProbeMediaFormat(part + kHeader, static_cast<int>(bitstream), width, height, fourcc,
                              frames) == 0 &&
          HX_PeerPictureSizeUsable(width, height)) {
        Reset(static_cast<uint64_t>(width), static_cast<uint64_t>(height), false);
      }
    }
    if (!m_ready) {
      // A key frame without a usable size, and none known before: nothing to assemble into.
      Drop();
      return false;
    }
  }

  // A part that does not start a frame where one must start belongs to a frame whose first part
  // was lost: its counter and position can still look right (the last part of the next frame
  // after a completed one), so it is a loss as well.
  if (m_frameStart || counter != m_expectedCounter || left != m_partsExpected) {
    Drop();
    return false;
  }

  const bool firstChunk = m_length == 0;
  if (!Append(part, n - kTrailer)) {
    Drop();
    return false;
  }
  if (firstChunk) m_buffer[0] = m_key ? 0 : 1;

  if (m_partsExpected > 0) {
    --m_partsExpected;
    return false;
  }
  ++m_expectedCounter;
  m_frameStart = true;
  m_complete = true;
  return true;
}

bool HX_VideoFrameAssembler::Append(const uint8_t* chunk, uint64_t size) {
  const uint64_t needed = m_length + size;
  if (needed > m_capacity) {
    const uint64_t grown = needed * 2;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[grown]);
    if (!buffer) return false;
    if (m_length > 0) std::memcpy(buffer.get(), m_buffer.get(), m_length);
    m_buffer = std::move(buffer);
    m_capacity = grown;
  }
  if (size > 0) std::memcpy(m_buffer.get() + m_length, chunk, size);
  m_length = needed;
  return true;
}

void HX_VideoFrameAssembler::getFrame(const uint8_t*& data, uint64_t& length, uint32_t& time,
                                      const HX_RecvNhpVideoHeader*& header, bool& keyFrame) const {
  if (!m_complete || m_length < kHeader) {
    data = nullptr;
    length = 0;
    time = 0;
    header = nullptr;
    keyFrame = false;
    return;
  }
  data = m_buffer.get();
  length = m_length;
  time = m_time;
  // The header is packed (alignment 1) and the buffer holds at least its 5 bytes.
  header = reinterpret_cast<const HX_RecvNhpVideoHeader*>(m_buffer.get());
  keyFrame = m_buffer[0] == 0;
}

void HX_VideoFrameAssembler::Reset(bool wait) {
  m_waitKeyFrame = wait;
  m_frameStart = true;
  m_length = 0;
  m_complete = false;
  m_expectedCounter = 0;
  m_partsExpected = 0;
}

void HX_VideoFrameAssembler::Reset(uint64_t width, uint64_t height, bool restart) {
  if (restart) {
    m_waitKeyFrame = true;
    m_frameStart = true;
    m_length = 0;
    m_complete = false;
    m_expectedCounter = 0;
    m_partsExpected = 0;
  }
  // A side beyond what a peer's format may announce is no more usable than 0: the format of a
  // stream comes from the peer as well.
  if (!HX_PeerPictureSizeUsable(static_cast<int64_t>(std::min<uint64_t>(width, INT64_MAX)),
                                static_cast<int64_t>(std::min<uint64_t>(height, INT64_MAX)))) {
    m_ready = false;
    return;
  }
  if (m_ready && width == m_width && height == m_height) return;
  const uint64_t luma = width * height;
  const uint64_t bytes = luma * 3 / 2;
  // A frame in progress (a resize without restart between its parts) keeps what it has.
  const uint64_t capacity = bytes > m_length ? bytes : m_length;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity]);
  if (!buffer) {
    m_ready = false;
    return;
  }
  std::memset(buffer.get(), 0, luma);
  std::memset(buffer.get() + luma, 128, capacity - luma);
  if (m_length > 0) std::memcpy(buffer.get(), m_buffer.get(), m_length);
  m_buffer = std::move(buffer);
  m_capacity = capacity;
  m_width = width;
  m_height = height;
  m_ready = true;
}
