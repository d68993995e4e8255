#include "core/conference/model/peer_endpoints.h"

#include <sys/socket.h>

#include <climits>

#include "core/streams/stream_stand_ins.h"
#include "core/transport/zero_handshake_ping.h"

namespace conference {

namespace {

// Peers on the original platform report IPv6 as 30; this system's own endpoints use AF_INET6.
bool isIPv6Family(int family) { return family == AF_INET6 || family == 30; }

}  // namespace

void PeerEpAttr::directConnectTestEnd(ConferenceLock&) {}
void PeerEpAttr::clearConnection(ConferenceLock&) {}

// ---- connect kinds

PeerConnectEpAttr::~PeerConnectEpAttr() = default;

void PeerConnectEpAttr::stopPing() {
  if (m_ping != nullptr) m_ping->Stop();
  m_ping = nullptr;
}

void PeerConnectEpAttr::directConnectTestEnd(ConferenceLock&) { stopPing(); }
void PeerConnectEpAttr::clearConnection(ConferenceLock&) { stopPing(); }

bool PeerConnectEpAttr::operator==(const PeerEpAttr& other) const {
  if (other.getType() != getType()) return false;
  const auto& o = static_cast<const PeerConnectEpAttr&>(other);
  if (!m_endpoint || !o.m_endpoint) return !m_endpoint && !o.m_endpoint;
  return m_endpoint->isEqTypeHostPort(*o.m_endpoint);
}

void PeerConnectEpAttr::setEndpoint(const HXSockAddr& address) {
  if (!m_endpoint) return;
  m_endpoint->SetHost(address.str_wscope());
  m_endpoint->SetPort(address.port());
}

bool PeerServerMCastEpAttr::operator==(const PeerEpAttr& other) const {
  if (other.getType() != getType()) return false;
  const auto& o = static_cast<const PeerServerMCastEpAttr&>(other);
  return m_group.cmp(o.m_group) == 0 && m_key == o.m_key;
}

bool PeerClientAcceptLiveEpAttr::operator==(const PeerEpAttr& other) const {
  return other.getType() == getType() &&
         static_cast<const PeerClientAcceptLiveEpAttr&>(other).m_connection == m_connection;
}

HX_MediaStreamTrialConnection* PeerClientAcceptLiveEpAttr::getLiveStream(bool take) {
  HX_MediaStreamTrialConnection* connection = m_connection;
  if (take) m_connection = nullptr;
  return connection;
}

PeerClientUdpDirect::PeerClientUdpDirect(const HXSockAddr& address,
                                         std::shared_ptr<HX_Endpoint> endpoint,
                                         TrialListSource trialList)
    : m_address(address), m_endpoint(std::move(endpoint)), m_trialList(std::move(trialList)) {}

void PeerClientUdpDirect::directConnectTestEnd(ConferenceLock& lock) {
  if (m_handlerId == 0 || !m_trialList) return;
  if (const auto list = m_trialList()) {
    // A handler that refuses to stop keeps its id, so that clearing can remove it later.
    if (!list->stopDCHandler(lock, m_handlerId)) m_handlerId = 0;
  }
}

void PeerClientUdpDirect::clearConnection(ConferenceLock& lock) {
  if (m_handlerId != 0 && m_trialList) {
    if (const auto list = m_trialList()) list->removeDCHandler(lock, m_handlerId);
  }
  m_handlerId = 0;
}

bool PeerClientUdpDirect::operator==(const PeerEpAttr& other) const {
  return other.getType() == getType() &&
         static_cast<const PeerClientUdpDirect&>(other).m_address.cmp(m_address) == 0;
}

// ---- one endpoint

std::shared_ptr<HX_Endpoint> PeerEndpoint::getEndpoint() const {
  if (!attribute) return nullptr;
  switch (kind) {
    case kEpServerConnect:
    case kEpClientConnect:
      return static_cast<const PeerConnectEpAttr*>(attribute.get())->endpoint();
    case kEpClientUdpDirect:
      return static_cast<const PeerClientUdpDirect*>(attribute.get())->endpoint();
    default:
      return nullptr;
  }
}

HX_MediaStreamTrialConnection* PeerEndpoint::getLiveStream(bool take) {
  if (kind != kEpClientAcceptLive || !attribute) return nullptr;
  return static_cast<PeerClientAcceptLiveEpAttr*>(attribute.get())->getLiveStream(take);
}

const HXSockAddr* PeerEndpoint::getMCastTarget() const {
  if (kind != kEpServerMulticast || !attribute) return nullptr;
  return &static_cast<const PeerServerMCastEpAttr*>(attribute.get())->group();
}

uint32_t PeerEndpoint::getUdpKey() const {
  if (kind != kEpServerMulticast || !attribute) return 0;
  return static_cast<const PeerServerMCastEpAttr*>(attribute.get())->key();
}

void PeerEndpoint::clearConnection(ConferenceLock& lock) {
  if (attribute) attribute->clearConnection(lock);
}

void PeerEndpoint::directConnectTestEnd(ConferenceLock& lock) {
  if (attribute) attribute->directConnectTestEnd(lock);
}

// ---- the list

int32_t PeerEndpointsList::getSeqNum() {
  m_lastId = m_lastId == INT_MAX ? 0 : m_lastId + 1;
  return m_lastId;
}

PeerEndpoint& PeerEndpointsList::add(HX_StreamClient_Type clientType,
                                     std::unique_ptr<PeerEpAttr> attribute) {
  PeerEndpoint endpoint;
  endpoint.id = getSeqNum();
  endpoint.kind = attribute ? attribute->getType() : 0;
  endpoint.attribute = std::move(attribute);
  endpoint.clientType = clientType;
  m_list.push_back(std::move(endpoint));
  return m_list.back();
}

PeerEndpoint& PeerEndpointsList::add(PeerEndpoint&& endpoint) {
  m_list.push_back(std::move(endpoint));
  return m_list.back();
}

bool PeerEndpointsList::exists(HX_StreamClient_Type clientType, const PeerEpAttr& attribute) const {
  for (const PeerEndpoint& ep : m_list) {
    if (ep.clientType == clientType && ep.kind == attribute.getType() && ep.attribute &&
        *ep.attribute == attribute) {
      return true;
    }
  }
  return false;
}

bool PeerEndpointsList::exists(const PeerEndpoint& endpoint) const {
  return endpoint.attribute && exists(endpoint.clientType, *endpoint.attribute);
}

PeerEndpointsList::List::iterator PeerEndpointsList::lookupIt(int32_t id) {
  for (auto it = m_list.begin(); it != m_list.end(); ++it) {
    if (it->id == id) return it;
  }
  return m_list.end();
}

PeerEndpoint* PeerEndpointsList::lookup(int32_t id) {
  const auto it = lookupIt(id);
  return it == m_list.end() ? nullptr : &*it;
}

PeerEndpoint* PeerEndpointsList::lookup(PeerEndpointType kind, HX_StreamClient_Type clientType,
                                        const std::string& host, uint16_t port) {
  if (kind != kEpServerConnect && kind != kEpClientConnect && kind != kEpClientUdpDirect)
    return nullptr;
  for (PeerEndpoint& ep : m_list) {
    if (ep.kind != kind || ep.clientType != clientType) continue;
    const auto endpoint = ep.getEndpoint();
    if (endpoint && endpoint->getHost() == host && (port == 0 || endpoint->GetPort() == port))
      return &ep;
  }
  return nullptr;
}

bool PeerEndpointsList::remove(int32_t id) {
  const auto it = lookupIt(id);
  if (it == m_list.end()) return false;
  m_list.erase(it);
  return true;
}

size_t PeerEndpointsList::remove(PeerEndpointType kind, HX_StreamClient_Type clientType) {
  const size_t before = m_list.size();
  m_list.remove_if(
      [&](const PeerEndpoint& ep) { return ep.kind == kind && ep.clientType == clientType; });
  return before - m_list.size();
}

void PeerEndpointsList::forEachEp(const std::function<bool(PeerEndpoint&)>& f) {
  for (PeerEndpoint& ep : m_list) {
    if (!f(ep)) return;
  }
}

std::vector<std::reference_wrapper<PeerEndpoint>> PeerEndpointsList::listOfRef(
    const std::function<bool(const PeerEndpoint&)>& accept) {
  std::vector<std::reference_wrapper<PeerEndpoint>> out;
  for (PeerEndpoint& ep : m_list) {
    if (!accept || accept(ep)) out.emplace_back(ep);
  }
  return out;
}

void PeerEndpointsList::fillEndpointsList(
    HX_TransportEndpointList& out, const std::function<bool(const PeerEndpoint&)>& accept) const {
  for (const PeerEndpoint& ep : m_list) {
    if (accept && !accept(ep)) continue;
    if (auto endpoint = ep.getEndpoint()) out.push_back(std::move(endpoint));
  }
}

size_t PeerEndpointsList::getDCcount(PeerEndpointType kind) const {
  size_t n = 0;
  for (const PeerEndpoint& ep : m_list) n += ep.kind == kind ? 1 : 0;
  return n;
}

PeerEndpoint* PeerEndpointsList::getTcpAccept(HX_StreamClient_Type clientType) {
  for (PeerEndpoint& ep : m_list) {
    if (ep.kind == kEpClientAcceptLive && ep.clientType == clientType &&
        ep.getLiveStream(false) != nullptr) {
      return &ep;
    }
  }
  return nullptr;
}

PeerEndpoint* PeerEndpointsList::getTcpConnect(int32_t afterId, PeerEndpointType kind,
                                               HX_StreamClient_Type clientType,
                                               uint64_t threshold) {
  if (m_list.empty()) return nullptr;
  auto start = m_list.begin();
  if (afterId >= 0) {
    const auto found = lookupIt(afterId);
    if (found != m_list.end() && std::next(found) != m_list.end()) start = std::next(found);
  }
  PeerEndpoint* remembered[2] = {nullptr, nullptr};
  const int32_t wanted[2] = {kEpStateWorked, kEpStateNotProven};
  for (int pass = 0; pass < 2; ++pass) {
    auto it = start;
    for (size_t n = 0; n < m_list.size(); ++n) {
      PeerEndpoint& ep = *it;
      if (ep.kind == kind && ep.clientType == clientType && ep.state == wanted[pass]) {
        // Old enough to be tried again at once; else the least recently tried one waits.
        if (ep.lastAttempt <= threshold) return &ep;
        if (remembered[pass] == nullptr || ep.lastAttempt < remembered[pass]->lastAttempt)
          remembered[pass] = &ep;
      }
      if (++it == m_list.end()) it = m_list.begin();
    }
  }
  return remembered[0] != nullptr ? remembered[0] : remembered[1];
}

PeerEndpoint* PeerEndpointsList::getUdpMcast(HX_StreamClient_Type clientType) {
  for (PeerEndpoint& ep : m_list) {
    if (ep.kind == kEpServerMulticast && ep.clientType == clientType) return &ep;
  }
  return nullptr;
}

bool PeerEndpointsList::getLinkLocalHost(std::string& host) {
  const size_t first = host.find(':');
  if (first == std::string::npos) return false;
  const size_t second = host.find(':', first + 1);
  if (second == std::string::npos) return false;
  const size_t percent = host.find('%', second + 1);
  if (percent == std::string::npos) return false;
  host.resize(percent + 1);
  return true;
}

void PeerEndpointsList::clearConnections(ConferenceLock& lock) {
  for (PeerEndpoint& ep : m_list) ep.clearConnection(lock);
  m_list.clear();
}

void PeerEndpointsList::directConnectTestEnd(ConferenceLock& lock) {
  for (PeerEndpoint& ep : m_list) ep.directConnectTestEnd(lock);

  struct Record {
    std::string host;
    uint16_t port;
    PeerEndpointType kind;
  };
  std::vector<Record> records;
  for (const PeerEndpoint& ep : m_list) {
    if (ep.kind != kEpServerConnect && ep.kind != kEpClientConnect && ep.kind != kEpClientUdpDirect)
      continue;
    if (ep.state != kEpStateWorked) continue;
    const auto endpoint = ep.getEndpoint();
    if (!endpoint || !isIPv6Family(endpoint->GetFamily())) continue;
    std::string host = endpoint->getHost();
    if (getLinkLocalHost(host)) records.push_back({std::move(host), endpoint->GetPort(), ep.kind});
  }

  for (const Record& record : records) {
    auto first = m_list.end();
    bool firstGood = false;
    bool laterGood = false;
    for (auto it = m_list.begin(); it != m_list.end();) {
      const auto endpoint = it->kind == record.kind ? it->getEndpoint() : nullptr;
      if (!endpoint || !isIPv6Family(endpoint->GetFamily()) || endpoint->GetPort() != record.port ||
          endpoint->getHost().compare(0, record.host.size(), record.host) != 0) {
        ++it;
        continue;
      }
      const bool good = it->state != kEpStateFailed && it->state != kEpStateNotProven;
      if (first == m_list.end()) {
        first = it;
        firstGood = good;
        ++it;
      } else if (!good) {
        it = m_list.erase(it);
      } else {
        laterGood = true;
        ++it;
      }
    }
    if (laterGood && !firstGood && first != m_list.end()) m_list.erase(first);
  }
}

}  // namespace conference
