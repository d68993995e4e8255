#include "core/streams/udp_mcast_trial.h"

#include <sys/socket.h>

#include <memory>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/native_socket.h"
#include "core/net/socket/native_socket_helper.h"

namespace {

constexpr int kTypeOfService = 48;
constexpr int kTimeToLive = 5;

using Native = HXZNativeSocketHelper;

}  // namespace

std::string HX_MediaConnectionTrialUDPMcast::ConnectTarget::str() const {
  return "Mcast " + group.strBind() + " local " + local.str_wscope();
}

HX_MediaConnectionTrialUDPMcast::HX_MediaConnectionTrialUDPMcast(HX_MediaStreamNetHandler* handler,
                                                                 HX_UdpMcastSocket* socket)
    : HX_MediaStreamTrialConnection(handler), m_socket(socket) {
  if (m_socket != nullptr) m_socket->setOwner(this);
}

HX_MediaConnectionTrialUDPMcast::~HX_MediaConnectionTrialUDPMcast() = default;

bool HX_MediaConnectionTrialUDPMcast::connectPeer(const ConnectTarget& target) {
  m_target = target;
  return true;
}

void HX_MediaConnectionTrialUDPMcast::setSendState(bool on) {
  if (m_socket != nullptr) m_socket->SendAsync(on);
}

void HX_MediaConnectionTrialUDPMcast::startConnTimer(uint32_t id, uint64_t ms) {
  if (m_socket != nullptr) m_socket->startTimer(id, static_cast<uint32_t>(ms));
}

void HX_MediaConnectionTrialUDPMcast::applyBufferRule(HX_UdpMcastSocket* socket, int getFunction,
                                                      int setFunction) {
  const int64_t size = socket->option0(getFunction);
  if (size >= 1 && size < kMinimumBuffer) socket->option1(setFunction, kMinimumBuffer);
}

void HX_MediaConnectionTrialUDPMcast::finish(bool ok) {
  if (m_finished.exchange(true)) return;
  if (m_socket != nullptr) m_socket->SetState(false);
  reportTrialDone(ok);
}

void HX_MediaConnectionTrialUDPMcast::onSocketReadable(HX_UdpMcastSocket* socket) {
  // Nothing is expected before the regular connection takes over: drop it.
  uint8_t discard[512];
  socket->Recv(discard, sizeof discard, 0);
}

void HX_MediaConnectionTrialUDPMcast::onSocketWritable(HX_UdpMcastSocket* socket) {
  socket->SendAsync(false);
}

void HX_MediaConnectionTrialUDPMcast::onSocketError(HX_UdpMcastSocket*) { finish(false); }

void HX_MediaConnectionTrialUDPMcast::onSocketTimer(HX_UdpMcastSocket*, unsigned) {}

void HX_MediaConnectionTrialUDPMcast::connRecycle() {
  if (m_recycled.exchange(true)) return;
  // Socket events run on the loop: the owner is cleared there, between two of them.
  if (!HXZServer::ScheduleNetworkJob(
          HXCallback::Save(this, &HX_MediaConnectionTrialUDPMcast::recycleOnLoop), 0)) {
    recycleOnLoop();
  }
}

void HX_MediaConnectionTrialUDPMcast::recycleOnLoop() {
  if (m_socket != nullptr) {
    // The steps are members of this trial: a bind still under way must find none of them.
    m_socket->setCurrentAction(nullptr);
    m_socket->clearActionsList(false);
    m_socket->gcCollect();
    m_socket->setOwner(nullptr);
    m_socket->GC();
    m_socket = nullptr;
  }
  delete this;
}

// ---- sender

HX_SenderConnectionTrialUDPMcast::HX_SenderConnectionTrialUDPMcast(
    HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket)
    : HX_MediaConnectionTrialUDPMcast(handler, socket) {}

bool HX_SenderConnectionTrialUDPMcast::start() {
  if (m_socket == nullptr || m_target.local.empty()) return false;
  m_socket->gcEnable(false);
  m_socket->clearActionsList(false);
  m_bind.setBindAddress(
      std::make_shared<HXZEndpointSockAddr>(HXSockAddr(ip::Proto::udp, m_target.local, 0)));
  m_socket->addActionStatic(m_bind);
  m_socket->addActionStatic(m_tuning);
  return m_socket->startScenario(m_socket, m_socket) != HXSocketScenarioBase::kFailed;
}

int32_t HX_SenderConnectionTrialUDPMcast::SenderTuning::startAction(HXZASocket*, HXZADataHandler*) {
  return m_trial->becomeMulticastSender() ? HXSocketScenarioBase::kComplete
                                          : HXSocketScenarioBase::kFailed;
}

bool HX_SenderConnectionTrialUDPMcast::becomeMulticastSender() {
  prepareSocket(m_socket);
  const int64_t tos = m_socket->option1(Native::kQoS, kTypeOfService);
  applyBufferRule(m_socket, Native::kGetSndBufSize, Native::kSetSndBufSize);
  const int64_t ttl = m_socket->option1(Native::kSetMulticastTTL, kTimeToLive);
  const bool connected = m_socket->Parent()->ConnectImp(
      std::make_shared<HXZEndpointSockAddr>(m_target.group), m_socket);
  const int64_t iface = m_socket->option1(Native::kSetMulticastDefaultGateway,
                                          reinterpret_cast<intptr_t>(&m_target.local));
  if (!connected || tos != 0 || ttl != 0 || iface != 0) {
    ios_log("multicast sender set-up failed: %s connect %d tos %lld ttl %lld if %lld",
            m_target.str().c_str(), connected ? 1 : 0, static_cast<long long>(tos),
            static_cast<long long>(ttl), static_cast<long long>(iface));
    return false;
  }
  return true;
}

int32_t HX_SenderConnectionTrialUDPMcast::onSocketScenarioDone(HX_UdpMcastSocket*, bool ok) {
  finish(ok);
  return ok ? HXSocketScenarioBase::kComplete : HXSocketScenarioBase::kFailed;
}

// ---- receiver

HX_ReceiverConnectionTrialUDPMcast::HX_ReceiverConnectionTrialUDPMcast(
    HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket)
    : HX_MediaConnectionTrialUDPMcast(handler, socket) {}

bool HX_ReceiverConnectionTrialUDPMcast::start() {
  if (m_socket == nullptr || m_target.group.empty()) return false;
  const int family = m_target.group.sysFamily();
  const int handle = native_socket(family, SOCK_DGRAM, IPPROTO_UDP);
  if (handle == -1) return false;
  m_socket->SetFamily(family);
  m_socket->SetHandle(handle);
  if (m_socket->option1(Native::kSetReuseAddr, 1) != 0) return false;
  prepareSocket(m_socket);
  m_socket->gcEnable(false);
  m_socket->clearActionsList(false);
  m_bind.setBindAddress(std::make_shared<HXZEndpointSockAddr>(m_target.group));
  m_socket->addActionStatic(m_bind);
  return m_socket->startScenario(m_socket, m_socket) != HXSocketScenarioBase::kFailed;
}

int32_t HX_ReceiverConnectionTrialUDPMcast::onSocketScenarioDone(HX_UdpMcastSocket* socket,
                                                                 bool ok) {
  if (ok &&
      socket->option2(
          Native::kJoinMulticastGroup, reinterpret_cast<intptr_t>(&m_target.local),
          reinterpret_cast<intptr_t>(static_cast<const HXAIpAddressBase*>(&m_target.group))) != 0) {
    ios_log("multicast join failed: %s", m_target.str().c_str());
    ok = false;
  }
  if (ok) applyBufferRule(socket, Native::kGetRcvBufSize, Native::kSetRcvBufSize);
  finish(ok);
  return ok ? HXSocketScenarioBase::kComplete : HXSocketScenarioBase::kFailed;
}
