// The conference's media side: role filter, podium clock, statistics, its own and its peers'
// endpoints, the end of the direct-connection tests, and the stream operations (stand-ins that
// record their calls until the media streams land).
#include <algorithm>

#include "core/base/tick_clock.h"
#include "core/client/client_manager.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/receiver_base.h"
#include "core/streams/sender_base.h"
#include "core/streams/stream_stand_ins.h"

namespace {

uint64_t NowMs() { return static_cast<uint64_t>(hx::GetTickCount()); }

}  // namespace

void HX_Conference::onSenderStart() {
  HX_SenderStreamCtl::onSenderStart();
  spotMediaStreamSendState();
}

void HX_Conference::onSenderStop() {}

void HX_Conference::onReceiverShuttedDown(const std::string& peerId) {
  scheduleCheckSavedReceiver(peerId);
}

bool HX_Conference::calculatePodiumTime(bool onPodium) {
  const uint64_t now = NowMs();
  if (onPodium && m_podiumStart == 0) {
    m_podiumStart = now != 0 ? now : 1;
  } else if (!onPodium && m_podiumStart != 0) {
    m_podiumTotal += now > m_podiumStart ? now - m_podiumStart : 0;
    m_podiumStart = 0;
  }
  return onPodium;
}

void HX_Conference::spotMediaStreamSendState() {
  const bool notSending = (m_ownInfo.flags & conference::ParticipantInfoHolder::kNotSending) != 0;
  bool audio = true;
  bool video = true;
  switch (m_ownInfo.role) {
    case 1:
      audio = video = false;
      break;
    case 2:
      audio = !notSending;
      video = !notSending && !audioOnly;
      break;
    case 5:
      video = false;
      break;
    default:
      video = !audioOnly;
      break;
  }
  if (audio == video) {
    setRoleMediaFilter(kAudio | kVideo, audio);
  } else {
    setRoleMediaFilter(kAudio, audio);
    setRoleMediaFilter(kVideo, video);
  }
}

bool HX_Conference::getConfStatistics(conference::Statistics& out) const {
  const auto sender = Sender();
  stream::TConferenceStatistics& block = out.base;
  if (!sender || !sender->getStreamConfStat(block)) return false;
  stream::TConferenceStatistics pool;
  if (!getRcvPoolStatistics(pool)) return false;

  out.sid = m_sid;
  out.login = myLogin();
  // Both byte fields are unsigned: a stream past 2 GiB still reports its true amount.
  out.sentKBytes = block.bytesSent >> 10;
  out.recvKBytes = pool.bytesRecv >> 10;
  block.lostPackets = pool.lostPackets;
  block.jitter = pool.jitter;

  const int32_t duration = block.durationMs / 1000;
  block.durationMs = duration;

  // A duration read back from two wrapped ticks may be negative: it counts as 0 wherever it is a
  // time span or a divisor, so that no rate is divided by zero or less.
  const int64_t durationBase = std::max<int64_t>(duration, 0);
  const uint64_t now = NowMs();
  const uint64_t running =
      m_podiumStart != 0 && now > m_podiumStart ? (now - m_podiumStart) / 1000 : 0;
  if (m_podiumTotal != 0) {
    block.podiumSec = static_cast<uint32_t>(m_podiumTotal / 1000 + running);
  } else if (m_podiumStart != 0) {
    block.podiumSec = static_cast<uint32_t>(running);
  } else if (block.bytesSent > 0) {
    block.podiumSec = static_cast<uint32_t>(durationBase);
  }

  const int64_t sendBase =
      block.podiumSec != 0 ? static_cast<int64_t>(block.podiumSec) : durationBase;
  block.bytesSent =
      static_cast<uint32_t>(static_cast<int64_t>(out.sentKBytes) * 8 / (sendBase + 1));
  block.bytesRecv =
      static_cast<uint32_t>(static_cast<int64_t>(out.recvKBytes) * 8 / (durationBase + 1));

  block.size = 64;
  block.cpuLoad = static_cast<uint32_t>((m_cpuLoadSum + m_cpuLoadCount / 2) /
                                        (static_cast<uint64_t>(m_cpuLoadCount) + 1));
  return true;
}

// ---- endpoints

void HX_Conference::addServerMediaEP(const std::shared_ptr<HX_Endpoint>& endpoint, bool markGood) {
  if (!endpoint) return;
  conference::PeerEndpoint* sender = m_ownEndpoints.lookup(
      conference::kEpServerConnect, 1, endpoint->getHost(), endpoint->GetPort());
  conference::PeerEndpoint* receiver = m_ownEndpoints.lookup(
      conference::kEpServerConnect, 2, endpoint->getHost(), endpoint->GetPort());
  if (sender == nullptr || receiver == nullptr) {
    auto copy = std::make_shared<HX_Endpoint>(*endpoint);
    auto& s = m_ownEndpoints.add(1, std::make_unique<conference::PeerServerConnectEpAttr>(copy));
    if (markGood) s.state = conference::kEpStateWorked;
    auto& r = m_ownEndpoints.add(2, std::make_unique<conference::PeerServerConnectEpAttr>(copy));
    if (markGood) r.state = conference::kEpStateWorked;
    return;
  }
  if (markGood && (sender->state == conference::kEpStateNotProven ||
                   receiver->state == conference::kEpStateNotProven)) {
    sender->state = conference::kEpStateWorked;
    receiver->state = conference::kEpStateWorked;
  }
}

void HX_Conference::updateServerMediaEPlist(const HX_TransportEndpointList& list) {
  for (const auto& endpoint : list) addServerMediaEP(endpoint, false);
}

void HX_Conference::addMediaEPMulticast(const std::string& peerId, uint32_t key,
                                        const HXSockAddr& group, HX_StreamClient_Type clientType) {
  conference::PeerEndpointsList* list = &m_ownEndpoints;
  if (clientType != 1) list = &addPeer(peerId, 0)->getEndpointsList();
  list->remove(conference::kEpServerMulticast, clientType);
  list->add(clientType, std::make_unique<conference::PeerServerMCastEpAttr>(group, key));
}

void HX_Conference::fillEndpointsList(HX_TransportEndpointList& out) const {
  const size_t before = out.size();
  for (const auto& [id, peer] : m_peers) {
    if (peer.getDCType() != 0) peer.fillEndpointsList(out);
  }
  if (out.size() == before) {
    m_ownEndpoints.fillEndpointsList(out, [](const conference::PeerEndpoint& ep) {
      return ep.kind == conference::kEpServerConnect;
    });
  }
}

int HX_Conference::getTrialStreamCount() {
  if (isGroupConf()) return 1;
  conference::Peer* peer = firstPeer();
  const int count = peer != nullptr ? peer->getTrialStreamCount() : 0;
  return count <= 0 ? 1 : std::min(count, 5);
}

void HX_Conference::markEndpoint(int id, bool ok) {
  if (id <= 0) return;
  conference::Peer* peer = m_type == 0 ? firstPeer() : nullptr;
  if (peer != nullptr && peer->getDCType() != 0) {
    peer->markEndpoint(id, ok);
    return;
  }
  if (conference::PeerEndpoint* ep = m_ownEndpoints.lookup(id)) {
    ep->state = ok ? conference::kEpStateWorked : conference::kEpStateNotProven;
  }
}

conference::EPStorage* HX_Conference::getEPStorage(const std::string& peerId,
                                                   HX_StreamClient_Type clientType) {
  if (clientType == 2 && m_type == 6) {
    if (conference::Peer* peer = getPeer(peerId)) return peer;
  }
  return this;
}

bool HX_Conference::dcConnectTestDoneAllPeers() {
  for (auto& [id, peer] : m_peers) {
    if (!peer.connectTestDoneAll()) return false;
  }
  return true;
}

void HX_Conference::directConnectTestEnd(ConferenceLock& lock, HX_DirectConnect_Type type) {
  m_tcpSupervisor.reset();
  // Runs once per conference: time-out, accept and hang-up may all end the tests.
  if ((flagOr(kFlagDCTestsEnded) & kFlagDCTestsEnded) != 0) return;
  for (auto& [id, peer] : m_peers) peer.directConnectTestEnd(lock, type);
}

bool HX_Conference::directConnectTcpSave(ConferenceLock&, const std::string& peerId, bool ok,
                                         int32_t endpointId, const HXSockAddr& localAddress,
                                         const HXSockAddr& remoteAddress) {
  conference::Peer* peer = getPeer(peerId);
  if (peer == nullptr) return false;
  // The remote address is reached through the local interface: a link-local one needs its scope.
  HXSockAddr remote(remoteAddress);
  remote.setScopeId(localAddress.scopeId());
  if (!peer->connectTestDone(ok, endpointId, remote)) return true;
  const bool allDone = dcConnectTestDoneAllPeers();
  if (peer->getSuccessfulTests() > 0) notifyDirectConnectAvailable(*peer);
  if (allDone) flagOr(kFlagDCTestsEnded);
  return true;
}

bool HX_Conference::notifyDirectConnectAvailable(conference::Peer& peer) {
  const uint32_t flags = peer.getDCFlags();
  if ((flags & conference::Peer::kDCEndpointsKnown) == 0 ||
      (flags & conference::Peer::kDCAnnounced) != 0) {
    return false;
  }
  peer.setDCFlags(conference::Peer::kDCAnnounced);
  if (!isOwner(1) || m_store == nullptr) return false;
  HX_ClientManager* manager = m_store->getClientManager();
  return manager != nullptr && manager->TryAcceptDirect(peer.getId().c_str(), m_sid.c_str());
}

// ---- stream operations (stand-ins)

void HX_Conference::scheduleCheckSavedReceiver(const std::string& peerId) {
  m_media.call("scheduleCheckSavedReceiver", peerId);
}

std::shared_ptr<HX_SenderBase> HX_Conference::createSender(const std::string&,
                                                           const std::string& peerId) {
  if (m_media.call("createSender", peerId)) setSender(std::make_shared<HX_SenderBase>());
  return Sender();
}

std::shared_ptr<HX_ReceiverBase> HX_Conference::createReceiver(const std::string& myId,
                                                               const std::string& peerId) {
  if (auto existing = Receiver(peerId)) return existing;
  if (!m_media.call("createReceiver", peerId)) return nullptr;
  return InsertReceiver(peerId, std::make_shared<HX_ReceiverBase>(peerId, myId));
}

bool HX_Conference::connectSender(const std::string& peerId, const std::string&) {
  return m_media.call("connectSender", peerId);
}

bool HX_Conference::connectReceiver(ConferenceLock&, const std::string& peerId, const std::string&,
                                    const std::string&) {
  return m_media.call("connectReceiver", peerId);
}

bool HX_Conference::onReceiverConnected(ConferenceLock&, const std::string& peerId) {
  return m_media.call("onReceiverConnected", peerId);
}

bool HX_Conference::checkSavedReceiver(ConferenceLock&, const std::string& peerId) {
  return m_media.call("checkSavedReceiver", peerId);
}

bool HX_Conference::acceptStreamSender(const std::string& peerId) {
  return m_media.call("acceptStreamSender", peerId);
}

bool HX_Conference::acceptStreamReceiver(const std::string& peerId) {
  return m_media.call("acceptStreamReceiver", peerId);
}
