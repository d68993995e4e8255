#include "core/streams/tcp_stream_handlers.h"

#include "core/base/ios_log.h"
#include "core/media/video/receive/frame_assembler.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/stream_command.h"
#include "core/streams/tcp_media_connection.h"
#include "core/streams/tcp_send_queue.h"
#include "core/streams/tcp_stream_ports.h"
#include "core/wire/media_format.h"
#include "core/transport/stream_helper_secure.h"
#include "core/transport/stream_helper_simple.h"

namespace {

constexpr uint8_t kTrackAudio = 1;
constexpr uint8_t kTrackVideo = 2;
constexpr uint8_t kTrackData = 5;
constexpr uint8_t kTrackCommand = 254;
constexpr uint8_t kTrackControl = 255;
constexpr unsigned kAllTracks = 256;

// The stream lock of the handler's owner, when there is one.
class OwnerLock {
 public:
  explicit OwnerLock(HX_MediaStreamBase* owner)
      : m_lock(owner != nullptr ? &owner->getStreamLock() : nullptr) {
    if (m_lock != nullptr) m_lock->Lock();
  }
  ~OwnerLock() {
    if (m_lock != nullptr) m_lock->Unlock();
  }
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

 private:
  HXLock* const m_lock;
};

// The secure object's shield when it takes the key, else the plain one's.
HXSecureShield* ChooseShield(const std::string& key, HXHelperStreamSecure& secure,
                             HXHelperStreamSimple& plain) {
  if (!key.empty() && secure.SetCryptoKey(key.c_str())) return &secure;
  return &plain;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// HX_SenderTCP

HX_SenderTCP::HX_SenderTCP(HX_TickSource clock)
    : m_clock(clock),
      m_packetManager(this),
      m_plain(std::make_unique<HXHelperStreamSimple>()),
      m_secure(std::make_unique<HXHelperStreamSecure>()),
      m_queue(std::make_unique<HX_SendFrameQueueTCPv2>(clock)) {
  m_packetManager.setShield(m_plain.get());
}

HX_SenderTCP::~HX_SenderTCP() = default;

bool HX_SenderTCP::startConnection(const std::string& key) {
  HXAutoLock lock(m_partLock);
  m_packetManager.setShield(ChooseShield(key, *m_secure, *m_plain));
  return true;
}

bool HX_SenderTCP::AddFrame(int track, size_t size, const void* data,
                            const HX_SendNhpVideoHeader* header, int priority) {
  if (!m_queue->AddFrame(track, size, static_cast<const uint8_t*>(data), header, priority)) {
    return false;
  }
  wakeUp();
  return true;
}

bool HX_SenderTCP::PostFrame(const HX_StreamFrameHead* head) {
  if (!m_queue->PostFrame(head)) return false;
  wakeUp();
  return true;
}

void HX_SenderTCP::wakeUp() {
  OwnerLock lock(owner());
  startSendNL();
}

void HX_SenderTCP::startSendNL() {
  if (HX_MediaStreamRegularConnection* c = connection()) c->setSendState(true);
}

void HX_SenderTCP::PingStream() {
  HX_StreamFrameHead head;
  head.Set(nullptr, 0, static_cast<uint32_t>(m_clock()), kTrackControl);
  PostFrame(&head);
}

bool HX_SenderTCP::checkConnectionAlive() {
  uint64_t queued;
  {
    OwnerLock lock(owner());
    queued = getSocketSendQueueSizeNL();
  }
  return m_liveness.check(static_cast<uint64_t>(m_clock()), queued);
}

bool HX_SenderTCP::beforeAcquireHardware() {
  const uint32_t bandwidth = initialBandwidth();
  // Under the part lock: the loop may be writing the current part out of a queued frame.
  HXAutoLock lock(m_partLock);
  m_queue->Reset(bandwidth);
  GetVideoBandwidth(bandwidth);
  m_part = EncryptedFrameWrapper{};
  return true;
}

bool HX_SenderTCP::afterAcquireHardware() {
  uint64_t queued;
  {
    OwnerLock lock(owner());
    queued = getSocketSendQueueSizeNL();
  }
  m_liveness.reset(queued);
  return true;
}

void HX_SenderTCP::ResetSenderStream(uint32_t bandwidth) {
  HXAutoLock lock(m_partLock);
  m_part = EncryptedFrameWrapper{};
  m_queue->Reset(bandwidth);
  GetVideoBandwidth(bandwidth);
}

uint32_t HX_SenderTCP::GetVideoBandwidth(uint32_t uploadLimit) {
  const int value = m_queue->CalcVideoBandwidth(static_cast<int>(uploadLimit));
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

void HX_SenderTCP::GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) {
  uint32_t frames = 0;
  m_queue->GetQueueVideoStatistics(oldest, since, frames);
  count = static_cast<int>(frames);
}

bool HX_SenderTCP::ProcessControlBandCommand(const HX_MiscCommand& command) {
  m_queue->ProcessBrokerStatistics(command);
  return true;
}

uint64_t HX_SenderTCP::getSocketSendQueueSizeNL() {
  auto* tcp = dynamic_cast<HX_MediaConnectionTCP*>(connection());
  return tcp != nullptr ? tcp->getSendQueueSize() : 0;
}

HX_MediaStreamRegularConnection* HX_SenderTCP::createRegularFromTrial(
    HX_MediaStreamTrialConnection* trial) {
  auto* tcp_trial = dynamic_cast<HX_MediaConnectionTrialTCP*>(trial);
  HX_SenderConnectionTCP* connection =
      tcp_trial != nullptr ? HX_SenderConnectionTCP::fromTrial(*tcp_trial, this) : nullptr;
  if (connection == nullptr) {
    ios_log("Can't create sender connection");
    return nullptr;
  }
  connection->setDataManager(&m_packetManager);
  return connection;
}

uint32_t HX_SenderTCP::initialBandwidth() const {
  return m_port != nullptr ? m_port->GetInitialSenderBandwidth() : 0;
}

int32_t HX_SenderTCP::sendStep(HXZASocket* socket) {
  if (!writePart(socket)) return 1;
  idleCheck(socket);
  return 0;
}

bool HX_SenderTCP::writePart(HXZASocket* socket) {
  const uint64_t now = static_cast<uint64_t>(m_clock());
  // Held from GetFrame until the part is written: a queue reset frees the frame.
  HXAutoLock lock(m_partLock);
  HX_CommitFrameBase* frame = m_queue->GetFrame();
  if (frame == nullptr) return true;
  if (m_part.frame != frame) {
    // A new part: enciphered once, however many writes it takes.
    const uint64_t plain = frame->CurrentPartSize();
    uint32_t size = 0;
    const uint8_t* data = m_packetManager.shield()->Encrypt(
        frame->Buffer(), static_cast<uint32_t>(plain), nullptr, size);
    if (data == nullptr) return false;
    m_part = EncryptedFrameWrapper{frame, size, data, 0, plain};
  }
  const size_t n = socket->Send(m_part.data + m_part.written,
                                static_cast<size_t>(m_part.size - m_part.written), 0);
  if (n == 0 && socket->GetSendStatus() == HXZSendStatus::failed) return false;
  m_part.written += n;
  const auto track = static_cast<stream::trackId>(frame->Track());
  if (m_part.written >= m_part.size) {
    const uint64_t plain = m_part.plainSize;
    m_part = EncryptedFrameWrapper{};
    m_queue->NextPart(plain);
  }
  if (n > 0) {
    if (owner() != nullptr) owner()->setStreamConfStat(now, track, n);
    m_liveness.onSent(now, n);
  }
  return true;
}

void HX_SenderTCP::idleCheck(HXZASocket* socket) {
  OwnerLock lock(owner());
  QueueStatistics statistics;
  m_queue->GetQueueStatistics(kAllTracks, statistics);
  if (statistics.frames == 0) socket->SendAsync(false);
}

int32_t HX_SenderTCP::HXSenderPacketManager::OnReadySendImp(HXZASocket* socket,
                                                            HXZADataHandler*) {
  return m_handler->sendStep(socket);
}

int32_t HX_SenderTCP::HXSenderPacketManager::OnReadyRecvImp(HXZASocket* socket,
                                                            HXZADataHandler* handler) {
  uint8_t sink[512];
  const size_t n = socket->Recv(sink, sizeof sink, 0);
  return n == 0 && handler->RecvEnded() ? done : keepGoing;
}

// ---------------------------------------------------------------------------------------------
// HX_ReceiverTCP

HX_ReceiverTCP::HX_ReceiverTCP(HX_TickSource clock)
    : m_clock(clock),
      m_packetManager(this),
      m_plain(std::make_unique<HXHelperStreamSimple>()),
      m_secure(std::make_unique<HXHelperStreamSecure>()) {
  m_packetManager.setShield(m_plain.get());
}

HX_ReceiverTCP::~HX_ReceiverTCP() = default;

bool HX_ReceiverTCP::startConnection(const std::string& key) {
  m_packetManager.setShield(ChooseShield(key, *m_secure, *m_plain));
  return true;
}

bool HX_ReceiverTCP::afterAcquireHardware() {
  if (m_queue != nullptr) m_queue->ResetPacketBufferAll();
  return true;
}

void HX_ReceiverTCP::onVideoChangeFormat(const HX_MediaFormat& format) {
  if (m_assembler != nullptr) m_assembler->Reset(format.width, format.height, true);
}

void HX_ReceiverTCP::getRecvHandlerStatistics(int& jitter, int& lostPackets) {
  jitter = 0;
  lostPackets = 0;
}

void HX_ReceiverTCP::ensureBuffers() {
  if (m_assembler == nullptr) m_assembler = std::make_unique<HX_VideoFrameAssembler>();
  if (m_queue == nullptr) m_queue = std::make_unique<HX_RecvFrameQueueTCPv2>();
}

HX_MediaStreamRegularConnection* HX_ReceiverTCP::createRegularFromTrial(
    HX_MediaStreamTrialConnection* trial) {
  auto* tcp_trial = dynamic_cast<HX_MediaConnectionTrialTCP*>(trial);
  HX_ReceiverConnectionTCP* connection =
      tcp_trial != nullptr ? HX_ReceiverConnectionTCP::fromTrial(*tcp_trial, this) : nullptr;
  if (connection == nullptr) {
    ios_log("Can't create receiver connection");
    return nullptr;
  }
  connection->setDataManager(&m_packetManager);
  ensureBuffers();
  if (m_port != nullptr) {
    const HX_MediaFormat format = m_port->GetPeerMediaFormat();
    m_assembler->Reset(format.width, format.height, true);
  }
  return connection;
}

int32_t HX_ReceiverTCP::receiveStep(HXZASocket* socket, HXZADataHandler* handler) {
  ensureBuffers();
  HX_RecvFrameQueueTCPv2& queue = *m_queue;
  const int64_t room = queue.GetPacketBufferSize();
  if (room > 0) {
    const size_t n = socket->Recv(queue.GetPacketBufferWrite(), static_cast<size_t>(room), 0);
    // A read of nothing is the end only when the socket says so; otherwise it was spurious.
    if (n == 0 && handler->RecvEnded()) return HXZADataManager::done;
    if (n > 0) queue.IncPacketBufferWrite(static_cast<int64_t>(n));
  }
  uint64_t tick = 0;
  while (const HX_StreamFrameHead* head = queue.AssemblePacket()) {
    const uint32_t total = static_cast<uint32_t>(HX_StreamFrameHead::kSize + head->Length());
    uint32_t size = 0;
    const uint8_t* plain =
        m_packetManager.shield()->Decrypt(head->bytes, total, nullptr, size, true);
    queue.IncPacketBuffer(total);
    // A frame the shield cannot give back whole is dropped; nothing past it is read.
    if (plain == nullptr || size < HX_StreamFrameHead::kSize) continue;
    const auto* frame = reinterpret_cast<const HX_StreamFrameHead*>(plain);
    if (HX_StreamFrameHead::kSize + frame->Length() > size) continue;
    if (tick == 0) tick = static_cast<uint64_t>(m_clock());
    if (owner() != nullptr) {
      owner()->setStreamConfStat(tick, frame->Track(), size);
    }
    onTCPDataReceived(frame);
  }
  queue.cutHeadGap();
  return HXZADataManager::keepGoing;
}

void HX_ReceiverTCP::onTCPDataReceived(const HX_StreamFrameHead* head) {
  HX_TcpReceiveStreamPort* stream = m_port;
  if (stream == nullptr) return;
  const uint8_t* payload = head->Payload();
  const uint16_t length = head->Length();
  switch (head->Track()) {
    case kTrackAudio:
      stream->AudioFrameReceived(payload, length);
      break;
    case kTrackVideo:
      dispatchVideo(payload, length);
      break;
    case kTrackData:
      stream->ProcessRecvDataPacket(payload, length);
      break;
    case kTrackCommand: {
      const HX_MiscCommand command(head);
      if (!stream->ProcessCommand(command)) stream->SenderAddCommand(command);
      break;
    }
    case kTrackControl:
      // An empty frame is the far end's ping: it only counts as received.
      if (length != 0) stream->SenderParseCommandMisc(head);
      break;
    default:
      return;
  }
  stream->afterFrameReceived(1);
}

void HX_ReceiverTCP::dispatchVideo(const uint8_t* payload, uint16_t length) {
  HX_TcpReceiveStreamPort* stream = m_port;
  ensureBuffers();
  bool need_key = false;
  if (m_assembler->PushFrame(payload, length, need_key)) {
    const uint8_t* frame = nullptr;
    uint64_t size = 0;
    uint32_t time = 0;
    const HX_RecvNhpVideoHeader* header = nullptr;
    bool key = false;
    m_assembler->getFrame(frame, size, time, header, key);
    need_key = false;
    stream->OnVideoFrameAssembled(frame, size, static_cast<int>(time), header, key, need_key);
  }
  if (need_key) stream->SenderRequestKeyFrame();
}

int32_t HX_ReceiverTCP::HXReceiverPacketManager::OnReadyRecvImp(HXZASocket* socket,
                                                                HXZADataHandler* handler) {
  return m_handler->receiveStep(socket, handler);
}

int32_t HX_ReceiverTCP::HXReceiverPacketManager::OnReadySendImp(HXZASocket* socket,
                                                                HXZADataHandler*) {
  socket->SendAsync(false);
  return keepGoing;
}
