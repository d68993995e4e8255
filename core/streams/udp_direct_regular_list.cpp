#include "core/streams/udp_direct_regular_list.h"

#include <sys/socket.h>

#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/stream_stand_ins.h"
#include "core/streams/udp_listener_socket.h"

namespace hx::streams {

UdpReglDirectStreamList::UdpReglDirectStreamList(HX_UdpStreamsSupervisor* supervisor)
    : UdpHandlersListBase(supervisor) {}

UdpReglDirectStreamList::~UdpReglDirectStreamList() {
  // No event can reach the list any more (its handlers hold it by weak pointer), but the
  // connector still holds the handlers and their address bindings: give them back.
  for (auto& [id, connection] : m_connections) releaseHandler(*connection.handler);
}

bool UdpReglDirectStreamList::createRegularHandlers(ConferenceLock& lock,
                                                    const std::string& peerName) {
  enum class Obtained { held, relocked, fetched } obtained = Obtained::held;
  if (!lock.isLocked()) {
    if (lock.ReLock()) {
      obtained = Obtained::relocked;
    } else if (getConferenceLock(lock)) {
      obtained = Obtained::fetched;
    } else {
      return false;
    }
  }
  bool chosen = false;
  if (lock->getPeer(peerName) != nullptr) {
    size_t taken = 0;
    if (const auto trialList = lock->getUdpTrialList()) {
      trialList->getAttempts(lock, peerName,
                             [&](const udp::TrialDirectConnection& connection,
                                 std::shared_ptr<UdpDirectHandler>& handler) {
                               const bool took = takeAttempt(connection, handler);
                               taken += took ? 1 : 0;
                               return took;
                             });
    }
    if (taken > 0) {
      HXAutoLock guard(m_lock);
      m_current = nullptr;
      chooseCurrentNL();
      if (m_current != nullptr) {
        m_state.store(static_cast<uint32_t>(State::connected), std::memory_order_release);
        chosen = true;
      }
    }
    m_invited = lock->isFlag(HX_Conference::kFlagInvited);
  }
  if (obtained == Obtained::fetched) lock.Unlock();
  if (obtained == Obtained::relocked) lock.TempUnlock();
  return chosen;
}

bool UdpReglDirectStreamList::takeAttempt(const udp::TrialDirectConnection& connection,
                                          std::shared_ptr<UdpDirectHandler>& handler) {
  const uint32_t id = handler->getHandlerUdpId();
  HXAutoLock guard(m_lock);
  if (m_connections.count(id) != 0) return false;
  RegularConn& record = m_connections[id];
  record.info = UdpDConnInfo{connection.epn,      connection.local,    connection.remote,
                             connection.peerName, connection.socketId, connection.rtt};
  record.handler = std::move(handler);
  record.handlerId = id;
  record.handler->setDataCallback(weak_from_this());
  record.handler->setRegistratorCallback(weak_from_this());
  return true;
}

bool UdpReglDirectStreamList::selectCurrent() {
  HXAutoLock guard(m_lock);
  chooseCurrentNL();
  return m_current != nullptr;
}

// The first usable connection in map order, replaced by each later one with a smaller round-trip
// time, or by any later one while the choice's time is unknown.
void UdpReglDirectStreamList::chooseCurrentNL() {
  RegularConn* choice = nullptr;
  for (auto& [id, connection] : m_connections) {
    if (connection.disconnected) continue;
    if (choice == nullptr || choice->info.rtt == 0 || connection.info.rtt < choice->info.rtt) {
      choice = &connection;
    }
  }
  m_current = choice;
}

bool UdpReglDirectStreamList::removeHandlerNL(ConnMap::iterator it) {
  const bool wasCurrent = m_current == &it->second;
  releaseHandler(*it->second.handler);
  m_connections.erase(it);
  if (!wasCurrent) return false;
  chooseCurrentNL();
  return m_current == nullptr;
}

size_t UdpReglDirectStreamList::Send(const void* data, size_t size) {
  UDPListenerSocketDescriptor* descriptor = m_descriptor.load(std::memory_order_acquire);
  HXAutoLock guard(m_lock);
  if (descriptor == nullptr || m_current == nullptr) return 0;
  return descriptor->getListenerSocket()->SendTo(data, size, m_current->info.remote, 0);
}

bool UdpReglDirectStreamList::setSendState(bool on) {
  HXAutoLock guard(m_lock);
  if (m_current == nullptr) return true;
  m_current->handler->setSendStateAsync(on);
  m_sendStateHandlerId = m_current->handlerId;
  return true;
}

bool UdpReglDirectStreamList::startTimer(uint32_t type, uint64_t ms) {
  HXAutoLock guard(m_lock);
  if (m_current != nullptr) m_current->handler->startTimer(type, ms);
  return true;
}

uint64_t UdpReglDirectStreamList::getSndBufSize() {
  HXAutoLock guard(m_lock);
  if (m_current == nullptr || m_current->sndBufSize == 0) return kDefaultSndBufSize;
  return m_current->sndBufSize;
}

bool UdpReglDirectStreamList::hasIPv6() {
  HXAutoLock guard(m_lock);
  for (const auto& [id, connection] : m_connections) {
    if (connection.info.local.sysFamily() == AF_INET6) return true;
  }
  return false;
}

bool UdpReglDirectStreamList::stopHandlers() {
  if (isState(State::idle)) return true;
  if (isState(State::stopping)) return false;
  HXAutoLock guard(m_lock);
  m_current = nullptr;
  for (auto& [id, connection] : m_connections) releaseHandler(*connection.handler);
  m_connections.clear();
  m_state.exchange(static_cast<uint32_t>(State::idle));
  return true;
}

void UdpReglDirectStreamList::disconnectedFromSocketNotify(HandlerUDP* handler,
                                                           uint32_t /*socketId*/) {
  {
    HXAutoLock guard(m_lock);
    const auto it = m_connections.find(handler->getHandlerUdpId());
    if (it == m_connections.end() || it->second.disconnected) return;
    it->second.disconnected = true;
    if (m_current != &it->second) return;
    chooseCurrentNL();
    if (m_current != nullptr) return;
  }
  notifyConnectionBreak();
}

void UdpReglDirectStreamList::removedFromCcnNotify(HandlerUDP* handler) {
  bool broken = false;
  {
    HXAutoLock guard(m_lock);
    const auto it = m_connections.find(handler->getHandlerUdpId());
    if (it != m_connections.end()) broken = removeHandlerNL(it);
  }
  if (broken) notifyConnectionBreak();
}

void UdpReglDirectStreamList::onRecvMsgImp(HandlerUDP* handler,
                                           UDPListenerSocketDescriptor* descriptor,
                                           const HandlerUDP::MsgDescriptor& message) {
  if (!isConnected()) return;
  {
    HXAutoLock guard(m_lock);
    // The invited side follows the path on which the peer reached it last.
    if (m_invited && (m_current == nullptr || m_current->handler.get() != handler)) {
      const auto it = m_connections.find(handler->getHandlerUdpId());
      if (it == m_connections.end()) return;
      m_current = &it->second;
    }
  }
  m_descriptor.store(descriptor, std::memory_order_release);
  notifyDataReceived(message.data, message.size);
  m_descriptor.store(nullptr, std::memory_order_release);
}

void UdpReglDirectStreamList::onReadySendImp(HandlerUDP* /*handler*/,
                                             UDPListenerSocketDescriptor* descriptor) {
  {
    HXAutoLock guard(m_lock);
    if (m_current == nullptr) return;
    if (m_current->handlerId != m_sendStateHandlerId) {
      // Readiness was asked for a handler that is no longer current: ask again for this one.
      m_current->handler->setSendStateAsync(true);
      m_sendStateHandlerId = m_current->handlerId;
      return;
    }
    if (m_current->sndBufSize == 0) {
      const int size = descriptor->getListenerSocket()->getSndBufSize();
      m_current->sndBufSize = static_cast<uint64_t>(size);
    }
  }
  m_descriptor.store(descriptor, std::memory_order_release);
  notifyOnReadyToSend();
  m_descriptor.store(nullptr, std::memory_order_release);
}

void UdpReglDirectStreamList::onTimerImp(HandlerUDP* /*handler*/, uint32_t type) {
  notifyTimerExp(type);
}

}  // namespace hx::streams
