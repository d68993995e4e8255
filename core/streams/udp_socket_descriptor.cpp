#include "core/streams/udp_socket_descriptor.h"

#include <algorithm>
#include <iterator>

#include "core/net/socket/socket_data_handler.h"
#include "core/streams/udp_cross_connector.h"
#include "core/streams/udp_handlers.h"
#include "core/streams/udp_listener_socket.h"

namespace hx::streams {

UDPListenerSocketDescriptor::UDPListenerSocketDescriptor(UDPCrossConnector* connector,
                                                         ListenerSocketUDP* socket)
    : m_connector(connector), m_socket(socket) {
  m_socket->pushCallback(this);
  m_linked = true;
}

UDPListenerSocketDescriptor::~UDPListenerSocketDescriptor() { unlink(); }

void UDPListenerSocketDescriptor::unlink() {
  if (!m_linked) return;
  m_linked = false;
  // The socket may live on for a while (it is stopped later): it must not keep asking for
  // send readiness that nobody serves.
  if (!m_sendList.empty()) m_socket->setSendFlags(false);
  m_socket->removeCallback(this);
}

// ---- Socket events ----
// Each callback keeps the connector in a local: an operation that the callback runs may retire
// this descriptor, which is then destroyed by the last call, leaveDescriptorCallback.

int32_t UDPListenerSocketDescriptor::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  UDPCrossConnector* connector = m_connector;
  connector->enterDescriptorCallback();
  runPendingOps();
  if (m_linked) receiveOne();
  runPendingOps();
  connector->leaveDescriptorCallback();
  return HXZADataManager::keepGoing;
}

int32_t UDPListenerSocketDescriptor::OnReadySendImp(HXZASocket*, HXZADataHandler*) {
  UDPCrossConnector* connector = m_connector;
  connector->enterDescriptorCallback();
  runPendingOps();
  if (m_linked) serveOneSender();
  runPendingOps();
  connector->leaveDescriptorCallback();
  return HXZADataManager::keepGoing;
}

void UDPListenerSocketDescriptor::OnError() {
  UDPCrossConnector* connector = m_connector;
  connector->enterDescriptorCallback();
  runPendingOps();
  // A handler may change the map from its callback ("at once" operations): call a copy.
  std::vector<HandlerUDP*> handlers;
  handlers.reserve(m_handlers.size());
  for (const auto& [id, entry] : m_handlers) handlers.push_back(entry.handler);
  for (HandlerUDP* handler : handlers) handler->onError(HandlerErrors::socketError);
  runPendingOps();
  connector->leaveDescriptorCallback();
}

void UDPListenerSocketDescriptor::OnTimer(unsigned id) {
  UDPCrossConnector* connector = m_connector;
  connector->enterDescriptorCallback();
  runPendingOps();
  const auto timer = m_socketTimers.find(id);
  if (timer != m_socketTimers.end()) {
    const SockTimerEntry fired = timer->second;
    m_socketTimers.erase(timer);
    const auto entry = m_handlers.find(fired.handlerId);
    if (entry != m_handlers.end()) {
      entry->second.timers.erase(fired.type);
      entry->second.handler->onTimer(fired.type);
    }
  }
  runPendingOps();
  connector->leaveDescriptorCallback();
}

void UDPListenerSocketDescriptor::runPendingOps() {
  if (m_linked && m_connector->hasPendingOps()) m_connector->processCtrlQueue();
}

void UDPListenerSocketDescriptor::receiveOne() {
  MsgDescriptor message;
  uint8_t* buffer = m_connector->recvBuffer();
  const size_t size =
      m_socket->RecvFrom(buffer, UDPCrossConnector::kRecvBufferSize, 0, &message.source);
  // Would-block and failed receives carry no datagram; an empty datagram is one.
  if (m_socket->GetRecvStatus() != HXZRecvStatus::data) return;
  message.data = buffer;
  message.size = std::min(size, UDPCrossConnector::kRecvBufferSize);
  message.local = m_socket->getBoundAddress();

  if (m_cacheHandler != nullptr && message.source.cmp(m_cacheAddr) == 0) {
    m_cacheHandler->onRecvMsg(this, message);
    return;
  }
  const auto bound = m_bindings.find(message.source);
  if (bound != m_bindings.end()) {
    const auto entry = m_handlers.find(bound->second);
    if (entry != m_handlers.end()) {
      m_cacheAddr = message.source;
      m_cacheHandler = entry->second.handler;
      m_cacheHandler->onRecvMsg(this, message);
      return;
    }
  }
  if (HandlerUDP* fallback = m_connector->defaultHandler()) fallback->onRecvMsg(this, message);
}

void UDPListenerSocketDescriptor::serveOneSender() {
  if (m_sendList.empty()) return;
  if (m_sendIndex >= m_sendList.size()) m_sendIndex = 0;
  const size_t sizeBefore = m_sendList.size();
  const size_t indexBefore = m_sendIndex;
  m_sendList[m_sendIndex].handler->onReadySend(this);
  // A handler that left the list in its turn has already moved the next one to its index.
  if (m_sendList.size() < sizeBefore || m_sendIndex != indexBefore) return;
  m_sendIndex = m_sendIndex + 1 >= m_sendList.size() ? 0 : m_sendIndex + 1;
}

// ---- Handlers ----

void UDPListenerSocketDescriptor::addHandler(uint32_t id, HandlerUDP* handler) {
  m_handlers.try_emplace(id, RecvCacheEntry{handler, {}});
}

void UDPListenerSocketDescriptor::removeHandler(uint32_t id, HandlerUDP* handler) {
  setSendState(id, handler, false);
  const auto entry = m_handlers.find(id);
  if (entry != m_handlers.end()) {
    if (m_cacheHandler == entry->second.handler) {
      m_cacheHandler = nullptr;
      m_cacheAddr.clear();
    }
    for (const auto& [type, socketTimerId] : entry->second.timers) stopTimer(socketTimerId);
    m_handlers.erase(entry);
  }
  eraseBinding(id);
}

bool UDPListenerSocketDescriptor::addBinding(const HXSockAddr& address, uint32_t id) {
  return m_bindings.emplace(address, id).second;
}

void UDPListenerSocketDescriptor::eraseBinding(uint32_t id) {
  for (auto it = m_bindings.begin(); it != m_bindings.end();) {
    if (it->second != id) {
      ++it;
      continue;
    }
    // The cache may hold a source whose binding goes now; the next datagram must look it up.
    if (m_cacheHandler != nullptr && m_cacheAddr.cmp(it->first) == 0) {
      m_cacheHandler = nullptr;
      m_cacheAddr.clear();
    }
    it = m_bindings.erase(it);
  }
}

bool UDPListenerSocketDescriptor::getHandlerAssoc(uint32_t id, HXSockAddr* address) const {
  for (const auto& [bound, owner] : m_bindings) {
    if (owner != id) continue;
    *address = bound;
    return true;
  }
  return false;
}

void UDPListenerSocketDescriptor::setSendState(uint32_t id, HandlerUDP* handler, bool on) {
  const auto found = std::find_if(m_sendList.begin(), m_sendList.end(),
                                  [id](const SendCacheEntry& entry) { return entry.id == id; });
  if (on) {
    // Only a handler tied to this socket is served (and removed with it): the default handler,
    // which sees every socket's strangers, cannot slip into another socket's list.
    if (found != m_sendList.end() || m_handlers.count(id) == 0) return;
    if (m_sendList.empty()) {
      m_sendIndex = 0;
      m_socket->setSendFlags(true);
    }
    m_sendList.push_back(SendCacheEntry{id, handler});
    return;
  }
  if (found == m_sendList.end()) return;
  m_sendList.erase(found);
  if (m_sendList.empty()) {
    m_socket->setSendFlags(false);
    m_sendIndex = 0;
  } else if (m_sendIndex >= m_sendList.size()) {
    m_sendIndex = 0;
  }
}

// ---- Timers ----

void UDPListenerSocketDescriptor::timerControl(bool start, uint32_t id, HandlerUDP* handler,
                                               uint32_t type, uint64_t ms) {
  const auto entry = m_handlers.find(id);
  if (entry == m_handlers.end() || entry->second.handler != handler) return;
  if (start) {
    startTimer(id, entry->second, type, ms);
    return;
  }
  const auto timer = entry->second.timers.find(type);
  if (timer == entry->second.timers.end()) return;
  stopTimer(timer->second);
  entry->second.timers.erase(timer);
}

void UDPListenerSocketDescriptor::startTimer(uint32_t id, RecvCacheEntry& entry, uint32_t type,
                                             uint64_t ms) {
  uint32_t socketTimerId = kNoTimerId;
  const auto known = entry.timers.find(type);
  if (known != entry.timers.end()) {
    socketTimerId = known->second;
  } else {
    socketTimerId = nextSocketTimerId();
    if (socketTimerId == kNoTimerId) return;
    m_socketTimers.emplace(socketTimerId, SockTimerEntry{id, type});
    entry.timers.emplace(type, socketTimerId);
  }
  // The socket counts in 32 bits: a longer period is as good as never.
  const uint32_t delay = static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
  if (m_socket->startTimer(socketTimerId, delay)) return;
  m_socketTimers.erase(socketTimerId);
  entry.timers.erase(type);
}

void UDPListenerSocketDescriptor::stopTimer(uint32_t socketTimerId) {
  m_socket->stopTimer(socketTimerId);
  m_socketTimers.erase(socketTimerId);
}

uint32_t UDPListenerSocketDescriptor::nextSocketTimerId() {
  // Fewer live timers than ids: the search ends long before it could come round.
  for (size_t tried = 0; tried <= m_socketTimers.size(); ++tried) {
    m_timerSequence = m_timerSequence + 1 == kNoTimerId ? 0 : m_timerSequence + 1;
    if (m_socketTimers.count(m_timerSequence) == 0) return m_timerSequence;
  }
  return kNoTimerId;
}

}  // namespace hx::streams
