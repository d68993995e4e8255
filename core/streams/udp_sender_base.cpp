#include "core/streams/udp_sender_base.h"

#include <cstring>

#include "core/base/lock.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_send_connection.h"
#include "core/streams/udp_stream_lock.h"

namespace {

constexpr int kAudioTrack = 1;
constexpr size_t kAudioTickSize = 4;
// The data-track admission test whose side effect (the multicast band's top) the statistics
// poll keeps fresh.
constexpr int kStatisticsDataLimit = 4000;

}  // namespace

HX_SenderUDPBase::HX_SenderUDPBase(HX_TickSource clock) : m_clock(std::move(clock)) {}

HX_SenderUDPBase::~HX_SenderUDPBase() = default;

bool HX_SenderUDPBase::startConnection(const std::string& key) { return crypterInit(key); }

bool HX_SenderUDPBase::connectedNow() const {
  const HX_MediaStreamBase* stream = owner();
  if (stream == nullptr) return false;
  const uint32_t flags = stream->getStateFlags();
  return (flags & HX_MediaStreamBase::kConnected) != 0 &&
         (flags & HX_MediaStreamBase::kShuttingDown) == 0;
}

HX_UdpSendConnection* HX_SenderUDPBase::udpConnection() const {
  return dynamic_cast<HX_UdpSendConnection*>(connection());
}

bool HX_SenderUDPBase::AddFrame(int track, size_t size, const void* data,
                                const HX_SendNhpVideoHeader* header, int priority) {
  HX_UdpStreamLock lock(owner());
  if (!connectedNow() || !m_sendQueue) return true;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (track == kAudioTrack && size >= kAudioTickSize && bytes != nullptr) {
    m_audio.assign(bytes, bytes + size);
    const auto tick = static_cast<uint32_t>(now());
    for (size_t i = 0; i < kAudioTickSize; ++i) m_audio[i] = static_cast<uint8_t>(tick >> (8 * i));
    bytes = m_audio.data();
  }
  if (!m_sendQueue->AddFrame(track, size, bytes, header, priority)) return false;
  return kickSend();
}

bool HX_SenderUDPBase::kickSend() {
  HX_UdpStreamLock lock(owner());
  if (!connectedNow()) return false;
  if (m_timerArmed) return true;
  HX_MediaStreamRegularConnection* regular = connection();
  if (regular == nullptr) return false;
  regular->setSendState(true);
  return true;
}

void HX_SenderUDPBase::onReadySend(HX_MediaStreamRegularConnection* connection) {
  HX_UdpStreamLock lock(owner());
  bool wouldBlock = false;
  if (sendFrame(wouldBlock) == 1 || wouldBlock) {
    if (connection != nullptr) connection->setSendState(false);
  }
}

int HX_SenderUDPBase::sendFrame(bool& wouldBlock) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int type = 0;
  int flag = 0;
  if (!m_sendQueue || !m_sendQueue->GetFrame(data, size, type, flag)) {
    wouldBlock = true;
    return 0;
  }
  const size_t head = m_multicastHead ? HX_UdpMulticastHead::kSize : 0;
  const uint64_t room = size + blockSize();
  const int64_t t = now();
  HX_UdpSendConnection* target = udpConnection();
  if (target == nullptr) return 1;

  const uint64_t delay = m_pipe.getDelay(room + head, static_cast<uint64_t>(t));
  if (delay > 0) {
    if (!m_timerArmed) {
      target->startConnTimer(kPacingTimerId, delay);
      m_timerArmed = true;
    }
    wouldBlock = true;
    return 0;
  }
  wouldBlock = false;

  m_packet.ensureSize(room + head);
  uint8_t* payload = m_packet.buffer() + head;
  uint32_t length = static_cast<uint32_t>(room);
  HX_StreamCrypter* cipher = crypter();
  if (cipher == nullptr || !cipher->Encrypt(data, static_cast<uint32_t>(size), payload, length)) {
    std::memcpy(payload, data, size);
    length = static_cast<uint32_t>(size);
  }
  // A packet larger than a datagram's payload may be can never leave whole: it is dropped, so that
  // it neither goes out under a wrapped 16-bit length nor holds up the packets behind it.
  if (length > HX_UdpMulticastHead::kMaxPayload) {
    m_sendQueue->MarkFirstAsSend();
    return 0;
  }
  const uint8_t track = hx::streams::convertTrackUdp(static_cast<unsigned>(type));
  if (m_multicastHead) {
    HX_UdpMulticastHead::Write(m_packet.buffer(), payload, static_cast<uint16_t>(length),
                               static_cast<uint32_t>(t), track, target->udpKey());
  }

  const size_t datagram = head + length;
  const size_t sent = target->sendData(m_packet.buffer(), datagram);
  m_pipe.put(sent);
  if (owner() != nullptr) owner()->setStreamConfStat(static_cast<uint64_t>(t), track, sent);
  const bool whole = sent == datagram;
  if (m_controlQueue) {
    m_controlQueue->Add(static_cast<uint64_t>(t), datagram, track, 0, whole ? 0 : 1);
  }
  if (whole) m_sendQueue->MarkFirstAsSend();
  return 0;
}

void HX_SenderUDPBase::setBitrateLimit(uint64_t rate) {
  HX_UdpStreamLock lock(owner());
  HX_UdpSendConnection* target = udpConnection();
  const uint64_t buffer = target != nullptr ? target->getSendBufferSize() : 0;
  m_pipe.set(rate, buffer / 2);
}

bool HX_SenderUDPBase::ProcessControlBandCommand(const HX_MiscCommand& command) {
  HX_UdpStreamLock lock(owner());
  return m_controlQueue && m_controlQueue->SetReceivedCommand(command) != 0;
}

void HX_SenderUDPBase::GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) {
  oldest = 0;
  since = 0;
  count = 0;
  HX_UdpStreamLock lock(owner());
  if (m_controlQueue) (void)m_controlQueue->IsDataAllowed(kStatisticsDataLimit);
}

uint32_t HX_SenderUDPBase::GetVideoBandwidth(uint32_t uploadLimit) {
  HX_UdpStreamLock lock(owner());
  if (!m_controlQueue) return 0;
  const int band = m_controlQueue->GetVideoBandwidth(static_cast<int>(uploadLimit));
  return band > 0 ? static_cast<uint32_t>(band) : 0;
}

void HX_SenderUDPBase::onBandwidthDelayTimer() {
  HX_UdpStreamLock lock(owner());
  m_timerArmed = false;
  kickSend();
}

void HX_SenderUDPBase::setupQueues(uint32_t redundancy, uint32_t interval, bool direct) {
  if (!m_sendQueue) {
    m_sendQueue = std::make_unique<HX_SendFrameQueueNhp>(&m_kick, kPayloadSize, redundancy,
                                                         interval, m_clock);
  }
  if (!m_controlQueue) {
    m_controlQueue =
        std::make_unique<HX_ControlQueueNhp>(direct, static_cast<int>(kPayloadSize), m_clock);
  }
  m_controlQueue->SetSendQueue(m_sendQueue.get());
}

void HX_SenderUDPBase::setupSending(bool multicastHead, uint64_t overhead) {
  m_multicastHead = multicastHead;
  m_pipe.setPacketParam(overhead, kMinimumPacket);
  m_timerArmed = false;
}
