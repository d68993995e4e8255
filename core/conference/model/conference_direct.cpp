// The conference's direct-connection tests of a call as the server and the peer drive them: the
// peer's endpoints starting the tests, the end of the direct UDP trials, and connections the peer
// made to this client's listener.
#include "core/base/ios_log.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conf_storage.h"
#include "core/streams/tcp_streams_supervisor.h"

bool HX_Conference::peerEndpointsUpdate(ConferenceLock& lock, const std::string& peerId,
                                        const conference::PeerEndpointMap& endpoints,
                                        bool noDirect) {
  conference::Peer* peer = getPeerInstance(peerId);
  if (peer == nullptr) return false;
  if (noDirect || peer->getDCType() == 0) {
    peer->setDCType(0);
    return true;
  }
  HX_Conference* self = this;
  peer->directConnectTestBegin(endpoints, [self] { return self->getUdpTrialList(); });
  // The peer already reached this client's listener: it may use that connection right away.
  if (peer->getDCType() == 1) notifyDirectConnectAvailable(*peer);
  if (!m_tcpSupervisor) m_tcpSupervisor = std::make_shared<HX_TcpStreamsSupervisor>();
  m_tcpSupervisor->runTrialStreams(lock, *peer, m_store);
  if (m_store != nullptr) m_store->scheduleDirectConnectCheck(m_id, kDirectConnectCheckMs);
  return true;
}

bool HX_Conference::directConnectUdpDone(ConferenceLock&, const std::string& peerId) {
  conference::Peer* peer = getPeer(peerId);
  if (peer == nullptr || !peer->connectTestDoneAll() || !dcConnectTestDoneAllPeers()) return false;
  const bool announced = peer->getSuccessfulTests() > 0 && notifyDirectConnectAvailable(*peer);
  flagOr(kFlagDCTestsEnded);
  return announced;
}

bool HX_Conference::directAccept(const HXSockAddr&, const HXSockAddr& remoteAddress,
                                 const std::string& peerId, int32_t handshakeVersion) {
  if (remoteAddress.empty()) return false;
  conference::Peer* peer = nullptr;
  if (handshakeVersion == 1) {
    peer = getPeerInstance(peerId);
  } else if (handshakeVersion == 0) {
    peer = getPeerByDCHandshakeV0(remoteAddress);
  } else {
    peer = getPeer(peerId);
  }
  if (peer == nullptr || !peer->setAcceptDC(remoteAddress)) return false;
  notifyDirectConnectAvailable(*peer);
  return true;
}

conference::Peer* HX_Conference::getPeerByDCHandshakeV0(const HXSockAddr& address) {
  if (m_peers.empty()) return nullptr;
  if (m_peers.size() == 1) return &m_peers.begin()->second;
  // The filter stored a link-local peer address with its scope, so the host is compared so too.
  const std::string host = address.str_wscope();
  ios_log("Direct connection of an old client from %s", host.c_str());
  conference::Peer* found = nullptr;
  for (auto& [id, peer] : m_peers) {
    bool matches = false;
    peer.getEndpointsList().forEachEp([&](conference::PeerEndpoint& ep) {
      const auto endpoint = ep.getEndpoint();
      matches = ep.kind == conference::kEpClientConnect && ep.clientType == 1 &&
                ep.state != conference::kEpStateAcceptedLive && endpoint &&
                endpoint->getHost() == host;
      return !matches;
    });
    if (!matches) continue;
    if (found != nullptr) return nullptr;  // two peers on one host: the probe names neither
    found = &peer;
  }
  return found;
}
