#include "core/streams/net_listener.h"

#include "core/net/loop/zserver.h"
#include "core/streams/listener_tcp.h"
#include "core/streams/listener_udp.h"
#include "core/transport/session.h"

namespace {

// The UDP listener is deleted by a job on the loop: wait for it while the loop runs.
constexpr int64_t kPollMs = 100;

bool LoopRuns() {
  return HXZServer::m_Instance != nullptr && HXZServer::m_Instance->isRunning();
}

}  // namespace

HX_NetListener::HX_NetListener(HX_TransportSession* session)
    : m_session(session), m_tcp(std::make_unique<HX_ListenerTCP>(this)) {}

HX_NetListener::~HX_NetListener() {
  stopListener();
  std::unique_ptr<HX_ListenerTCP> tcp;
  {
    HXAutoLock lock(m_lock);
    tcp = std::move(m_tcp);
  }
  // Waits for a binding job in progress, which may call back into this object.
  tcp.reset();
  HX_ListenerUDP* udp = nullptr;
  {
    HXAutoLock lock(m_lock);
    udp = m_udp;
  }
  if (udp == nullptr) return;
  if (LoopRuns() && HXZServer::m_Instance->onLoopThread()) {
    // The job runs after this frame; it must not find this object.
    udp->detachAndDeleteLater();
    return;
  }
  while (LoopRuns()) {
    if (m_udpGone.Wait(kPollMs)) return;
  }
  // The loop has ended: its job will never run, and the connector may be deleted now.
  HXAutoLock lock(m_lock);
  delete m_udp;
  m_udp = nullptr;
}

bool HX_NetListener::installUDP(uint16_t port) {
  HXAutoLock lock(m_lock);
  if (m_udp == nullptr) {
    m_udp = new HX_ListenerUDP(this, port);
    m_udpGone.Reset();
  }
  return true;
}

bool HX_NetListener::reBind(const HXIpIfAddrSet& interfaces) {
  HXAutoLock lock(m_lock);
  bool ok = m_tcp != nullptr && m_tcp->reBind(interfaces);
  if (m_udp != nullptr) ok = m_udp->reBind(interfaces) || ok;
  return ok;
}

void HX_NetListener::stopListener() {
  HXAutoLock lock(m_lock);
  if (m_tcp != nullptr) m_tcp->stopListener();
  if (m_udp != nullptr) m_udp->stopListener();
}

HXZAcceptorInfo HX_NetListener::getAcceptorInfo() const {
  HXZAcceptorInfo info;
  getListenerInfo(&info);
  return info;
}

bool HX_NetListener::getListenerInfo(HXZAcceptorInfo* info) const {
  using State = hx::streams::ListenerSocketHolder::State;
  HXAutoLock lock(m_lock);
  if ((m_tcp != nullptr && m_tcp->state() == State::kBinding) ||
      (m_udp != nullptr && m_udp->state() == State::kBinding)) {
    return false;
  }
  if (m_tcp != nullptr) {
    for (const HXSockAddr& address : m_tcp->getListenerBindings()) {
      info->tcpAcceptors.push_back(address);
    }
  }
  if (m_udp != nullptr) {
    for (const HXSockAddr& address : m_udp->getListenerBindings()) {
      info->udpAcceptors.push_back(address);
    }
  }
  return true;
}

void HX_NetListener::onListenerBound(int) {
  HXZAcceptorInfo info;
  if (!getListenerInfo(&info)) return;
  if (m_session != nullptr) m_session->onAcceptorsListUpdated(info);
}

void HX_NetListener::onListenerShutdownCompleted(int type) {
  if (type != hx::streams::ListenerSocketHolder::kUdp) return;
  HX_ListenerUDP* udp = nullptr;
  {
    HXAutoLock lock(m_lock);
    udp = m_udp;
    m_udp = nullptr;
  }
  delete udp;
  m_udpGone.Set();
}
