// The conference store's handling of a peer's endpoints reported by the server: the filter
// against the client's own addresses, the UDP streams supervisor, and the start of the direct
// tests in the private calls waiting for that peer.
#include <limits>

#include "core/conference/store/conf_storage.h"
#include "core/streams/net_listener.h"
#include "core/streams/stream_stand_ins.h"
#include "core/streams/tcp_streams_supervisor.h"
#include "core/transport/session.h"

namespace {

// A call whose peer may be tested: verified, private and still being set up.
bool TakesPeerEndpoints(const HX_Conference& conference) {
  return conference.getType() == 0 && conference.isVerified() &&
         conference.getState() == conference::kStateRequested;
}

}  // namespace

bool HX_ConfStorage::onPeerEndpointsUpdate(const std::string& peer,
                                           const HX_TransportEndpointList& list, bool noDirect) {
  PeerEndpointsNotice notice{peer, {}, {}, noDirect};
  for (const auto& endpoint : list) {
    notice.hosts.push_back(endpoint->getHost() + ":" + std::to_string(endpoint->GetPort()));
    notice.families.push_back(endpoint->GetFamily());
  }
  {
    HXAutoLock guard(m_wlock);
    m_peerEndpointUpdates.push_back(std::move(notice));
  }

  const std::shared_ptr<HX_NetListener> listener =
      m_transport ? m_transport->getNetListener() : nullptr;
  const HXZAcceptorInfo acceptors = listener ? listener->getAcceptorInfo() : HXZAcceptorInfo();
  conference::PeerEndpointMap endpoints;
  HX_TcpStreamsSupervisor::createFilteredEpList(endpoints, list, acceptors, getIfAddrList());
  if (endpoints.empty()) return true;

  ConferenceLock lock;
  lock.Lock(m_wlock);
  bool taken = false;
  // A call may release the lock: the walk looks up the next higher id afresh each time.
  int32_t after = std::numeric_limits<int32_t>::min();
  for (;;) {
    const auto next = m_table.upper_bound(after);
    if (next == m_table.end()) break;
    after = next->first;
    if (!TakesPeerEndpoints(*next->second)) continue;
    lock.set(next->second);
    if (lock->peerEndpointsUpdate(lock, peer, endpoints, noDirect)) taken = true;
    if (!lock.isLocked()) lock.ReLock();
  }
  return taken;
}
