// HX_ConfManager: construction, signals, the invitation-request map, and the
// call-control requests (create, join, invite, request an invitation, accept,
// reject, hang up, kick, ping) with the create timer. Incoming messages are in
// service/conf_incoming.cpp, the media, status and statistics messages in
// service/conf_media_messages.cpp.
#include "core/conference/conf_manager.h"

#include <strings.h>

#include <cstdlib>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/client/fsm_shared.h"
#include "core/conference/service/conf_key.h"
#include "core/conference/service/conf_protocol.h"
#include "core/transport/session.h"

namespace {

const char* NullIfEmpty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

HX_ConfManager::HX_ConfManager(const char* serviceName,
                               std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(serviceName, transport, fsm), HX_ConfStorage(fsm, transport) {}

HX_ConfManager::~HX_ConfManager() {
  UnregisterServiceHandler();
  // The store's jobs call this object's hooks and requests: none may run once
  // its part is gone.
  stopJobs();
  ResetSignals();
}

// ---- helpers

bool HX_ConfManager::send(const HX_Container& body, const char* server, const char* user,
                          const char* service) {
  if (server != nullptr && server[0] == '\0') server = nullptr;
  return ComposeSend(body, service != nullptr ? service : CONFERENCE_SRV, user, server,
                     kRequestTimeLimitMs);
}

void HX_ConfManager::addClientCaps(HX_Container& body, HX_Conference* conference, bool group) {
  HX_ClientCaps caps;
  PrepareCapsSignal.Emit(conference, group, caps);
  uint8_t* buffer = nullptr;
  size_t length = 0;
  if (caps.Get(buffer, length) && buffer != nullptr && length > 0) {
    body.AddValue(CLIENTCAPS_PARAM, HX_CNT_BINARY_VT, buffer, length);
  }
  std::free(buffer);
}

bool HX_ConfManager::conferenceExistsNL() {
  HX_Conference* first = nullptr;
  return getConferenceByTypeCountNL(first, kAnyConference, 0) >=
         static_cast<size_t>(m_maxConfCount);
}

std::string HX_ConfManager::myLogin() const { return getMyLogin(); }

std::string HX_ConfManager::sessionSid() const {
  const auto& session = transportSession();
  if (!session) return std::string();
  const HX_TransportSessionData& data = *session;
  return data.getSid();
}

bool HX_ConfManager::isMyId(const char* id) const {
  const auto& session = transportSession();
  if (!session || id == nullptr) return false;
  const HX_TransportSessionData& data = *session;
  return data.isMyId(id);
}

void HX_ConfManager::emitPeerName(const char* id, const char* name) {
  if (HXFSMShared* fsm = getFSM()) fsm->peerNameUpdated.Emit(id, name, false);
}

bool HX_ConfManager::IsBanned(const char* peer) const {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  return m_banCheck && peer != nullptr && m_banCheck(peer);
}

void HX_ConfManager::setBanCheck(std::function<bool(const char*)> check) {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_banCheck = std::move(check);
}

int HX_ConfManager::AdaptConferenceError(int result) {
  switch (result) {
    case 0:
      return 0;
    case 2:
    case 405:
      return 4227;
    case 3:
      return 3;
    case 412:
      return 4239;
    default:
      return 4225;
  }
}

void HX_ConfManager::AddInviteRequest(const std::string& callId, const std::string& id) {
  std::lock_guard<std::mutex> lock(m_inviteRequestsMutex);
  m_inviteRequests.emplace(callId, id);
}

std::string HX_ConfManager::GetAndRemoveInviteRequest(const std::string& callId) {
  std::lock_guard<std::mutex> lock(m_inviteRequestsMutex);
  const auto found = m_inviteRequests.find(callId);
  if (found == m_inviteRequests.end()) return std::string();
  std::string id = std::move(found->second);
  m_inviteRequests.erase(found);
  return id;
}

bool HX_ConfManager::setJoinUrl(ConferenceLock& lock, const std::string& url) {
  if (lock.conference() == nullptr) return false;
  lock->setJoinUrl(url);
  return true;
}

std::string HX_ConfManager::getJoinUrl(const std::string& SID) {
  ConferenceLock lock;
  if (!getConferenceLock(lock, SID)) return std::string();
  return lock->getJoinUrl();
}

void HX_ConfManager::ResetSignals() {
  conferenceCreated.DisconnectAll();
  conferenceDeleted.DisconnectAll();
  conferenceJoinResult.DisconnectAll();
  AcceptReceivedSignal.DisconnectAll();
  AcceptSentSignal.DisconnectAll();
  ClientCapsReceivedSignal.DisconnectAll();
  RoleEventSignal.DisconnectAll();
  DeviceStatusSignal.DisconnectAll();
  InviteReceivedSignal.DisconnectAll();
  InviteToMultiNoticeSignal.DisconnectAll();
  InviteToMultiReceivedSignal.DisconnectAll();
  JoinReceivedSignal.DisconnectAll();
  InviteNoticeSignal.DisconnectAll();
  InviteReplySignal.DisconnectAll();
  ReqInviteSentSignal.DisconnectAll();
  InviteSentSignal.DisconnectAll();
  InviteToMultiSentSignal.DisconnectAll();
  JoinSentSignal.DisconnectAll();
  ListenersFltrSignal.DisconnectAll();
  ManageLayoutSignal.DisconnectAll();
  PrepareCapsSignal.DisconnectAll();
  ReceiverChangedSignal.DisconnectAll();
  ReceiverConnectedSignal.DisconnectAll();
  ReceiverDisconnectedSignal.DisconnectAll();
  RegistrationInfoSignal.DisconnectAll();
  RejectReceivedSignal.DisconnectAll();
  RejectSentSignal.DisconnectAll();
  ReqInviteReceivedSignal.DisconnectAll();
  RestrictBitrateSignal.DisconnectAll();
  RoleEventOccuredSignal.DisconnectAll();
  UpdateConnectionInfoSignal.DisconnectAll();
  FeccRequestSignal.DisconnectAll();
}

// ---- the store's hooks

bool HX_ConfManager::deleteConferenceAux(const char* SID) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, DELETECONFERENCE_METHOD);
  if (SID != nullptr) body.AddValue(NAME_PARAM, SID);
  const bool queued = send(body, ReturnBroker(SID));
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_deleteRequests.emplace_back(SID != nullptr ? SID : "");
  return m_deleteAnswer.has_value() ? *m_deleteAnswer : queued;
}

void HX_ConfManager::setDeleteAnswer(std::optional<bool> queued) {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_deleteAnswer = queued;
}

std::vector<std::string> HX_ConfManager::deleteRequests() const {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  return m_deleteRequests;
}

std::vector<conference::Statistics> HX_ConfManager::sentStatistics() const {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  return m_sentStatistics;
}

// ---- creation and its timer

bool HX_ConfManager::CreateConference(const char* name, const char* password, int maxParticipants,
                                      int duration, HX_Conference_Type type,
                                      HX_GroupConf_SubType subType, HX_Conference_Scope scope,
                                      bool audioOnly) {
  if (type != 0 && type != 5) return false;
  ConferenceLock lock;
  {
    HXAutoLock guard(StorageLock());
    if (conferenceExistsNL()) return false;
    if (!storageRequestCreateConferenceLock(
            lock, name, password, myLogin().c_str(), static_cast<unsigned long>(maxParticipants),
            static_cast<uint64_t>(duration), type, subType, scope, nullptr, audioOnly)) {
      return false;
    }
  }
  lock->flagOr(HX_Conference::kFlagCreateRequested);
  const std::shared_ptr<HX_Conference> conference = lock.shConference();

  HX_Container body;
  body.AddValue(METHOD_PARAM, CREATECONFERENCE_METHOD);
  body.AddValue(MAXPARTISIPANTS_PARAM, static_cast<int32_t>(maxParticipants));
  body.AddValue(DURATION_PARAM, static_cast<int32_t>(duration));
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(type));
  body.AddValue(SUBTYPE_PARAM, static_cast<int32_t>(subType));
  body.AddValue(SCOPE_PARAM, static_cast<int32_t>(scope));
  if (name != nullptr) body.AddValue(NAME_PARAM, name);
  if (password != nullptr) body.AddValue(PASSWORD_PARAM, password);
  // The caps handler may wait for threads that take the store lock: it runs
  // without it.
  lock.Unlock();
  if (type != 0) addClientCaps(body, conference.get(), true);
  const bool queued = send(body, nullptr);
  scheduleConferenceCreateCheck(conference.get(), queued ? m_createCheckMs.load() : 0);
  return queued;
}

void HX_ConfManager::scheduleConferenceCreateCheck(HX_Conference* conference, unsigned ms) {
  if (conference == nullptr) return;
  const int32_t id = conference->getId();
  if (ms > 0) {
    scheduleJob(HXCallback::Save(this, &HX_ConfManager::OnConferenceCreateTimeout, id), ms,
                "Conf.create timer");
    return;
  }
  OnConferenceCreateTimeout(id);
}

void HX_ConfManager::OnConferenceCreateTimeout(int id) {
  ConferenceLock lock;
  if (!getConferenceLock(lock, id)) return;
  if (lock->isVerified()) return;
  const std::string sid = lock->getSID();
  lock.Unlock();
  if (storageConferenceDelete(id, 0)) RejectReceivedSignal.Emit("", "", sid.c_str(), 10);
}

void HX_ConfManager::OnConferenceCreated(const char* SID, HX_ConferenceCreated_Result result) {
  conferenceCreated.Emit(SID, result);
}

// ---- join

bool HX_ConfManager::Join(const char* callId, const char* password, HX_Conference_Type type,
                          const char* SID) {
  {
    ConferenceLock active;
    if (activeConferenceRLock(active) && active->getState() == conference::kStateJoined) {
      return false;
    }
  }
  const std::string server = sessionSid();
  const std::string sid = SID != nullptr ? SID : "";
  ConferenceLock lock;
  if (!getConferenceLock(lock, sid)) {
    if (callId != nullptr && callId[0] != '\0') {
      if (getWaitingConferenceByCallIdLock(lock, callId, 0, kAnyGroupConference)) {
        setOnConferenceDeleteTimer(lock, true);
      }
    } else {
      if (sid.empty()) return false;
      HXAutoLock guard(StorageLock());
      if (conferenceExistsNL()) return false;
      {
        ConferenceLock probe;
        if (getUnverifiedConfNoOwnerLock(probe, kFlagJoinOwnRecord)) return false;
      }
      if (storageRequestCreateConferenceLock(lock, sid.c_str(), "", "", 16, 1800, 5, 0, 1, nullptr,
                                             false)) {
        lock->flagOr(kFlagJoinOwnRecord);
        setConferenceSidNL(lock.conference(), sid, server);
        lock->setCallId(sid);
        scheduleJob(
            HXCallback::Save(this, &HX_ConfManager::OnConferenceCreateTimeout, lock->getId()),
            kJoinCreateCheckMs, "Conf.create timer");
      }
    }
  }
  if (lock.conference() == nullptr) return false;

  HX_Container body;
  body.AddValue(METHOD_PARAM, JOIN_METHOD);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(type));
  body.AddValue(PASSWORD_PARAM, password != nullptr ? password : "");
  body.AddValue(NAME_PARAM, sid.c_str());
  HXFSMShared* fsm = getFSM();
  const std::string appId = fsm != nullptr ? fsm->GetAppId() : std::string();
  const std::string display = fsm != nullptr ? fsm->GetDisplayName() : std::string();
  body.AddValue(APPID_PARAM, appId.c_str());
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  body.AddValue(DISPLAYNAME_PARAM, display.c_str());
  lock->flagAnd(~HX_Conference::kFlagInvited);
  const std::shared_ptr<HX_Conference> conference = lock.shConference();
  lock.Unlock();
  addClientCaps(body, conference.get(), true);
  JoinSentSignal.Emit(sid);
  return send(body, NullIfEmpty(server));
}

// ---- invitations

bool HX_ConfManager::InvitePeer2Call(HX_Conference* conference, const char* peer) {
  if (conference == nullptr) return false;
  ConferenceLock lock;
  lock.Lock(StorageLock());
  lock.set(conference);
  return InvitePeer2Call(lock, peer);
}

bool HX_ConfManager::InvitePeer2Call(ConferenceLock& lock, const char* peer) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr || peer == nullptr ||
      conference->getState() != conference::kStateRequested) {
    return false;
  }
  const std::string sid = conference->getSID();
  const bool owner = conference->isOwner(1);
  // The signals go out with the lock released; the guard keeps the conference for the deletion.
  auto refuse = [&](const std::string& id, int cause, bool told) {
    lock.TempUnlock();
    RejectReceivedSignal.Emit(id.c_str(), id.c_str(), sid.c_str(), cause);
    if (!lock.ReLock()) return false;
    return DeleteConference(lock, told, false);
  };
  if (conference->getType() != 0 || !owner) {
    refuse(peer, 0, owner);
    return false;
  }
  HXFSMShared* fsm = getFSM();
  const std::string id = fsm != nullptr ? fsm->GetPeerId(peer, true) : std::string(peer);
  conference::Peer* p = conference->getPeer(id);
  if (p == nullptr) {
    p = conference->addPeer(id, 0);
    conference->setCallId(id);
    if (p == nullptr) return refuse(id, 0, true);
  } else if (p->getPeerState() != 0) {
    refuse(id, 2, owner);
    return false;
  }
  if (fsm != nullptr && fsm->GetForceDisableDirectConnection()) p->setDCType(0);

  HX_Container body;
  body.AddValue(METHOD_PARAM, INVITE_METHOD);
  body.AddValue(CONFERENCE_PARAM, sid.c_str());
  body.AddValue(NAME_PARAM, myLogin().c_str());
  body.AddValue(CALLID_PARAM, id.c_str());
  body.AddValue(DIRECTCONNECT_PARAM, static_cast<int32_t>(p->getDCType()));
  const std::shared_ptr<HX_Conference> strong = lock.shConference();
  lock.TempUnlock();
  addClientCaps(body, strong.get(), false);
  const bool queued = send(body, ReturnBroker(sid.c_str()));
  if (queued) {
    if (lock.ReLock()) {
      lock->setPeerState(id, 4);
      lock.TempUnlock();
    }
    InviteSentSignal.Emit(id.c_str(), sid.c_str());
  }
  lock.ReLock();
  return queued;
}

bool HX_ConfManager::InvitePeer2Group(HX_Conference* conference, const char* user) {
  if (conference == nullptr) return false;
  ConferenceLock lock;
  lock.Lock(StorageLock());
  lock.set(conference);
  return InvitePeer2Group(lock, user);
}

bool HX_ConfManager::InvitePeer2Group(ConferenceLock& lock, const char* user) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr || user == nullptr) return false;
  const std::string sid = conference->getSID();
  if (isMyId(user)) {
    const bool owner = conference->isOwner(1);
    lock.TempUnlock();
    RejectReceivedSignal.Emit(user, user, sid.c_str(), 0);
    if (lock.ReLock()) DeleteConference(lock, owner, false);
    return false;
  }
  HXFSMShared* fsm = getFSM();
  const std::string id = fsm != nullptr ? fsm->GetPeerId(user, true) : std::string(user);
  conference::Peer* p = conference->getPeer(id);
  if (p != nullptr) {
    if (p->getPeerState() != 2 && p->getPeerState() != 4) {
      lock.TempUnlock();
      RejectReceivedSignal.Emit(id.c_str(), id.c_str(), sid.c_str(), 2);
      lock.ReLock();
      return false;
    }
  } else {
    conference->addPeer(id, 0);
  }
  std::string requestId = GetAndRemoveInviteRequest(id);
  if (requestId.empty() && id != user) requestId = GetAndRemoveInviteRequest(user);

  HX_Container body;
  body.AddValue(METHOD_PARAM, INVITE_METHOD);
  if (!requestId.empty()) body.AddValue(ID_PARAM, requestId.c_str());
  body.AddValue(CONFERENCE_PARAM, sid.c_str());
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(conference->getType()));
  body.AddValue(CALLID_PARAM, id.c_str());
  body.AddValue(NAME_PARAM, myLogin().c_str());
  body.AddValue(TOPIC_PARAM, conference->getTopic().c_str());
  body.AddValue(PASSWORD_PARAM, conference->getPassword().c_str());
  const std::string topic = conference->getTopic();
  const std::shared_ptr<HX_Conference> strong = lock.shConference();
  lock.TempUnlock();
  addClientCaps(body, strong.get(), true);
  const bool queued = send(body, ReturnBroker(sid.c_str()));
  if (queued) {
    if (lock.ReLock()) {
      lock->setPeerState(id, 4);
      lock.TempUnlock();
    }
    InviteToMultiSentSignal.Emit(id.c_str(), sid.c_str(), topic.c_str());
  }
  lock.ReLock();
  return queued;
}

bool HX_ConfManager::RequestInviteToMulti(const char* peer) {
  if (peer == nullptr || peer[0] == '\0') return false;
  {
    ConferenceLock active;
    if (activeConferenceRLock(active) && active->getState() == conference::kStateJoined) {
      return false;
    }
  }
  ConferenceLock lock;
  {
    HXAutoLock guard(StorageLock());
    if (conferenceExistsNL()) return false;
    if (!storageRequestCreateConferenceLock(lock, "", "", peer, 16, 1800, 5, 0, 1, nullptr,
                                            false)) {
      return false;
    }
  }
  setConferenceSidNL(lock.conference(), peer, sessionSid());
  lock->setCallId(peer);
  const int32_t id = lock->getId();

  HX_Container body;
  body.AddValue(METHOD_PARAM, REQINVITE_METHOD);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(5));
  body.AddValue(CALLID_PARAM, peer);
  body.AddValue(ID_PARAM, std::to_string(id).c_str());
  lock.Unlock();
  addClientCaps(body, nullptr, true);
  const bool queued = send(body, nullptr);
  if (!queued) {
    // No answer will come for a request that was not sent, and nothing else removes this record:
    // left in place it would refuse every later conference.
    storageConferenceDelete(id, 1);
    return false;
  }
  if (getConferenceLock(lock, id)) {
    lock->addPeer(peer, 4);
    lock->setPeerState(peer, 4);
    lock.Unlock();
  }
  ReqInviteSentSignal.Emit(peer);
  return true;
}

// ---- answers

bool HX_ConfManager::AcceptPeer(const char* SID, const char* peer) {
  if (SID == nullptr || peer == nullptr) return false;
  ConferenceLock lock;
  if (!getConferenceLock(lock, SID)) return false;
  conference::Peer* p = lock->getPeer(peer);
  if (p == nullptr) return false;
  int32_t direct = p->getDCType();
  if (direct == 6) {
    direct = 6;
  } else if (direct == 4) {
    lock->directConnectTestEnd(lock, 0);
    if (lock.conference() == nullptr && !lock.ReLock()) return false;
    direct = 0;
  } else if (p->dcHasUdp()) {
    p->setDCType(6);
    direct = 6;
  }
  const std::shared_ptr<HX_Conference> conference = lock.shConference();
  const bool group = conference->getType() != 0;
  const bool encrypted = conference->getStreamEncrypt();
  HXFSMShared* fsm = getFSM();
  const std::string appId = fsm != nullptr ? fsm->GetAppId() : std::string();

  HX_Container body;
  body.AddValue(METHOD_PARAM, ACCEPT_METHOD);
  body.AddValue(CONFERENCE_PARAM, SID);
  body.AddValue(NAME_PARAM, peer);
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  body.AddValue(APPID_PARAM, appId.c_str());
  body.AddValue(DIRECTCONNECT_PARAM, direct);
  lock.TempUnlock();
  HX_ClientCaps caps;
  PrepareCapsSignal.Emit(conference.get(), group, caps);
  uint8_t* buffer = nullptr;
  size_t length = 0;
  if (caps.Get(buffer, length) && buffer != nullptr && length > 0) {
    body.AddValue(CLIENTCAPS_PARAM, HX_CNT_BINARY_VT, buffer, length);
  }
  std::free(buffer);
  if (encrypted && (caps.m_streamsDirCon & 0x2) != 0) {
    char key[33];
    if (HX_GenKeyByMD5(key, sizeof(key))) body.AddValue(SYMKEY_PARAM, key);
  }
  if (lock.ReLock()) {
    lock->flagAnd(~HX_Conference::kFlagUnanswered);
    lock->setPeerState(peer, 4);
    lock.Unlock();
  }
  AcceptSentSignal.Emit(peer, SID);
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::RejectPeer(const char* SID, const char* peer, int cause) {
  RejectSentSignal.Emit(peer, SID, cause);
  const std::string requestId = peer != nullptr ? GetAndRemoveInviteRequest(peer) : std::string();
  HX_Container body;
  if (!requestId.empty()) body.AddValue(ID_PARAM, requestId.c_str());
  body.AddValue(METHOD_PARAM, REJECT_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  if (peer != nullptr) body.AddValue(NAME_PARAM, peer);
  body.AddValue(CAUSE_PARAM, static_cast<int32_t>(cause));
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::Hangup(const char* SID, const char* peer, bool flag) {
  ConferenceLock lock;
  bool found = SID != nullptr && SID[0] != '\0' && getConferenceLock(lock, SID);
  if (!found && peer != nullptr && peer[0] != '\0') {
    lock.Lock(StorageLock());
    HX_Conference* conference = getConferenceByPeerNL(peer, kAnyConference);
    if (conference != nullptr) {
      lock.set(conference);
      found = true;
    } else {
      lock.Unlock();
    }
  }
  if (!found) found = activeConferenceWLock(lock);
  if (!found) found = getUnverifiedConfWithOwnerLock(lock);
  if (!found) return false;
  return HangupWithFlags(lock, (flag ? 1u : 0u) | 2u);
}

bool HX_ConfManager::HangupWithFlags(ConferenceLock& lock, HangupFlags flags) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return false;
  HX_Container body;
  body.AddValue(METHOD_PARAM, HANGUP_METHOD);
  body.AddValue(CONFERENCE_PARAM, conference->getSID().c_str());
  body.AddValue(NAME_PARAM, myLogin().c_str());
  if ((flags & 1u) != 0) body.AddValue(RESULT_PARAM, static_cast<int32_t>(1));
  body.AddValue(HANGUP_FLAGS_PARAM, static_cast<int32_t>(flags));
  const bool queued = send(body, NullIfEmpty(conference->getServerId()));
  conference->close(lock);
  if (lock.conference() != nullptr) {
    if (lock->isVerified()) {
      setOnConferenceDeleteTimer(lock, queued);
    } else {
      const int32_t id = lock->getId();
      lock.Unlock();
      storageConferenceDelete(id, 1);
    }
  }
  return queued;
}

bool HX_ConfManager::KickPeer(const char* SID, const char* peer) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, KICK_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  if (peer != nullptr) body.AddValue(NAME_PARAM, peer);
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::PingConference(const char* SID, const char* user) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, PING_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  if (user != nullptr) body.AddValue(USERNAME_PARAM, user);
  body.AddValue(SYSLOAD_PARAM, static_cast<int32_t>(getCpuLoad()));
  return send(body, ReturnBroker(SID));
}
