#include "core/streams/udp_receiver_base.h"

#include <algorithm>

#include "core/streams/receiver_base.h"
#include "core/streams/sender_base.h"
#include "core/streams/stream_command.h"
#include "core/streams/udp_multicast_head.h"

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr size_t kAudioTimestamp = 4;
constexpr size_t kVideoPrefix = 6;

}  // namespace

HX_ReceiverUDPBase::HX_ReceiverUDPBase(HX_TickSource clock) : m_clock(std::move(clock)) {}

HX_ReceiverUDPBase::~HX_ReceiverUDPBase() = default;

bool HX_ReceiverUDPBase::startConnection(const std::string& key) { return crypterInit(key); }

void HX_ReceiverUDPBase::setRecvQueue(std::unique_ptr<HX_ReceiveFrameQueueNhp> queue,
                                      uint64_t bufferSize) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_queue = std::move(queue);
  if (bufferSize != 0) m_packet.ensureSize(bufferSize);
}

void HX_ReceiverUDPBase::clearBuffers() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_queue.reset();
}

bool HX_ReceiverUDPBase::beforeAcquireHardware() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lastVideoTimestamp = 0;
  return true;
}

void HX_ReceiverUDPBase::getRecvHandlerStatistics(int& jitter, int& lostPackets) {
  std::lock_guard<std::mutex> lock(m_mutex);
  uint32_t j = 0;
  uint32_t lost = 0;
  if (m_queue) m_queue->GetStatistics(j, lost);
  jitter = static_cast<int>(j);
  lostPackets = static_cast<int>(lost);
}

bool HX_ReceiverUDPBase::onNHPDataReceived(const uint8_t* packet, size_t size,
                                           size_t datagramSize) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t length = 0;
  const uint8_t* plain = decryptPacket(packet, size, m_packet, length);
  auto* stream = static_cast<HX_ReceiverBase*>(owner());
  if (length > 0 && stream != nullptr) {
    stream->setStreamConfStat(static_cast<uint64_t>(m_clock()),
                              hx::streams::convertTrackUdp((plain[0] >> 4) & 3), datagramSize);
  }
  if (!m_queue) return false;
  const bool added = m_queue->Add(plain, length);
  const int count = dispatchFrames();
  if (count > 0 && stream != nullptr) stream->afterFrameReceived(count);
  return added;
}

int HX_ReceiverUDPBase::dispatchFrames() {
  auto* stream = static_cast<HX_ReceiverBase*>(owner());
  int count = 0;
  size_t size = 0;
  int type = 0;
  while (m_queue->Get(m_packet.buffer(), m_packet.capacity(), size, type)) {
    const uint8_t* bytes = m_packet.buffer();
    if (stream == nullptr) continue;
    switch (type) {
      case 0: {
        const HX_MiscCommand command(bytes, size);
        if (!stream->ProcessCommand(command) && m_queue->SetReceivedCommand(command) == 0) {
          if (std::shared_ptr<HX_SenderBase> sender = stream->conferenceSender()) {
            sender->AddCommand(command, false);
          }
        }
        break;
      }
      case 1:
        if (size < kAudioTimestamp) continue;
        stream->AudioFrameReceived(bytes + kAudioTimestamp, size - kAudioTimestamp);
        break;
      case 2: {
        if (size < kVideoPrefix) continue;
        const uint32_t timestamp = Le32(bytes + 2);
        const uint32_t delta = std::min<uint32_t>(
            timestamp - static_cast<uint32_t>(m_lastVideoTimestamp), kMaxVideoDelta);
        m_lastVideoTimestamp = timestamp;
        bool keyFrameNeeded = false;
        stream->OnVideoFrameAssembled(bytes + 1, size - 1, static_cast<int>(delta),
                                      reinterpret_cast<const HX_RecvNhpVideoHeader*>(bytes),
                                      bytes[1] == 0, keyFrameNeeded);
        if (keyFrameNeeded) m_queue->RequestKeyFrame(m_clock());
        break;
      }
      case 3:
        stream->ProcessRecvDataPacket(bytes, static_cast<uint16_t>(size));
        break;
      default:
        continue;
    }
    ++count;
  }
  return count;
}
