#include "core/streams/tcp_streams_supervisor.h"

#include <sys/socket.h>

#include <chrono>
#include <utility>

#include <boost/asio/post.hpp>

#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/address/ip_address.h"
#include "core/net/address/ip_iface.h"
#include "core/net/loop/zserver.h"
#include "core/transport/zero_handshake_ping.h"

namespace {

// The peer's zone name (after "%") means nothing on this device: link-local candidates get the
// scopes of the local interfaces instead.
bool ParseHost(const std::string& host, HXIpAddress& out) {
  const std::string bare = host.substr(0, host.find('%'));
  return out.set(bare.c_str());
}

bool ProtoOfType(hx::EpType type, ip::Proto::type& proto) {
  switch (static_cast<int>(type)) {
    case 0:
    case 1:
      proto = ip::Proto::tcp;
      return true;
    case 2:
    case 3:
      proto = ip::Proto::udp;
      return true;
    default:
      return false;
  }
}

using Candidate = std::pair<HXSockAddr, std::shared_ptr<HX_Endpoint>>;

// Step 1: every usable address, link-local ones set aside.
void CollectCandidates(const HX_TransportEndpointList& endpoints, conference::PeerEndpointMap& out,
                       std::vector<Candidate>& linkLocal) {
  for (const auto& endpoint : endpoints) {
    ip::Proto::type proto = ip::Proto::unknown;
    if (!endpoint || !ProtoOfType(endpoint->GetType(), proto) || endpoint->getHost().empty()) {
      continue;
    }
    HXIpAddress address;
    if (!ParseHost(endpoint->getHost(), address) || address.isLoopbackIf()) continue;
    const HXSockAddr candidate(proto, address, endpoint->GetPort());
    if (candidate.empty()) continue;
    if (candidate.isLinkLocal6()) {
      linkLocal.emplace_back(candidate, endpoint);
    } else {
      out.emplace(candidate, endpoint);
    }
  }
}

bool IsInterfaceAddress(const HXIpIfAddrSet& interfaces, const HXAIpAddressBase& address) {
  for (const HXIpIfListItem& item : interfaces) {
    if (item.cmp(address) == 0) return true;
  }
  return false;
}

// Step 3 for one acceptor list: drops the candidates that are this client itself.
void DropOwnAcceptors(const std::list<HXSockAddr>& acceptors, ip::Proto::type proto,
                      const HXIpIfAddrSet& interfaces, conference::PeerEndpointMap& out,
                      std::vector<HXSockAddr>& ownLinkLocal) {
  for (HXSockAddr acceptor : acceptors) {
    acceptor.setProto(proto);
    if (acceptor.isLinkLocal6()) ownLinkLocal.push_back(acceptor);
    for (auto it = out.begin(); it != out.end();) {
      const HXSockAddr& candidate = it->first;
      const bool sameSocket = candidate.proto() == proto &&
                              candidate.family() == acceptor.family() &&
                              candidate.port() == acceptor.port();
      const bool itself =
          sameSocket && (candidate.cmp(acceptor) == 0 ||
                         (acceptor.isInAddrAny() && IsInterfaceAddress(interfaces, candidate)));
      it = itself ? out.erase(it) : std::next(it);
    }
  }
}

bool IsOwnAcceptor(const std::vector<HXSockAddr>& ownLinkLocal, const HXSockAddr& candidate) {
  for (const HXSockAddr& own : ownLinkLocal) {
    if (own.cmp(candidate) == 0) return true;
  }
  return false;
}

// Step 4: a link-local candidate once per local link-local interface, with its scope.
void EnterLinkLocal(const std::vector<Candidate>& linkLocal, const HXIpIfAddrSet& interfaces,
                    const std::vector<HXSockAddr>& ownLinkLocal,
                    conference::PeerEndpointMap& out) {
  for (const HXIpIfListItem& item : interfaces) {
    if (!item.isLinkLocal6()) continue;
    uint32_t scope = item.scopeId();
    if (scope == 0 && item.ifGet() != nullptr) scope = item.ifGet()->index();
    for (const auto& [address, endpoint] : linkLocal) {
      if (address.family() != item.family()) continue;
      HXSockAddr scoped(address);
      scoped.setScopeId(scope);
      if (IsOwnAcceptor(ownLinkLocal, scoped) || out.count(scoped) != 0) continue;
      // Each interface gets its own copy: the host names the scope it was reached through.
      auto copy = std::make_shared<HX_Endpoint>(*endpoint);
      copy->SetHost(scoped.str_wscope());
      out.emplace(scoped, std::move(copy));
    }
  }
}

}  // namespace

HX_TcpStreamsSupervisor::HX_TcpStreamsSupervisor() : hx::ASIOThreadPool(1, "TcpStreamsSup") {
  Start();
}

HX_TcpStreamsSupervisor::~HX_TcpStreamsSupervisor() {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_stopping.store(true);
  }
  m_wake.notify_all();
  Stop();
}

void HX_TcpStreamsSupervisor::createFilteredEpList(conference::PeerEndpointMap& out,
                                                   const HX_TransportEndpointList& endpoints,
                                                   const HXZAcceptorInfo& acceptors,
                                                   const HXIfIpAddrContainer& interfaces) {
  std::vector<Candidate> linkLocal;
  CollectCandidates(endpoints, out, linkLocal);
  const HXIpIfAddrSet& local = interfaces.getAddrSet();
  std::vector<HXSockAddr> ownLinkLocal;
  DropOwnAcceptors(acceptors.tcpAcceptors, ip::Proto::tcp, local, out, ownLinkLocal);
  DropOwnAcceptors(acceptors.udpAcceptors, ip::Proto::udp, local, out, ownLinkLocal);
  if (!linkLocal.empty()) EnterLinkLocal(linkLocal, local, ownLinkLocal, out);
}

void HX_TcpStreamsSupervisor::runTrialStreams(ConferenceLock& lock, conference::Peer& peer,
                                              HX_ConfStorage* store) {
  if (lock.conference() == nullptr || store == nullptr) return;
  conference::PeerEndpointsList& endpoints = peer.getEndpointsList();
  if (endpoints.empty()) return;
  std::vector<TrialStream> trials;
  for (const conference::PeerEndpoint& ep : endpoints.list()) {
    if (ep.kind != conference::kEpClientConnect || ep.clientType != 1) continue;
    if (ep.state != conference::kEpStateWorked && ep.state != conference::kEpStateNotProven) {
      continue;
    }
    const std::shared_ptr<HX_Endpoint> endpoint = ep.getEndpoint();
    HXIpAddress address;
    if (!endpoint || !address.set(endpoint->GetHost()) || address.isLoopbackIf()) continue;
    // The conference travels by its SID: that is what both sides look it up by.
    trials.push_back(TrialStream{address.sysFamily(), ep.id, lock->getSID(), peer.getId(), store,
                                 endpoint->getHost(), endpoint->GetPort()});
  }
  if (trials.empty()) return;
  // Read here: the store's login sits behind the transport session's lock, which the worker must
  // not wait for.
  boost::asio::post(GetIOService(),
                    [this, trials = std::move(trials), login = store->getMyLogin()] {
                      runTrials(trials, login);
                    });
}

void HX_TcpStreamsSupervisor::runTrials(const std::vector<TrialStream>& trials,
                                        const std::string& login) {
  for (size_t i = 0; i < trials.size(); ++i) {
    if (i > 0 && !pause()) return;
    if (m_stopping.load() || HXZServer::m_Instance == nullptr ||
        HXZServer::_free_sockets.load() <= kMinFreeSockets) {
      return;
    }
    startPing(trials[i], login);
  }
}

void HX_TcpStreamsSupervisor::startPing(const TrialStream& trial, const std::string& login) {
  auto* ping =
      HXZServer::implantNative<HXZeroHandshakeSimple>(-1, trial.family, SOCK_STREAM, IPPROTO_TCP);
  ping->fireZeroHSDone.Connect(trial.store, &HX_ConfStorage::onDirectConnectPingDone);
  // On false the ping has stopped and gone to the loop for deletion: nothing to report.
  ping->Ping(trial.endpointId, trial.conference, login, trial.peerId,
             HXIpSockTarget{trial.host, static_cast<uint16_t>(trial.port)});
}

bool HX_TcpStreamsSupervisor::pause() {
  std::unique_lock<std::mutex> guard(m_mutex);
  return !m_wake.wait_for(guard, std::chrono::milliseconds(kTrialIntervalMs),
                          [this] { return m_stopping.load(); });
}
