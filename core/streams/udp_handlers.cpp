#include "core/streams/udp_handlers.h"

#include <utility>

#include "core/streams/udp_cross_connector.h"

namespace hx::streams {

// ---- Requests through the connector ----

void HandlerUDP::DeleteLater() { m_connector->removeHandler(getHandlerUdpId()); }

void HandlerUDP::changeSocket(uint32_t socketId, const HXSockAddr* address) {
  m_connector->changeSocket(getHandlerUdpId(), socketId, address);
}

void HandlerUDP::setSendStateAsync(bool on) { m_connector->setSendState(getHandlerUdpId(), on); }

void HandlerUDP::startTimer(uint32_t type, uint64_t ms) {
  m_connector->timerControl(true, getHandlerUdpId(), type, ms);
}

void HandlerUDP::stopTimer(uint32_t type) {
  m_connector->timerControl(false, getHandlerUdpId(), type, 0);
}

void HandlerUDP::assocFromAddrAsync(const HXSockAddr& address) {
  m_connector->assocFromAddr(getHandlerUdpId(), address);
}

// ---- At once on the descriptor ----

void HandlerUDP::setSendState(UDPListenerSocketDescriptor* descriptor, bool on) {
  descriptor->setSendState(getHandlerUdpId(), this, on);
}

void HandlerUDP::startTimer(UDPListenerSocketDescriptor* descriptor, uint32_t type, uint64_t ms) {
  descriptor->timerControl(true, getHandlerUdpId(), this, type, ms);
}

void HandlerUDP::stopTimer(UDPListenerSocketDescriptor* descriptor, uint32_t type) {
  descriptor->timerControl(false, getHandlerUdpId(), this, type, 0);
}

bool HandlerUDP::assocFromAddr(UDPListenerSocketDescriptor* descriptor, const HXSockAddr& address,
                               bool replace) {
  if (replace) descriptor->eraseBinding(getHandlerUdpId());
  return descriptor->addBinding(address, getHandlerUdpId());
}

// ---- Connector notifications ----

void HandlerUDP::onHandlerRegisteredByCcn(const std::shared_ptr<HandlerUDP>& self, bool ok) {
  m_state.store(kRegistered, std::memory_order_release);
  registeredByCcnNotify(self, ok);
}

void HandlerUDP::onConnectedToSocket(uint32_t socketId) {
  if (socketId != 0) m_state.store(kTied, std::memory_order_release);
  m_socketId.store(socketId, std::memory_order_release);
  connectedToSocketNotify(this);
}

void HandlerUDP::onAssocFromAddr(bool ok) { assocFromAddrNotify(this, ok); }

void HandlerUDP::onDisconnectedFromSocket(uint32_t socketId) {
  m_socketId.store(0, std::memory_order_release);
  m_state.store(kRegistered, std::memory_order_release);
  disconnectedFromSocketNotify(this, socketId);
}

void HandlerUDP::onHandlerRemovedFromCcn() {
  m_state.store(kNotRegistered, std::memory_order_release);
  removedFromCcnNotify(this);
}

// ---- Data redirector ----

void HandlerUDPDataCallbacksRedirector::setDataCallback(
    std::weak_ptr<HandlerUDPDataCallbacks> owner) {
  HXAutoLock lock(m_lock);
  m_owner = std::move(owner);
}

void HandlerUDPDataCallbacksRedirector::clearDataCallback() {
  HXAutoLock lock(m_lock);
  m_owner.reset();
}

std::shared_ptr<HandlerUDPDataCallbacks> HandlerUDPDataCallbacksRedirector::getDataCallback()
    const {
  HXAutoLock lock(m_lock);
  return m_owner.lock();
}

void HandlerUDPDataCallbacksRedirector::onError(HandlerErrors errors) {
  if (const auto owner = getDataCallback()) owner->onErrorImp(this, errors);
}

void HandlerUDPDataCallbacksRedirector::onRecvMsg(UDPListenerSocketDescriptor* descriptor,
                                                  const MsgDescriptor& message) {
  if (const auto owner = getDataCallback()) owner->onRecvMsgImp(this, descriptor, message);
}

void HandlerUDPDataCallbacksRedirector::onReadySend(UDPListenerSocketDescriptor* descriptor) {
  if (const auto owner = getDataCallback()) owner->onReadySendImp(this, descriptor);
}

void HandlerUDPDataCallbacksRedirector::onTimer(uint32_t type) {
  if (const auto owner = getDataCallback()) owner->onTimerImp(this, type);
}

// ---- Registrator redirector ----

void HandlerUDPRegistratorCallbacksRedirector::setRegistratorCallback(
    std::weak_ptr<HandlerUDPRegistratorCallbacks> owner) {
  HXAutoLock lock(m_lock);
  m_owner = std::move(owner);
}

void HandlerUDPRegistratorCallbacksRedirector::clearRegistratorCallback() {
  HXAutoLock lock(m_lock);
  m_owner.reset();
}

std::shared_ptr<HandlerUDPRegistratorCallbacks> HandlerUDPRegistratorCallbacksRedirector::owner()
    const {
  HXAutoLock lock(m_lock);
  return m_owner.lock();
}

void HandlerUDPRegistratorCallbacksRedirector::assocFromAddrNotify(HandlerUDP* handler, bool ok) {
  if (const auto target = owner()) target->assocFromAddrNotify(handler, ok);
}

void HandlerUDPRegistratorCallbacksRedirector::connectedToSocketNotify(HandlerUDP* handler) {
  if (const auto target = owner()) target->connectedToSocketNotify(handler);
}

void HandlerUDPRegistratorCallbacksRedirector::disconnectedFromSocketNotify(HandlerUDP* handler,
                                                                            uint32_t socketId) {
  if (const auto target = owner()) target->disconnectedFromSocketNotify(handler, socketId);
}

void HandlerUDPRegistratorCallbacksRedirector::registeredByCcnNotify(
    const std::shared_ptr<HandlerUDP>& handler, bool ok) {
  if (const auto target = owner()) {
    target->registeredByCcnNotify(handler, ok);
  } else if (ok) {
    // Nobody would ever release it: the owner died before the registration came through.
    handler->DeleteLater();
  }
}

void HandlerUDPRegistratorCallbacksRedirector::removedFromCcnNotify(HandlerUDP* handler) {
  if (const auto target = owner()) target->removedFromCcnNotify(handler);
}

}  // namespace hx::streams
