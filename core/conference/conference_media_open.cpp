// HX_ConferenceHelper: opening the media of an accepted private call or a joined group
// conference (the media server, the send and receive streams), and the reaction to a stream that
// could not be connected.
//
// The media-server search blocks for up to kServerSearchMs while the servers list's answers
// arrive on the network loop, so the store is released around it and the conference looked up
// again afterwards; a conference that went meanwhile is left alone.
#include <limits>

#include "core/base/stored_task.h"
#include "core/conference/conf_manager.h"
#include "core/conference/conference_helper.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/net/loop/zserver.h"
#include "core/transport/servers_list.h"
#include "core/transport/session.h"
#include "core/wire/endpoint_record.h"
#include "core/wire/server_endpoint.h"

namespace {

// Direct-connection types with a direct path to the peer: no media server is needed.
bool HasDirectPath(HX_DirectConnect_Type type) { return type == 1 || type == 2 || type == 6; }

}  // namespace

bool HX_ConferenceHelper::findMediaServer(const std::string& serverId, HX_Conference_Type type,
                                          std::shared_ptr<HX_Endpoint>& endpoint) {
  const std::shared_ptr<HX_TransportSession> session = transport();
  std::string sid;
  std::string address;
  std::string domain;
  uint16_t port = 0;
  if (session) {
    const HX_TransportSessionData& data = *session;
    sid = data.getSid();
    domain = data.getDomain();
    if (const auto parameters = session->getConnectionParam()) {
      address = parameters->getServerAddress(port);
    }
  }
  const HXServerEndpoint current(address, std::numeric_limits<uint64_t>::max(), domain, sid, port,
                                 hx::servers::MAXTIME, 20, 10);
  HXServerEndpoint found;
  bool ok = false;
  if (const std::shared_ptr<HX_ServersList> servers = serversList()) {
    ok = servers->FindMeetingServer(found, current, domain, serverId, kServerSearchMs, type);
  }
  // A failed search still yields the endpoint of whatever the result holds; it goes in unmarked.
  endpoint = std::make_shared<HX_Endpoint>(hx::EpType(0), "", found.getHost().c_str(),
                                           found.getPort(), "", 1080, "", "", 4, "", 8080, "", "");
  return ok;
}

void HX_ConferenceHelper::OpenConferenceP2P(std::string peer, std::string SID, std::string key) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  HX_DirectConnect_Type dcType = 0;
  std::string serverId;
  {
    ConferenceLock lock;
    if (!store->getConferenceLock(lock, SID)) return;
    conference::Peer* p = peer.empty() ? lock->firstPeer() : lock->getPeer(peer);
    if (p == nullptr) return;
    peer = p->getId();
    dcType = p->getDCType();
    serverId = lock->getServerId();
    lock->setMeetingCaps(_GetCapabilites(lock.conference(), false));
  }
  std::shared_ptr<HX_Endpoint> serverEndpoint;
  bool found = false;
  const bool viaServer = !HasDirectPath(dcType);
  if (viaServer) found = findMediaServer(serverId, 0, serverEndpoint);

  ConferenceLock lock;
  if (!store->getConferenceLock(lock, SID)) return;
  MediaHandshakeReady(lock->getType(), lock->getSubType(), peer.c_str(), SID.c_str(), key.c_str());
  if (!lock) return;
  const std::string own = myLogin();
  if (!lock->Sender()) lock->createSender(own, peer);
  std::shared_ptr<HX_ReceiverBase> receiver;
  if (!lock->getReceiver(peer, receiver)) lock->createReceiver(own, peer);
  if (viaServer) lock->addServerMediaEP(serverEndpoint, found);
  if (!lock->connectSender(peer, key) || !lock->connectReceiver(lock, peer, own, key)) {
    if (lock) hangupConferenceOnStreamUnavail(lock);
  }
}

void HX_ConferenceHelper::OpenConferenceMulti(std::string SID, std::string key) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  std::string owner;
  std::string serverId;
  HX_Conference_Type type = 0;
  {
    ConferenceLock lock;
    if (!store->getConferenceLock(lock, SID)) return;
    owner = lock->owner();
    serverId = lock->getServerId();
    type = lock->getType();
  }
  std::shared_ptr<HX_Endpoint> serverEndpoint;
  const bool found = findMediaServer(serverId, type, serverEndpoint);

  ConferenceLock lock;
  if (!store->getConferenceLock(lock, SID)) return;
  lock->setMeetingCaps(_GetCapabilites(lock.conference(), true));
  MediaHandshakeReady(lock->getType(), lock->getSubType(), owner.c_str(), SID.c_str(), key.c_str());
  if (!lock) return;
  lock->addServerMediaEP(serverEndpoint, found);
  const bool sending = lock->createSender(myLogin(), owner) != nullptr;
  if (!sending || !lock->connectSender(owner, key)) {
    if (lock) hangupConferenceOnStreamUnavail(lock);
  }
}

// ---- failed streams

void HX_ConferenceHelper::OnStreamUnavailable(HX_StreamClient_Type type,
                                              hx::NetHandshakeConnectResult, const std::string& SID,
                                              const std::string& peer) {
  scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::streamUnavailableJob, type,
                               std::string(SID), std::string(peer)),
              0, "HX_ConferenceHelper::OnStreamUnavailable", false);
}

void HX_ConferenceHelper::streamUnavailableJob(HX_StreamClient_Type type, std::string SID,
                                               std::string peer) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  ConferenceLock lock;
  if (!store->getConferenceLock(lock, SID)) return;
  if (type == 1 || lock->getType() == 0) {
    hangupConferenceOnStreamUnavail(lock);
    return;
  }
  if (type != 2 || !lock->isGroupConf()) return;
  const std::shared_ptr<HX_Conference> conference = lock.shConference();
  lock.TempUnlock();
  // The pool locks itself; the stream is shut down without the store held.
  conference->DisconnectReceiver(peer, false);
}
