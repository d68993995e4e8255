#include "core/streams/tcp_media_connection.h"

#include "core/net/address/if_addr_container.h"
#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/transport/stream_helper_simple.h"

namespace {

HXZASocketHelper* LoopHelper() { return new HXZNativeSocketHelper(HXZServer::m_Instance); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Trial connections

std::string HX_MediaConnectionTrialTCP::ConnectTarget::text() const {
  const bool bracket = host.find(':') != std::string::npos;
  return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

HX_MediaConnectionTrialTCP::HX_MediaConnectionTrialTCP(HXZASocketHelper* helper,
                                                       HX_MediaStreamNetHandler* handler)
    : HXZTCPSocketHandy(helper, -1, AF_INET, SOCK_STREAM, IPPROTO_TCP),
      HX_MediaStreamTrialConnection(handler),
      m_handshake(std::make_unique<HXHelperStreamSimple>()) {}

HX_MediaConnectionTrialTCP::HX_MediaConnectionTrialTCP(HXZASocketHelper* helper,
                                                       HXZADataHandler& accepted,
                                                       HX_MediaStreamNetHandler* handler)
    : HXZTCPSocketHandy(helper, accepted),
      HX_MediaStreamTrialConnection(handler),
      m_handshake(std::make_unique<HXHelperStreamSimple>()) {}

HX_MediaConnectionTrialTCP::~HX_MediaConnectionTrialTCP() = default;

bool HX_MediaConnectionTrialTCP::connectPeer(const ConnectTarget& target) {
  if (!prepareRequest(*m_handshake)) return false;
  m_target = target;
  return true;
}

bool HX_MediaConnectionTrialTCP::acceptPeer() {
  m_handshake->AcceptStream(clientType());
  m_target = ConnectTarget{};
  return true;
}

bool HX_MediaConnectionTrialTCP::start() {
  if (m_target.empty()) {
    setTrialState(stateHandshaking);
    SetState(true);
    return true;
  }
  setTrialState(stateConnecting);
  return Connect(HXZEndpointFqdn::remoteTCP(m_target.host, m_target.port));
}

void HX_MediaConnectionTrialTCP::connRecycle() { GC(); }

void HX_MediaConnectionTrialTCP::setSendState(bool on) { SendAsync(on); }

void HX_MediaConnectionTrialTCP::startConnTimer(uint32_t id, uint64_t ms) {
  startTimer(id, static_cast<uint32_t>(ms));
}

int32_t HX_MediaConnectionTrialTCP::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_dataManager == nullptr) return 0;
  return step(m_dataManager->OnReadyRecvImp(socket, handler));
}

int32_t HX_MediaConnectionTrialTCP::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_dataManager == nullptr) {
    // No one writes in this state: stop the writable notifications.
    SendAsync(false);
    return 0;
  }
  return step(m_dataManager->OnReadySendImp(socket, handler));
}

void HX_MediaConnectionTrialTCP::OnError() {
  // A trial that has ended has reported already; the manager hears of it once.
  const int32_t state = m_state.load();
  if (state != stateDone && state != stateFailed) setTrialState(stateFailed);
}

int32_t HX_MediaConnectionTrialTCP::step(int32_t result) {
  if (result == HXZADataManager::keepGoing) return 0;
  if (result != HXZADataManager::done) {
    setTrialState(stateFailed);
    return 0;
  }
  switch (m_state.load()) {
    case stateIdle:
      setTrialState(stateHandshaking);
      break;
    case stateConnecting:
      setTrialState(stateHandshaking);
      // The request goes out at once, without waiting for the next writable notification.
      return OnReadySendImp(this, this);
    case stateHandshaking:
      setTrialState(stateDone);
      break;
    default:
      break;
  }
  return 0;
}

void HX_MediaConnectionTrialTCP::setTrialState(int32_t state) {
  const int32_t old_state = m_state.exchange(state);
  if (old_state != state) onStateChanged(old_state, state);
}

void HX_MediaConnectionTrialTCP::onStateChanged(int32_t, int32_t new_state) {
  switch (new_state) {
    case stateIdle:
      SendAsync(false);
      SetState(false);
      m_dataManager = nullptr;
      break;
    case stateConnecting:
      m_dataManager = &m_connectManager;
      break;
    case stateHandshaking:
      m_dataManager = m_handshake.get();
      break;
    case stateDone:
      m_dataManager = nullptr;
      getDataBuffer(true);
      // The socket waits for its regular connection: until that adopts it, a readable socket
      // would be reported again and again with no one to read it.
      SendAsync(false);
      SetState(false);
      reportTrialDone(true);
      break;
    case stateFailed:
      m_dataManager = nullptr;
      SendAsync(false);
      SetState(false);
      getDataBuffer(true);
      reportTrialDone(false);
      break;
    default:
      break;
  }
}

HX_SenderConnectionTrialTCP* HX_SenderConnectionTrialTCP::create(
    HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr) return nullptr;
  return new HX_SenderConnectionTrialTCP(LoopHelper(), handler);
}

HX_SenderConnectionTrialTCP* HX_SenderConnectionTrialTCP::adopt(
    HXZADataHandler& accepted, HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr || accepted.GetHandle() == -1) return nullptr;
  accepted.SetState(false);
  return new HX_SenderConnectionTrialTCP(LoopHelper(), accepted, handler);
}

bool HX_SenderConnectionTrialTCP::prepareRequest(HXHelperStreamSimple& handshake) {
  HX_MediaStreamBase* stream = netHandler() != nullptr ? netHandler()->owner() : nullptr;
  if (stream == nullptr) return false;
  return handshake.ConnectStream(stream->GetConferenceId().c_str(),
                                 stream->GetSenderId().c_str(),
                                 stream->GetReceiverId().c_str(), clientType());
}

void HX_SenderConnectionTrialTCP::onStateChanged(int32_t old_state, int32_t new_state) {
  HX_MediaConnectionTrialTCP::onStateChanged(old_state, new_state);
  if (new_state != stateHandshaking) return;
  // Video parts of 8000 bytes in flight: a small send buffer would throttle them.
  const int64_t buffer = Parent()->Ioctl_0(HXZNativeSocketHelper::kGetSndBufSize, this);
  if (buffer > 0 && buffer < kMinSendBuffer) {
    Parent()->Ioctl_1(HXZNativeSocketHelper::kSetSndBufSize, this, kMinSendBuffer);
  }
  Parent()->Ioctl_1(HXZNativeSocketHelper::kSetNoDelay, this, 1);
}

HX_ReceiverConnectionTrialTCP* HX_ReceiverConnectionTrialTCP::create(
    HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr) return nullptr;
  return new HX_ReceiverConnectionTrialTCP(LoopHelper(), handler);
}

HX_ReceiverConnectionTrialTCP* HX_ReceiverConnectionTrialTCP::adopt(
    HXZADataHandler& accepted, HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr || accepted.GetHandle() == -1) return nullptr;
  accepted.SetState(false);
  return new HX_ReceiverConnectionTrialTCP(LoopHelper(), accepted, handler);
}

bool HX_ReceiverConnectionTrialTCP::prepareRequest(HXHelperStreamSimple& handshake) {
  HX_MediaStreamBase* stream = netHandler() != nullptr ? netHandler()->owner() : nullptr;
  if (stream == nullptr) return false;
  return handshake.ConnectStream(stream->GetConferenceId().c_str(),
                                 stream->GetNetworkId().c_str(),
                                 stream->GetSenderId().c_str(), clientType());
}

// ---------------------------------------------------------------------------------------------
// Regular connections

HX_MediaConnectionTCP::HX_MediaConnectionTCP(HX_MediaConnectionTrialTCP& trial,
                                             HX_MediaStreamNetHandler* handler)
    : HXZTCPSocketHandy(LoopHelper(), trial), HX_MediaStreamRegularConnection(handler) {}

HX_MediaConnectionTCP::~HX_MediaConnectionTCP() = default;

void HX_MediaConnectionTCP::start() { SetState(true); }

void HX_MediaConnectionTCP::connRecycle() {
  if (m_recycled.exchange(true)) return;
  GC();
}

void HX_MediaConnectionTCP::setSendState(bool on) { SendAsync(on); }

void HX_MediaConnectionTCP::startConnTimer(uint32_t id, uint64_t ms) {
  startTimer(id, static_cast<uint32_t>(ms));
}

bool HX_MediaConnectionTCP::isReconnectRequired(const HXIfIpAddrContainer& addresses,
                                                const HXSockAddr&) {
  const int handle = GetHandle();
  if (handle == -1) return false;
  const HXZNativeSocketDetails details(handle, true);
  if (details.getLocal().empty()) return false;
  return addresses.lookup(details.getLocal()) == nullptr;
}

uint64_t HX_MediaConnectionTCP::getSendQueueSize() {
  const int64_t queued = Parent()->Ioctl_0(HXZNativeSocketHelper::kGetSendQueueSize, this);
  return queued > 0 ? static_cast<uint64_t>(queued) : 0;
}

int32_t HX_MediaConnectionTCP::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_dataManager == nullptr || m_broken.load()) return 0;
  return afterStep(m_dataManager->OnReadyRecvImp(socket, handler));
}

int32_t HX_MediaConnectionTCP::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  if (m_dataManager == nullptr || m_broken.load()) {
    SendAsync(false);
    return 0;
  }
  return afterStep(m_dataManager->OnReadySendImp(socket, handler));
}

void HX_MediaConnectionTCP::OnError() { breakConnection(); }

int32_t HX_MediaConnectionTCP::afterStep(int32_t result) {
  if (result != 0) breakConnection();
  return 0;
}

void HX_MediaConnectionTCP::breakConnection() {
  if (m_broken.exchange(true)) return;
  SendAsync(false);
  SetState(false);
  // A handler that no longer holds this connection (closed already) has recycled it itself.
  if (netHandler() != nullptr) netHandler()->onConnectionBreak(this);
  connRecycle();
}

HX_SenderConnectionTCP* HX_SenderConnectionTCP::fromTrial(HX_MediaConnectionTrialTCP& trial,
                                                          HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr || trial.GetHandle() == -1) return nullptr;
  trial.SetState(false);
  auto* connection = new HX_SenderConnectionTCP(trial, handler);
  // Detects a vanished peer within seconds; type of service 48 marks the stream as media.
  connection->Parent()->Ioctl_3(HXZNativeSocketHelper::kKeepAlive, connection, 3, 3, 1);
  connection->Parent()->Ioctl_1(HXZNativeSocketHelper::kQoS, connection, 48);
  return connection;
}

HX_ReceiverConnectionTCP* HX_ReceiverConnectionTCP::fromTrial(HX_MediaConnectionTrialTCP& trial,
                                                              HX_MediaStreamNetHandler* handler) {
  if (HXZServer::m_Instance == nullptr || trial.GetHandle() == -1) return nullptr;
  trial.SetState(false);
  auto* connection = new HX_ReceiverConnectionTCP(trial, handler);
  connection->Parent()->Ioctl_3(HXZNativeSocketHelper::kKeepAlive, connection, 3, 1, 4);
  const int64_t buffer =
      connection->Parent()->Ioctl_0(HXZNativeSocketHelper::kGetRcvBufSize, connection);
  if (buffer > 0 && buffer < kMinRecvBuffer) {
    connection->Parent()->Ioctl_1(HXZNativeSocketHelper::kSetRcvBufSize, connection,
                                  kMinRecvBuffer);
  }
  return connection;
}
