#include "core/transport/transport.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>

#include "core/base/event.h"
#include "core/base/ios_log.h"
#include "core/base/tick_clock.h"
#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver.h"
#include "core/transport/handshake_secure.h"
#include "core/transport/handshake_simple.h"
#include "core/transport/transport_connection.h"
#include "core/transport/transport_packet_manager.h"
#include "core/wire/client_message.h"
#include "core/wire/transport_handshake.h"

HXZTransportConnectionCallback::~HXZTransportConnectionCallback() = default;

HXZTransport::HXZTransport()
    : m_guard(std::make_shared<HXGuardedTarget<HXZTransport>>(this)),
      m_handshakeSimple(std::make_unique<HXHelperHandshakeSimple>()),
      m_handshakeSecure(std::make_unique<HXHelperHandshakeSecure>()),
      m_packetManager(std::make_unique<HXTransportPacketManager>(this, m_handshakeSimple.get())) {}

namespace {

// A network job that only tells its waiter that the loop got to it (or dropped it unrun).
class LoopBarrier : public HXStoredTask {
 public:
  explicit LoopBarrier(HXEvent& reached) : m_reached(reached) {}
  ~LoopBarrier() override { m_reached.Set(); }
  void Execute() override {}

 private:
  HXEvent& m_reached;
};

}  // namespace

HXZTransport::~HXZTransport() {
  m_guard->Revoke();
  resetCheckPingJob(0);
  {
    HXAutoLock lock(*this);
    if (HXZTransportConnection* connection = m_connection.exchange(nullptr)) connection->stop();
  }
  WaitUntilTheLoopLetsGo();
}

// The loop may be delivering an event to this transport right now, and sockets stopped from
// other threads still have it on their callback chains until the loop deletes them. Their
// deletions are queued in the loop's pipe before a job queued now, so once that job is reached
// no event can reach the transport any more.
void HXZTransport::WaitUntilTheLoopLetsGo() {
  HXZServer* loop = HXZServer::m_Instance;
  if (loop == nullptr || !loop->isRunning() || loop->onLoopThread()) return;
  HXEvent reached(false);
  if (HXZServer::ScheduleNetworkJob(new LoopBarrier(reached), 0)) reached.Wait();
}

bool HXZTransport::ConnectServer(std::shared_ptr<HX_TransportConnectionParam> param,
                                 uint64_t timeLimitMs) {
  HXAutoLock lock(*this);
  if (param == nullptr || param->getServerAddress().empty()) {
    ios_log("Empty address");
    return false;
  }
  m_param = std::move(param);
  if (m_state.load() != stateIdle) _disconnectServer();
  m_connectionCounter.fetch_add(1);
  if (!connectServerInt(!m_param->getCID().empty())) {
    // Nothing will ever report on this connection: end it now rather than at the next connect.
    if (HXZTransportConnection* connection = m_connection.exchange(nullptr)) connection->stop();
    m_state.store(stateIdle);
    return false;
  }
  const uint32_t delay = static_cast<uint32_t>(std::min<uint64_t>(timeLimitMs, UINT32_MAX));
  HXZServer::ScheduleNetworkJob(
      HXGuardedCall(m_guard, &HXZTransport::OnCheckTransportState, m_connectionCounter.load()), delay);
  return true;
}

bool HXZTransport::connectServerInt(bool keepClientId) {
  if (HXZServer::m_Instance == nullptr) return false;
  HXZTransportConnection* connection =
      HXZServer::implantNative<HXZTransportConnection>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  connection->setOwner(this);
  m_connection.store(connection);
  m_state.store(stateConnecting);
  m_dataManager.store(&m_connectDataManager);
  m_handshakeResult.store(HXHelperHandshakeSimple::kResultNone);
  m_handshakeSimple->InitHandshake(keepClientId, HX_GetKeepAliveSupport(), true, false);
  m_handshakeSecure->InitHandshake(m_param);
  m_packetManager->init();
  return connection->Connect(
      HXZEndpointFqdn::remoteTCP(m_param->getServerAddress(), m_param->getServerPort()));
}

bool HXZTransport::DisconnectServer() {
  HXAutoLock lock(*this);
  _disconnectServer();
  return true;
}

void HXZTransport::_disconnectServer() {
  HXAutoLock lock(*this);
  m_connectionCounter.fetch_add(1);  // voids every check scheduled before
  m_packetManager->StopReading();
  if (m_state.load() != stateIdle) {
    if (HXZTransportConnection* connection = m_connection.exchange(nullptr)) connection->stop();
    m_state.store(stateIdle);
  }
  resetCheckPingJob(0);
}

bool HXZTransport::QueuePacket(HX_ClientMessage* message) {
  HXAutoLock lock(*this);
  return QueueMessage(message, false);
}

bool HXZTransport::QueuePacketFirst(HX_ClientMessage* message) { return QueueMessage(message, true); }

bool HXZTransport::QueueMessage(HX_ClientMessage* message, bool front) {
  if (message == nullptr) return false;
  if (front) {
    m_packetManager->PushFront(message);
  } else {
    m_packetManager->PushBack(message);
  }
  m_lastQueuedTime = hx::GetTickCount();
  HXZTransportConnection* connection = m_connection.load();
  if (m_state.load() != stateConnected || connection == nullptr) return false;
  return connection->SendAsync(true);
}

uint32_t HXZTransport::GetNextSequence() { return m_sequence.fetch_add(1) + 1; }

HXZNativeSocketDetails HXZTransport::GetTransportAddress() {
  HXAutoLock lock(*this);
  HXZTransportConnection* connection = m_connection.load();
  if (m_state.load() != stateConnected || connection == nullptr) return HXZNativeSocketDetails();
  return connection->GetTransportAddress();
}

bool HXZTransport::getLocalBind(HXSockAddr& address) {
  HXAutoLock lock(*this);
  HXZTransportConnection* connection = m_connection.load();
  return m_state.load() == stateConnected && connection != nullptr && connection->getLocalBind(address);
}

std::shared_ptr<HX_TransportConnectionParam> HXZTransport::getConnectionParam() {
  HXAutoLock lock(*this);
  return m_param;
}

bool HXZTransport::getKeepAlive() { return m_handshakeSimple->GetKeepAlive(); }

void HXZTransport::OnTransportConnect() {}

int32_t HXZTransport::OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  HXZADataManager* manager = m_dataManager.load();
  // Events of a connection that was dropped meanwhile are not this connection's business.
  if (manager == nullptr || socket != m_connection.load()) return 0;
  SwitchNextState(manager->OnReadyRecvImp(socket, handler), socket);
  return 0;
}

int32_t HXZTransport::OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  HXZADataManager* manager = m_dataManager.load();
  if (manager == nullptr || socket != m_connection.load()) return 0;
  SwitchNextState(manager->OnReadySendImp(socket, handler), socket);
  return 0;
}

void HXZTransport::OnClose(HXZADataHandler*) {}

void HXZTransport::OnError() {
  const State state = m_state.load();
  if (state == stateIdle) return;
  ios_log("HXZTransport::OnError in state %d", static_cast<int>(state));
  SetTransportState(stateFailed);
}

void HXZTransport::onConnectionError() { OnError(); }

void HXZTransport::SwitchNextState(int32_t managerState, const HXZASocket* from) {
  if (managerState == HXZADataManager::keepGoing) return;
  if (managerState != HXZADataManager::done) {
    SetTransportState(stateFailed, from);
    return;
  }
  switch (m_state.load()) {
    case stateConnecting:
      if (SetTransportState(stateHandshake, from)) {
        // The request goes out now rather than at the next ready-to-send event.
        if (HXZTransportConnection* connection = m_connection.load()) OnReadySendImp(connection, connection);
      }
      break;
    case stateHandshake:
      SetTransportState(m_handshakeSimple->GetSSL() ? stateSecureHandshake : stateConnected, from);
      break;
    case stateSecureHandshake:
      SetTransportState(stateConnected, from);
      break;
    default:
      break;
  }
}

bool HXZTransport::SetTransportState(State state, const HXZASocket* from) {
  HXSoftLock lock(*this, true);
  // An event of a connection that a ConnectServer or DisconnectServer from another thread has
  // replaced meanwhile is not the current connection's business.
  if (from != nullptr && from != m_connection.load()) return false;
  const State old = m_state.load();
  // A failure that comes in after a disconnect from another thread has nothing left to end.
  if (old == state || (state == stateFailed && old == stateIdle)) return false;
  m_state.store(state);
  HXZTransportConnection* connection = m_connection.load();
  switch (state) {
    case stateConnecting:
      m_dataManager.store(&m_connectDataManager);
      break;
    case stateHandshake:
      if (connection != nullptr) connection->tuneSocketParams();
      m_dataManager.store(m_handshakeSimple.get());
      m_packetManager->SetSecureShield(m_handshakeSimple.get());
      break;
    case stateSecureHandshake:
      m_param->setSID(m_handshakeSimple->GetSID());
      m_dataManager.store(m_handshakeSecure.get());
      m_packetManager->SetSecureShield(m_handshakeSecure.get());
      break;
    case stateConnected:
      if (s_stateEntryHook != nullptr) s_stateEntryHook(this, state);
      EnterConnected(lock);
      break;
    case stateFailed:
      if (s_stateEntryHook != nullptr) s_stateEntryHook(this, state);
      EnterFailed(old, lock);
      break;
    case stateIdle:
      break;
  }
  return true;
}

// Entered with the lock that stored the state still held: the bookkeeping belongs to the same
// acquisition, so a ConnectServer from another thread comes either before the state was stored
// (and the event is dropped as one of a replaced connection) or after the bookkeeping (and
// replaces a connection that is fully connected).
void HXZTransport::EnterConnected(HXSoftLock& lock) {
  const int counter = m_connectionCounter.fetch_add(1) + 1;
  m_silentChecks.store(0);
  m_lastQueuedTime = hx::GetTickCount();
  m_dataManager.store(m_packetManager.get());
  HXZTransportConnection* connection = m_connection.load();
  const int64_t idle = m_handshakeSimple->GetIdleTimeout();
  const bool keep_alive = m_handshakeSimple->GetKeepAlive();
  if (keep_alive && connection != nullptr) {
    connection->tuneKeepAlive(3, static_cast<int>(idle / 500), static_cast<int>(idle / 1000 - 1));
  }
  const int32_t secure_result = m_handshakeSecure->GetResult();
  const int32_t result =
      m_handshakeSimple->GetSSL() && secure_result != 0 ? secure_result : m_handshakeSimple->GetResult();
  m_handshakeResult.store(result);
  // Messages the service layer queued while the connection came up go out now.
  if (connection != nullptr && !m_packetManager->QueueEmpty()) connection->SendAsync(true);
  const std::string host = connection != nullptr ? connection->GetTransportAddress().HostRemote() : "";
  m_param->setSID(m_handshakeSimple->GetSID());
  m_param->setCID(m_handshakeSimple->GetCID());
  const HX_TransportConnectionParam param = *m_param;
  lock.Unlock();
  sigServerUpdate.Emit(param, host.c_str(), result, keep_alive);
  scheduleCheckPingJob(counter, LifeCheckDelay(idle / 2));
}

// Entered with the lock held, as EnterConnected. The update is emitted without the lock; a
// handler (or another thread) that moved on meanwhile (a new connect, a disconnect) has ended
// this connection, and nothing more is done for it.
void HXZTransport::EnterFailed(State old, HXSoftLock& lock) {
  const int32_t plain_result = m_handshakeSimple->GetResult();
  const int32_t secure_result = m_handshakeSecure->GetResult();
  int32_t code = plain_result;
  if (old == stateConnecting) {
    code = 1;
  } else if (m_handshakeSimple->GetSSL() && secure_result != 0) {
    code = secure_result;
  }
  m_handshakeResult.store(code);
  const bool update = plain_result != 0 || old == stateConnecting;
  if (update) {
    const int counter = m_connectionCounter.load();
    const HX_TransportConnectionParam param = *m_param;
    const bool keep_alive = m_handshakeSimple->GetKeepAlive();
    lock.Unlock();
    sigServerUpdate.Emit(param, param.getServerAddress().c_str(), code, keep_alive);
    lock.Lock();
    if (counter != m_connectionCounter.load()) return;
  }
  const long reason = update ? kReasonConnectFailed
                             : (old == stateConnected ? kReasonConnectionLost : kReasonHandshakeFailed);
  _disconnectServer();
  emitServerUnavailable(reason);
}

void HXZTransport::OnCheckTransportState(int counter) {
  HXAutoLock lock(*this);
  if (counter != m_connectionCounter.load()) return;
  _disconnectServer();
  emitServerUnavailable(kReasonTimeLimit);
}

void HXZTransport::emitServerUnavailable(long reason) {
  std::string address;
  uint16_t port = 0;
  {
    HXAutoLock lock(*this);
    if (m_param != nullptr) address = m_param->getServerAddress(port);
  }
  sigServerUnavailable.Emit(address.c_str(), port, reason);
}
