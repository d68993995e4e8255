#include "core/conference/mcast_handshake_manager.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/base/lock.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/peer_endpoints.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/address/if_addr_container.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/ip_iface.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/streams/media_stream_base.h"
#include "core/streams/udp_mcast_trial.h"
#include "core/transport/session.h"

namespace {

// Between two trials, and the longest a trial may run (ms).
constexpr uint32_t kStepDelayMs = 800;
constexpr uint64_t kTrialLifetimeMs = 5000;

int32_t InterfaceIndex(const HXIpIfListItem& item) {
  return item.ifGet() != nullptr ? static_cast<int32_t>(item.ifGet()->index()) : -1;
}

}  // namespace

namespace hx::conference {

const HXIpIfListItem* selectMcastInterface(const HXIfIpAddrContainer& interfaces,
                                           const HXSockAddr& local, uint8_t groupFamily) {
  HXIpAddress address;
  if (!address.set(local)) return nullptr;
  const HXIpIfListItem* entry = interfaces.lookup(address);
  if (entry == nullptr) return nullptr;
  const int32_t index = InterfaceIndex(*entry);
  if (entry->family() != groupFamily) {
    entry = nullptr;
    for (const HXIpIfListItem& item : interfaces.getAddrSet()) {
      if (item.family() == groupFamily && InterfaceIndex(item) == index) {
        entry = &item;
        break;
      }
    }
  }
  return entry != nullptr && index >= 0 ? entry : nullptr;
}

}  // namespace hx::conference

ConfHandshakeManagerUDPMCast::ConfHandshakeManagerUDPMCast(HX_MediaStreamBase* stream,
                                                           uint64_t trialLimit)
    : HXHandshakeManagerBase(trialLimit, kStepDelayMs, kTrialLifetimeMs), m_stream(stream) {}

int ConfHandshakeManagerUDPMCast::createStreamInt(CreateStreamResult& result,
                                                  const std::string& peerId, int32_t clientType) {
  result.kind = kNothingLeft;
  result.trial = nullptr;
  HX_Conference* conference = m_stream != nullptr ? m_stream->conference() : nullptr;
  if (conference == nullptr || m_stream->netHandler() == nullptr) return -1;
  HXAutoLock lock(conference->getLock());

  conference::EPStorage* store = conference->getEPStorage(peerId, clientType);
  conference::PeerEndpoint* endpoint =
      store != nullptr ? store->getEndpointsList().getUdpMcast(clientType) : nullptr;
  const HXSockAddr* group = endpoint != nullptr ? endpoint->getMCastTarget() : nullptr;
  if (group == nullptr || group->empty()) return -1;
  const std::shared_ptr<HX_TransportSession> transport = conference->getTransport();
  HXSockAddr local;
  if (!transport || !transport->getLocalBind(local) || local.empty()) return -1;
  if (conference->getStore() == nullptr) return -1;
  const HXIfIpAddrContainer interfaces = conference->getStore()->getIfAddrList();
  const HXIpIfListItem* entry =
      hx::conference::selectMcastInterface(interfaces, local, group->family());
  if (entry == nullptr) return -1;

  HX_MediaConnectionTrialUDPMcast* trial = createTrialStream();
  if (trial == nullptr) return -1;
  HX_MediaConnectionTrialUDPMcast::ConnectTarget target;
  target.group = *group;
  target.local = *entry;
  target.udpKey = endpoint->getUdpKey();
  if (!trial->connectPeer(target) || !trial->start()) {
    trial->connRecycle();
    return -1;
  }
  result.kind = kNewTrial;
  result.trial = trial;
  return 0;
}

int SenderHandshakeManagerUDPMcast::createStream(CreateStreamResult& result) {
  return createStreamInt(result, m_stream->GetReceiverId(), 1);
}

HX_MediaConnectionTrialUDPMcast* SenderHandshakeManagerUDPMcast::createTrialStream() {
  auto* socket = HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return new HX_SenderConnectionTrialUDPMcast(m_stream->netHandler(), socket);
}

int ReceiverHandshakeManagerUDPMcast::createStream(CreateStreamResult& result) {
  return createStreamInt(result, m_stream->GetSenderId(), 2);
}

HX_MediaConnectionTrialUDPMcast* ReceiverHandshakeManagerUDPMcast::createTrialStream() {
  auto* socket = HXZServer::implantNative<HX_UdpMcastSocket>(-1, AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  return new HX_ReceiverConnectionTrialUDPMcast(m_stream->netHandler(), socket);
}
