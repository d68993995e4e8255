#include "core/conference/model/peer.h"

#include "core/base/tick_clock.h"
#include "core/net/loop/zserver.h"

namespace conference {

// ---- extra video

ExtraVideoInfoHolder::~ExtraVideoInfoHolder() {
  if (m_jobId != 0) HXZServer::UnScheduleJob(m_jobId, false, true);
}

ExtraVideoInfoHolder::ExtraVideoInfoHolder(ExtraVideoInfoHolder&& other) noexcept
    : m_extraVideo(other.m_extraVideo), m_jobId(other.m_jobId), m_changed(other.m_changed) {
  other.m_jobId = 0;
}

ExtraVideoInfoHolder& ExtraVideoInfoHolder::operator=(ExtraVideoInfoHolder&& other) noexcept {
  if (this != &other) {
    if (m_jobId != 0) HXZServer::UnScheduleJob(m_jobId, false, true);
    m_extraVideo = other.m_extraVideo;
    m_jobId = other.m_jobId;
    m_changed = other.m_changed;
    other.m_jobId = 0;
  }
  return *this;
}

void ExtraVideoInfoHolder::setExtraVideoState(ExtraVideo state, uint32_t jobId) {
  m_extraVideo = state;
  m_jobId = jobId;
  if (state != 2) m_changed = static_cast<uint64_t>(hx::GetTickCount());
}

void ExtraVideoInfoHolder::updateExtraVideoState(ExtraVideo state) {
  m_extraVideo = state;
  if (state == 2) {
    m_jobId = 0;
  } else {
    m_changed = static_cast<uint64_t>(hx::GetTickCount());
  }
}

// ---- peer

Peer::Peer(std::string id, PeerState state)
    : ParticipantInfoHolder(1, false, 0x10001), m_id(std::move(id)), m_peerState(state) {}

Peer::~Peer() = default;

bool Peer::setFirstDCType(HX_DirectConnect_Type type) {
  if (m_dcType != 4) return false;
  m_dcType = type;
  return true;
}

bool Peer::isDCTypeDefined() const { return (m_dcFlags & kDCTestsDone) != 0 || m_dcType != 4; }

bool Peer::setAcceptDC(const HXSockAddr&) {
  if (m_dcType != 4) return false;
  m_dcType = 1;
  return true;
}

size_t Peer::getDCcount(PeerEndpointType kind) const {
  return m_dcType == 0 ? 0 : m_endpoints.getDCcount(kind);
}

void Peer::setDCRtt(uint64_t rtt) {
  if (m_dcRtt == 0 || rtt < m_dcRtt) m_dcRtt = rtt;
}

bool Peer::dcHasTcp() const {
  if (m_dcType == 0) return false;
  if (m_dcType == 2) return true;
  for (const PeerEndpoint& ep : m_endpoints.list()) {
    if (ep.kind == kEpClientConnect &&
        (ep.state == kEpStateWorked || ep.state == kEpStateNotProven))
      return true;
    if (ep.kind == kEpClientAcceptLive &&
        static_cast<const PeerClientAcceptLiveEpAttr*>(ep.attribute.get())->connection() !=
            nullptr) {
      return true;
    }
  }
  return false;
}

bool Peer::dcHasUdp() const {
  if (m_dcType == 0) return false;
  if (m_dcType == 6) return true;
  for (const PeerEndpoint& ep : m_endpoints.list()) {
    if (ep.kind == kEpClientUdpDirect && ep.state == kEpStateUdpReached) return true;
  }
  return false;
}

int Peer::getTrialStreamCount() {
  if (m_dcType == 0) return 0;
  return static_cast<int>(m_endpoints.getDCcount(kEpClientConnect)) + (m_dcType == 1 ? 1 : 0);
}

void Peer::markEndpoint(int id, bool ok) {
  PeerEndpoint* ep = m_endpoints.lookup(id);
  if (ep == nullptr || ep->kind != kEpClientConnect) return;
  ep->state = ok ? kEpStateWorked : kEpStateNotProven;
}

void Peer::fillEndpointsList(HX_TransportEndpointList& out) const {
  m_endpoints.fillEndpointsList(out,
                                [](const PeerEndpoint& ep) { return ep.kind == kEpClientConnect; });
}

void Peer::directConnectTestBegin(const PeerEndpointMap& endpoints,
                                  PeerClientUdpDirect::TrialListSource trialList) {
  m_dcFlags |= kDCEndpointsKnown;
  setEndpoints(endpoints, std::move(trialList));
}

void Peer::setEndpoints(const PeerEndpointMap& endpoints,
                        PeerClientUdpDirect::TrialListSource trialList) {
  for (const auto& [address, endpoint] : endpoints) {
    if (!endpoint) continue;
    if ((endpoint->GetType() & ~1) == 2) {
      auto attribute = std::make_unique<PeerClientUdpDirect>(address, endpoint, trialList);
      if (!m_endpoints.exists(5, *attribute)) m_endpoints.add(5, std::move(attribute));
    } else {
      // The sender's and the receiver's trial share one copy of the endpoint, so that the
      // address a test reaches is seen by both.
      auto copy = std::make_shared<HX_Endpoint>(*endpoint);
      m_endpoints.add(1, std::make_unique<PeerClientConnectEpAttr>(copy));
      m_endpoints.add(2, std::make_unique<PeerClientConnectEpAttr>(copy));
    }
  }
}

bool Peer::connectTestDone(bool ok, int32_t endpointId, const HXSockAddr& address) {
  PeerEndpoint* tested = m_endpoints.lookup(endpointId);
  if (tested != nullptr && tested->kind == kEpClientConnect) {
    auto* attribute = static_cast<PeerClientConnectEpAttr*>(tested->attribute.get());
    PeerEndpoint* twin = nullptr;
    if (const auto endpoint = tested->getEndpoint()) {
      twin = m_endpoints.lookup(kEpClientConnect, 2, endpoint->getHost(), endpoint->GetPort());
    }
    const int32_t state = ok ? kEpStateWorked : kEpStateFailed;
    tested->state = state;
    if (twin != nullptr) twin->state = state;
    if (ok) {
      attribute->setEndpoint(address);
      if (twin != nullptr && twin != tested) {
        static_cast<PeerClientConnectEpAttr*>(twin->attribute.get())->setEndpoint(address);
      }
    }
    attribute->forgetPing();
  }
  if (ok) {
    ++m_successfulTests;
    if (m_dcType == 4) m_dcType = 2;
  }
  return connectTestDoneAll();
}

bool Peer::connectTestDoneAll() {
  if ((m_dcFlags & kDCTestsDone) != 0) return true;
  for (const PeerEndpoint& ep : m_endpoints.list()) {
    if ((ep.kind == kEpClientConnect || ep.kind == kEpClientUdpDirect) &&
        ep.state == kEpStateNotProven) {
      return false;
    }
  }
  m_dcFlags |= kDCTestsDone;
  return true;
}

void Peer::directConnectTestEnd(ConferenceLock& lock, HX_DirectConnect_Type type) {
  m_endpoints.directConnectTestEnd(lock);
  m_dcFlags |= kDCTestsDone;
  if (type != 4 && m_dcType == 4) m_dcType = type;
}

void Peer::directConnectTestClear(ConferenceLock& lock) {
  m_dcType = 0;
  m_dcFlags |= kDCTestsDone;
  m_endpoints.clearConnections(lock);
}

}  // namespace conference
