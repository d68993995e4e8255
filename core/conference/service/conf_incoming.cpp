// HX_ConfManager: the dispatch of incoming "CONFERENCE" messages and the
// call-control handlers (conference created and deleted, registration
// information, a peer's network configuration, invitations, invitation replies,
// accept, reject, join results and invitation requests).
//
// Lock discipline: the handlers take the store's write lock through a
// ConferenceLock. Only "InviteToMulti" (ClientCapsReceivedSignal, the peer-name
// signal, InviteToMultiReceivedSignal), "Accept" (ClientCapsReceivedSignal,
// AcceptReceivedSignal) and "InviteReply" (InviteReplySignal) raise signals
// with it held; every other signal goes out after TempUnlock or Unlock, so that
// its handler may wait for a thread that needs the store.
#include <cstring>

#include "core/base/ios_log.h"
#include "core/client/fsm_shared.h"
#include "core/client/network_rate.h"
#include "core/conference/conf_manager.h"
#include "core/conference/service/conf_protocol.h"
#include "core/conference/service/message_reader.h"
#include "core/wire/name_hash.h"

using namespace hx::conference_service;

namespace {

// Two ids name the same user when they agree up to their last "/".
bool SameUser(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  const char* slashA = std::strrchr(a, '/');
  const char* slashB = std::strrchr(b, '/');
  const size_t lengthA = slashA != nullptr ? static_cast<size_t>(slashA - a) : std::strlen(a);
  const size_t lengthB = slashB != nullptr ? static_cast<size_t>(slashB - b) : std::strlen(b);
  return lengthA == lengthB && std::memcmp(a, b, lengthA) == 0;
}

// The id cut before its first "/" (the transcoder id removed).
std::string RemoveTranscoderId(const char* id) {
  if (id == nullptr) return std::string();
  const char* slash = std::strchr(id, '/');
  return slash != nullptr ? std::string(id, static_cast<size_t>(slash - id)) : std::string(id);
}

// The receive limit of a private call whose peer names none (kbit/s).
constexpr uint32_t kDefaultPeerReceiveRate = 4096;

const uint32_t kIpConfigHash = hx::NameHash(IPCONFIG_PARAM);
const uint32_t kIp6ConfigHash = hx::NameHash(IP6CONFIG_PARAM);

}  // namespace

bool HX_ConfManager::ParseIncomimgMessage(HX_Container& message) {
  if (!message.IsValid()) return false;
  const char* method = Str(message, METHOD_PARAM);
  if (method == nullptr) return false;
  const auto is = [method](const char* name) { return std::strcmp(method, name) == 0; };
  if (is(CONFERENCECREATED_METHOD)) return parseConfCreated(message);
  if (is(CONFERENCEDELETED_METHOD)) return parseConfDeleted(message), true;
  if (is(USERREGISTRATIONINFO_METHOD)) return parseRegistrationInfo(message), true;
  if (is(CONFIGURATIONUPDATED_METHOD)) return parseConfigurationUpdated(message), true;
  if (is(INVITE_METHOD)) return parseInvite(message);
  if (is(INVITETOMULTI_METHOD)) return parseInviteToMulti(message);
  if (is(INVITEREPLY_METHOD)) return parseInviteReply(message);
  if (is(ACCEPT_METHOD)) return parseAccept(message), true;
  if (is(REJECT_METHOD)) return parseReject(message), true;
  if (is(JOIN_METHOD)) return parseJoin(message);
  if (is(RECEIVERCONNECTED_METHOD)) return parseReceiverConnected(message), true;
  if (is(SENDERCONNECTED_METHOD)) return parseSenderConnected(message), true;
  if (is(REQINVITE_METHOD)) return parseReqInvite(message);
  if (is(LISTENERSFLTR_METHOD)) return parseListenersFltr(message), true;
  if (is(SENDCOMMAND_METHOD)) return parseCommand(message), true;
  if (is(ROLEEVENT_METHOD)) return parseRoleEvent(message), true;
  if (is(DEVICESTATUS_METHOD)) return parseDeviceStatus(message), true;
  if (is(FECC_METHOD)) return parseFeccRequest(message), true;
  if (is(MANAGELAYOUT_METHOD)) return parseManageLayout(message), true;
  for (const char* name : kConfCtrlMethods) {
    if (is(name)) return parseConfCtrlMethods(message), true;
  }
  return false;
}

// ---- conference created and deleted

bool HX_ConfManager::parseConfCreated(const HX_Container& message) {
  const int32_t result = Int(message, RESULT_PARAM, 0);
  const char* name = Str(message, NAME_PARAM);
  if (result == 1) {
    // A confirmation without the conference's name cannot be committed: the waiting record
    // stays for its create timer, which reports it.
    if (!NonEmpty(name)) return false;
    ConferenceLock lock;
    if (getWaitingConferenceLock(lock)) storageCreateConferenceCommit(lock, name, 1);
    if (lock.conference() != nullptr) {
      lock.TempUnlock();
      conferenceCreated.Emit(name, 1);
      return true;
    }
    lock.Unlock();
    deleteConferenceAux(name);
    return false;
  }
  conferenceCreated.Emit(name, AdaptConferenceError(result));
  int32_t id = 0;
  {
    HXAutoLock guard(StorageLock());
    if (HX_Conference* waiting = getWaitingConferenceNL()) id = waiting->getId();
  }
  if (id != 0) storageConferenceDelete(id, 1);
  return true;
}

void HX_ConfManager::parseConfDeleted(const HX_Container& message) {
  const char* name = Str(message, NAME_PARAM);
  if (!NonEmpty(name)) return;
  const int32_t result = Int(message, RESULT_PARAM, 0);
  ConferenceLock lock;
  if (!getConferenceLock(lock, std::string(name))) return;
  const int32_t id = lock->getId();
  lock.Unlock();
  storageConferenceDelete(id, result);
}

// ---- registration information and network configuration

void HX_ConfManager::parseRegistrationInfo(const HX_Container& message) {
  const char* callId = Str(message, CALLID_PARAM);
  const char* user = Str(message, USERNAME_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  if (display != nullptr) emitPeerName(callId, display);
  onRegistrationInfoReceived(callId, user, display);
  RegistrationInfoSignal.Emit(callId, user, display);
}

void HX_ConfManager::parseConfigurationUpdated(const HX_Container& message) {
  const char* peer = Str(message, NAME_PARAM);
  if (peer == nullptr) return;
  const bool forbidden = GetForceDisableDirectConnection();
  HX_TransportEndpointList list;
  if (!forbidden) {
    message.Reset();
    while (message.Next()) {
      const char* name = message.GetName();
      if (name == nullptr) continue;
      const uint32_t hash = hx::NameHash(name);
      int family = 0;
      if (hash == kIpConfigHash) {
        family = 2;
      } else if (hash == kIp6ConfigHash) {
        family = 30;
      } else {
        continue;
      }
      if (message.GetType() != HX_CNT_BINARY_VT) continue;
      size_t size = 0;
      const void* bytes = message.GetBinValueRef(size);
      if (bytes == nullptr) continue;
      std::unique_ptr<HX_Endpoint> endpoint = HX_Endpoint::Factory(bytes, size, true);
      if (!endpoint || endpoint->getHost().empty()) continue;
      endpoint->SetFamily(family);
      list.push_back(std::shared_ptr<HX_Endpoint>(std::move(endpoint)));
    }
  }
  onPeerEndpointsUpdate(peer, list, forbidden);
}

// ---- capabilities of a peer

bool HX_ConfManager::readPeerCaps(const HX_Container& message, HX_ClientCaps& caps) {
  size_t size = 0;
  const void* bytes = Bin(message, CLIENTCAPS_PARAM, size);
  if (bytes == nullptr || size == 0) return false;
  caps.Set(bytes, size);
  // A peer's receive limit of 0 or less means it names none: a negative one
  // would become a negative limit for the private call.
  const uint32_t receive = caps.m_bandwidthRcv > 0 ? static_cast<uint32_t>(caps.m_bandwidthRcv)
                                                   : kDefaultPeerReceiveRate;
  hx::network::rate[hx::network::kPrivateCallRate].receive.store(receive);
  return true;
}

// ---- invitations

bool HX_ConfManager::parseInvite(const HX_Container& message) {
  const char* callId = Str(message, CALLID_PARAM);
  const char* caller = Str(message, NAME_PARAM);
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* topic = Str(message, TOPIC_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  const char* password = Str(message, PASSWORD_PARAM);
  const int32_t direct = Int(message, DIRECTCONNECT_PARAM, 0);
  const bool needInfo = Bool(message, NEEDCONNECTINFO_PARAM, false);

  if (!isMyId(callId)) {
    RejectPeer(sid, caller, 3);
    return true;
  }
  if (!NonEmpty(sid)) {
    RejectPeer(sid, caller, 4);
    return false;
  }
  if (isMyId(caller)) {
    RejectPeer(sid, caller, 5);
    return true;
  }
  // Without a caller there is nobody to answer or to own the call: ignored.
  if (caller == nullptr) return true;
  // The check and the creation under one hold of the store lock; the answers go
  // out without it, since the reject signal's handlers may need the store.
  ConferenceLock lock;
  StorageLock().Lock();
  const bool busy =
      getConferenceNL(std::string(sid)) != nullptr || IsBanned(caller) || conferenceExistsNL();
  const bool created = !busy && storageCreateForeignConferenceLock(
                                    lock, sid, "", password != nullptr ? password : "", caller, 2,
                                    30, 0, 0, 0, topic, false);
  StorageLock().Unlock();
  if (busy) return RejectPeer(sid, caller, 2);
  if (!created) return RejectPeer(sid, caller, 10);
  lock->setCallId(caller);
  conference::Peer* peer = lock->addPeer(caller, 1);
  if (peer != nullptr) {
    peer->setPeerState(1);
    int32_t value = direct;
    if (value == 4) {
      if (GetForceDisableDirectConnection()) value = 0;
    } else if (value != 0) {
      ios_log("Inappropriate direct connect value in INVITE: %d", value);
      value = 0;
    }
    if (value == 0) peer->setDCType(0);
    if (display != nullptr) peer->setDisplayName(display);
  }
  const std::string sidText = sid;
  lock.TempUnlock();
  conferenceCreated.Emit(sidText.c_str(), 1);
  if (needInfo) UpdateConnectionInfoSignal.Emit(caller, sidText.c_str());

  HX_ClientCaps caps;
  if (readPeerCaps(message, caps)) {
    if (lock.ReLock()) {
      lock->setStreamEncrypt((caps.m_streamsDirCon & 0x2) != 0);
      if (caps.m_videoRcv == 0 && caps.m_videoSnd == 0) {
        lock->setConferenceType(lock->getType(), lock->getSubType(), lock->getScope(), true);
      }
      lock.TempUnlock();
    }
    ClientCapsReceivedSignal.Emit(caller, caps);
  }
  if (display != nullptr) emitPeerName(caller, display);
  InviteReceivedSignal.Emit(sidText, caller, display != nullptr ? display : caller);
  return true;
}

bool HX_ConfManager::parseInviteToMulti(const HX_Container& message) {
  const char* userText = Str(message, USERNAME_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* password = Str(message, PASSWORD_PARAM);
  const char* topic = Str(message, TOPIC_PARAM);
  (void)Str(message, CALLID2_PARAM);
  const char* uniqId = Str(message, ID_PARAM);
  const int32_t type = Int(message, TYPE_PARAM, 5);
  const int32_t subType = Int(message, SUBTYPE_PARAM, 0);
  const int32_t scope = Int(message, SCOPE_PARAM, 0);
  const bool mustJoin = Bool(message, MUSTJOIN_PARAM, false);
  std::string user = userText != nullptr ? userText : "";
  const std::string sidText = sid != nullptr ? sid : "";

  // Without the conference's SID there is nothing to join or to answer: ignored.
  if (sidText.empty()) return true;
  if (!HX_Conference::isGroupConf(type)) {
    RejectReceivedSignal.Emit(user.c_str(), user.c_str(), sid, 11);
    return RejectPeer(sid, user.c_str(), 11);
  }
  {
    ConferenceLock known;
    if (!sidText.empty() && getConferenceLock(known, sidText)) {
      if (known->getType() == type &&
          (known->getCallId() == user || known->getCallId() == sidText)) {
        return true;
      }
      if (known->getCallId() != user) {
        ios_log("Conference %s saved CallId %s peerId %s", sidText.c_str(),
                known->getCallId().c_str(), user.c_str());
      }
      const int32_t id = known->getId();
      known.Unlock();
      storageConferenceDelete(id, 1);
    }
  }
  if (IsBanned(user.c_str())) return RejectPeer(sid, user.c_str(), 14);

  ConferenceLock lock;
  bool joinNow = false;
  bool found = !user.empty() && getWaitingConferenceByCallIdLock(lock, user, 0, 5);
  if (!found && !user.empty()) {
    const std::string shortUser = RemoveTranscoderId(user.c_str());
    if (getWaitingConferenceByCallIdLock(lock, shortUser, 0, 5)) {
      found = true;
      user = shortUser;
    }
  }
  if (!found && uniqId != nullptr && getWaitingConferenceByUniqId(lock, uniqId, 5)) {
    found = true;
    if (const std::string* invited = lock->findPeerByState(4)) user = *invited;
  }
  if (found) {
    // The server answers this client's own request for an invitation.
    lock->setConferenceType(type, subType, scope, false);
    const conference::Peer* peer = lock->getPeer(user);
    if (peer == nullptr || peer->getPeerState() != 4) {
      lock.Unlock();
      return RejectPeer(sid, user.c_str(), 5);
    }
    if (!lock->isFlag(HX_Conference::kFlagUnanswered)) {
      if (storageCreateConferenceCommit(lock, sid, 1)) {
        lock.TempUnlock();
        conferenceCreated.Emit(sid, 1);
        if (!lock.ReLock()) return true;
        joinNow = true;
      }
    }
    if (lock.conference() == nullptr) return true;
  } else {
    StorageLock().Lock();
    bool busy = conferenceExistsNL();
    if (!busy && user.empty()) {
      ConferenceLock probe;
      busy = getUnverifiedConfNoOwnerLock(probe, kFlagInvitedNoUser);
    }
    const bool created =
        !busy && storageRequestCreateConferenceLock(
                     lock, topic != nullptr ? topic : "", password != nullptr ? password : "",
                     user.c_str(), 16, 36000, type, subType, scope, topic, false);
    StorageLock().Unlock();
    if (!created) return RejectPeer(sid, user.c_str(), busy ? 2 : 10);
    setConferenceSidNL(lock.conference(), sidText, "");
    if (!user.empty()) {
      lock->setCallId(user);
    } else {
      lock->setCallId(sidText);
      lock->flagOr(kFlagInvitedNoUser);
    }
    lock->flagOr(0x10080000);
  }

  // Raised with the lock held: their handlers run under the store lock.
  HX_ClientCaps caps;
  if (readPeerCaps(message, caps)) ClientCapsReceivedSignal.Emit(user.c_str(), caps);
  if (display != nullptr) emitPeerName(user.c_str(), display);
  InviteToMultiReceivedSignal.Emit(sidText, user.c_str(), topic != nullptr ? topic : "");
  if (lock.conference() == nullptr) return true;

  if (joinNow || mustJoin) {
    lock->addPeer(user, 5);
    lock->setPeerState(user, 5);
    lock.Unlock();
    return Join(user.c_str(), password, type, sid);
  }
  lock->addPeer(user, 1);
  lock->setPeerState(user, 1);
  lock.Unlock();
  const char* shown = display != nullptr ? display : user.c_str();
  InviteNoticeSignal.Emit(user.empty() ? sid : user.c_str(), shown, sid,
                          password != nullptr ? password : "", type, false);
  InviteToMultiNoticeSignal.Emit(sid, user.c_str(), shown, topic != nullptr ? topic : "");
  return true;
}

bool HX_ConfManager::parseInviteReply(const HX_Container& message) {
  ConferenceLock lock;
  if (!activeConferenceWLock(lock)) return false;
  if (lock->isGroupConf()) {
    InviteReplySignal.Emit(Str(message, USERNAME_PARAM), Int(message, RESULT_PARAM, 0));
  }
  return true;
}

// ---- accept and reject

void HX_ConfManager::parseAccept(const HX_Container& message) {
  const char* sid = Str(message, CONFERENCE_PARAM);
  if (sid == nullptr) return;
  (void)Str(message, NAME_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  const char* instance = Str(message, INSTANCE_PARAM);
  const char* key = Str(message, SYMKEY_PARAM);
  const int32_t direct = Int(message, DIRECTCONNECT_PARAM, 0);
  const int32_t cmr = Int(message, CMR_FLAGS_PARAM, -1);

  ConferenceLock lock;
  if (!getConferenceLock(lock, std::string(sid))) return;
  conference::Peer* peer = instance != nullptr ? lock->getPeer(instance) : nullptr;
  if (peer == nullptr && !lock->isGroupConf()) peer = lock->getSolePeer();
  if (peer == nullptr || peer->getPeerState() != 4) {
    DeleteConference(lock, true, false);
    return;
  }
  const std::string peerId = peer->getId();
  // Raised with the lock held: their handlers run under the store lock.
  HX_ClientCaps caps;
  if (readPeerCaps(message, caps)) ClientCapsReceivedSignal.Emit(peerId.c_str(), caps);
  if (lock.conference() == nullptr) return;
  lock->directConnectTestEnd(lock, 0);
  if (lock.conference() == nullptr && !lock.ReLock()) return;
  peer = lock->getPeer(peerId);
  if (peer != nullptr) {
    int32_t type = direct;
    if (direct == 1) {
      type = 2;
    } else if (direct == 2) {
      type = 1;
    } else if (direct == 4) {
      type = 0;
    }
    peer->setDCType(type);
  }
  lock->selectPeerInstance(lock, peerId);
  if (lock.conference() == nullptr && !lock.ReLock()) return;
  lock->setState(lock, conference::kStateJoined);
  if (lock.conference() == nullptr && !lock.ReLock()) return;
  lock->setCMRFlags(cmr);
  AcceptReceivedSignal.Emit(peerId.c_str(), display != nullptr ? display : peerId.c_str(), sid,
                            key != nullptr ? key : "");
}

void HX_ConfManager::parseReject(const HX_Container& message) {
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* name = Str(message, NAME_PARAM);
  if (!NonEmpty(name)) name = Str(message, CALLID_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  const int32_t cause = Int(message, CAUSE_PARAM, 0);
  const char* uniqId = Str(message, ID_PARAM);
  std::string peer = name != nullptr ? name : "";

  ConferenceLock lock;
  if (sid != nullptr && getConferenceLock(lock, std::string(sid))) {
    conference::Peer* p = lock->getPeer(peer);
    if (p == nullptr) return;
    if (lock->getType() == 0) {
      DeleteConference(lock, true, false);
    } else if (p->getPeerState() == 6) {
      // A participant's refusal of something else: the conference goes on, nothing to report.
      return;
    } else if (lock->isOwner(1) || lock->getState() == conference::kStateJoined) {
      lock->removePeer(peer);
    } else {
      DeleteConference(lock, false, false);
    }
  } else {
    lock.Unlock();
    bool found =
        !peer.empty() && getWaitingConferenceByCallIdLock(lock, peer, 0, kAnyGroupConference);
    if (!found && !peer.empty()) {
      const std::string shortPeer = RemoveTranscoderId(peer.c_str());
      if (getWaitingConferenceByCallIdLock(lock, shortPeer, 0, kAnyGroupConference)) {
        found = true;
        peer = shortPeer;
      }
    }
    if (!found && uniqId != nullptr && getWaitingConferenceByUniqId(lock, uniqId, 5)) {
      found = true;
      if (const std::string* invited = lock->findPeerByState(4)) peer = *invited;
    }
    if (!found) return;
    const int32_t id = lock->getId();
    lock.Unlock();
    storageConferenceDelete(id, 1);
  }
  if (lock.isLocked()) lock.Unlock();
  RejectReceivedSignal.Emit(peer.c_str(), display != nullptr ? display : peer.c_str(), sid, cause);
}

// ---- join results

bool HX_ConfManager::parseJoinWithoutConference(const HX_Container& message, int result) {
  const char* callId = Str(message, CALLID_PARAM);
  const char* name = Str(message, NAME_PARAM);
  if (result == 6) {
    ios_log("Unknown result = %d for empty confId", result);
    return true;
  }
  ConferenceLock lock;
  if (callId != nullptr && getConferenceLock(lock, std::string(callId))) {
    lock.TempUnlock();
    conferenceJoinResult.Emit(callId, name, nullptr, result);
    if (lock.ReLock()) DeleteConference(lock, false, false);
    return true;
  }
  {
    HX_Conference* first = nullptr;
    lock.Lock(StorageLock());
    const size_t foreignGroups = getConferenceByTypeCountNL(first, 5, 2);
    if (foreignGroups == 1 && first != nullptr &&
        first->getState() == conference::kStateRequested &&
        first->isFlag(HX_Conference::kFlagUnanswered)) {
      lock.set(first);
      const std::string sid = first->getSID();
      lock.TempUnlock();
      conferenceJoinResult.Emit(sid.c_str(), name, nullptr, result);
      if (lock.ReLock()) DeleteConference(lock, false, false);
      return true;
    }
    lock.Unlock();
  }
  if (getUnverifiedConfNoOwnerLock(lock, kFlagJoinOwnRecord)) {
    const std::string sid = lock->getSID();
    const int32_t id = lock->getId();
    lock.Unlock();
    conferenceJoinResult.Emit(sid.c_str(), name, nullptr, result);
    storageConferenceDelete(id, 1);
    return true;
  }
  ios_log("Unknown result = %d for empty confId", result);
  return true;
}

bool HX_ConfManager::parseJoin(const HX_Container& message) {
  const int32_t result = Int(message, RESULT_PARAM, 6);
  const char* sid = Str(message, CONFERENCE_PARAM);
  if (!NonEmpty(sid)) return parseJoinWithoutConference(message, result);
  const char* name = Str(message, NAME_PARAM);
  const char* user = Str(message, USERNAME_PARAM);
  const char* callId = Str(message, CALLID_PARAM);
  const char* topic = Str(message, TOPIC_PARAM);
  const int32_t type = Int(message, TYPE_PARAM, 5);
  const int32_t subType = Int(message, SUBTYPE_PARAM, 0);
  const int32_t maxCast = Int(message, MAXCAST_PARAM, 16);
  const int32_t maxParticipants = Int(message, MAXPARTISIPANTS_PARAM, 16);
  const int32_t svcMode = Int(message, SVCMODE_PARAM, 0);
  const int32_t lstatus = Int(message, LSTATUS_PARAM, 0);
  const int32_t cmr = Int(message, CMR_FLAGS_PARAM, -1);
  const int32_t scope = Int(message, SCOPE_PARAM, 0);
  const char* url = Str(message, URL_PARAM);
  const char* key = Str(message, SYMKEY_PARAM);
  const std::string sidText = sid;

  JoinReceivedSignal.Emit(callId, sid, name, user);
  {
    HXAutoLock guard(StorageLock());
    if (getConferenceAtStateNL(conference::kStateJoined) != nullptr) {
      ios_log("There are conference in 'conference' state already");
      return true;
    }
  }

  ConferenceLock lock;
  if (getConferenceLock(lock, sidText)) {
    if (lock->getType() != type) {
      const int32_t id = lock->getId();
      lock.Unlock();
      storageConferenceDelete(id, 1);
    }
  } else if (callId != nullptr && getConferenceLock(lock, std::string(callId))) {
  } else if (getUnverifiedConfNoOwnerLock(lock, kFlagJoinOwnRecord)) {
  } else {
    getUnverifiedConfNoOwnerLock(lock, kFlagInvitedNoUser);
  }

  if (lock.conference() != nullptr) {
    lock->setParam(name != nullptr ? name : "", "", static_cast<uint64_t>(maxParticipants), 36000,
                   topic);
    lock->setConferenceType(type, subType, scope, false);
    if (!lock->isVerified() && storageCreateConferenceCommit(lock, sid, 1)) {
      if (NonEmpty(user) && !lock->isOwner(std::string(user))) {
        const std::string oldOwner = lock->owner();
        if (!oldOwner.empty()) {
          if (conference::Peer* previous = lock->getPeer(oldOwner)) {
            previous->setPeerState(6);
            previous->flags &= ~static_cast<uint64_t>(conference::ParticipantInfoHolder::kOwner);
          }
        }
        lock->setOwner(user, SameUser(user, myLogin().c_str()));
      } else if (NonEmpty(user) && lock->owner().empty()) {
        lock->setOwner(user, SameUser(user, myLogin().c_str()));
      }
      lock.TempUnlock();
      conferenceCreated.Emit(sid, 1);
      lock.ReLock();
    }
    if (result == 6 && HX_Conference::isGroupConf(type) && lock.conference() != nullptr) {
      if (NonEmpty(user) && !SameUser(user, myLogin().c_str())) {
        conference::Peer* owner = lock->getPeer(user);
        if (owner == nullptr) {
          const char* slash = std::strrchr(user, '/');
          if (slash != nullptr)
            owner = lock->getPeer(std::string(user, static_cast<size_t>(slash - user)));
        }
        if (owner != nullptr) owner->setPeerState(6);
      }
      lock->setSvcMode(static_cast<uint32_t>(svcMode));
      lock->setMaxCast(static_cast<uint32_t>(maxCast));
      lock->setCMRFlags(cmr);
      (void)lstatus;
      lock->saveRawContainer(0, message);
      if (NonEmpty(callId)) lock->setCallId(callId);
      if (url != nullptr) lock->setJoinUrl(url);
      if (onConferenceJoinReceived(lock, key)) return true;
    }
  }
  if (lock.isLocked()) lock.Unlock();
  return DeleteConference(sid, isMyId(user));
}

// ---- invitation requests

bool HX_ConfManager::parseReqInvite(const HX_Container& message) {
  const char* user = Str(message, USERNAME_PARAM);
  const char* requester = Str(message, CALLID_PARAM);
  const char* display = Str(message, DISPLAYNAME_PARAM);
  const char* id = Str(message, ID_PARAM);
  if (NonEmpty(id) && requester != nullptr) AddInviteRequest(requester, id);

  ConferenceLock lock;
  if (!activeConferenceWLock(lock)) return false;
  const std::string sid = lock->getSID();
  int cause = 0;
  if (IsBanned(requester)) {
    cause = 14;
  } else if (lock->getType() == 0) {
    cause = 4;
  } else if (requester == nullptr || isMyId(requester)) {
    cause = 5;
  }
  if (cause != 0) {
    lock.Unlock();
    return RejectPeer(sid.c_str(), requester, cause);
  }
  conference::Peer* peer = lock->addPeer(requester, 2);
  const int32_t state = peer != nullptr ? peer->getPeerState() : -1;
  if (state == 2) {
    lock.Unlock();
    ReqInviteReceivedSignal.Emit(user, requester, display != nullptr ? display : requester);
    return true;
  }
  if (state == 4) {
    InvitePeer2Group(lock, user);
    return true;
  }
  lock.Unlock();
  return RejectPeer(sid.c_str(), requester, 2);
}
