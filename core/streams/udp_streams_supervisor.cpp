#include "core/streams/udp_streams_supervisor.h"

#include "core/conference/model/conference.h"
#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/stream_stand_ins.h"
#include "core/streams/udp_cross_connector.h"
#include "core/streams/udp_direct_hello.h"

using hx::streams::UdpBottomHandler;
using hx::streams::UDPListenerSocketDescriptor;

HX_UdpStreamsSupervisor::HX_UdpStreamsSupervisor(HX_ConfStorage* confStorage,
                                                 hx::streams::UDPCrossConnector* listener)
    : m_confStorage(confStorage),
      m_listener(listener),
      m_bottomHandler(std::make_shared<UdpBottomHandler>(this)) {
  m_listener->registerHandler(m_bottomHandler, true);
}

HX_UdpStreamsSupervisor::~HX_UdpStreamsSupervisor() {
  m_bottomHandler->detach();
  // Not registered yet: the registration's answer removes it (UdpBottomHandler::detach).
  const uint32_t id = m_bottomHandler->getHandlerUdpId();
  if (id != hx::streams::HandlerUDP::NoHandlerId) m_listener->removeHandler(id);
}

void HX_UdpStreamsSupervisor::dataFromUnknownSourceReceived(UDPListenerSocketDescriptor* descriptor,
                                                            const MsgDescriptor& message) {
  if (hx::streams::udp::isUdpDCHelloHeader(message.data, message.size)) {
    unknownUdpDirectHello(descriptor, message);
  }
}

void HX_UdpStreamsSupervisor::unknownUdpDirectHello(UDPListenerSocketDescriptor* descriptor,
                                                    const MsgDescriptor& message) {
  if (m_confStorage->GetForceDisableDirectConnection()) return;
  hx::streams::udp::HelloRequestData hello;
  hello.source = message.source;
  if (!hx::streams::udp::readHelloRequest(message.data, message.size, hello)) return;
  if (hello.conferenceName.empty()) return;
  ConferenceLock lock;
  if (!m_confStorage->getConferenceLock(lock, hello.conferenceName)) return;
  const auto trialList = lock->getUdpTrialList();
  if (trialList != nullptr) trialList->onHelloFromUnknownSource(lock, hello, descriptor, message);
}

void HX_UdpStreamsSupervisor::onBottomHandlerDone(uint32_t /*handlerId*/) {}

namespace hx::streams {

UdpBottomHandler::UdpBottomHandler(HX_UdpStreamsSupervisor* supervisor)
    : HandlerUDP(supervisor->getListener()), m_supervisor(supervisor) {}

void UdpBottomHandler::detach() {
  HXAutoLock guard(m_lock);
  m_supervisor = nullptr;
}

std::shared_ptr<HX_UdpStreamsSupervisor> UdpBottomHandler::supervisor() {
  HXAutoLock guard(m_lock);
  // Empty while the supervisor's destructor runs: its last owner has let go.
  return m_supervisor != nullptr ? m_supervisor->weak_from_this().lock() : nullptr;
}

void UdpBottomHandler::onRecvMsg(UDPListenerSocketDescriptor* descriptor,
                                 const MsgDescriptor& message) {
  if (const auto owner = supervisor()) owner->dataFromUnknownSourceReceived(descriptor, message);
}

void UdpBottomHandler::registeredByCcnNotify(const std::shared_ptr<HandlerUDP>& /*handler*/,
                                             bool ok) {
  bool detached = false;
  {
    HXAutoLock guard(m_lock);
    detached = m_supervisor == nullptr;
  }
  if (ok && detached) getConnector()->removeHandler(getHandlerUdpId());
}

void UdpBottomHandler::removedFromCcnNotify(HandlerUDP* /*handler*/) {
  if (const auto owner = supervisor()) owner->onBottomHandlerDone(getHandlerUdpId());
}

}  // namespace hx::streams
