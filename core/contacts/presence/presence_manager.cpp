#include "core/contacts/presence/presence_manager.h"

#include <string_view>
#include <utility>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/client/protocol_constants.h"
#include "core/conference/conf_manager.h"
#include "core/conference/store/conference_lock.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/presence/presence_protocol.h"
#include "core/transport/session.h"
#include "core/wire/name_hash.h"

namespace hx::presence {
const uint32_t update_status = NameHash(UPDATESTATUS_METHOD);
const uint32_t alluser_status = NameHash(GETALLUSERSTATUS_METHOD);
const uint32_t part_list = NameHash(SENDPARTSLIST_METHOD);
}  // namespace hx::presence

namespace presence = hx::presence;

namespace {

int32_t ReadInt(const HX_Container& message, const char* name, int32_t fallback) {
  int32_t value = fallback;
  size_t size = sizeof(value);
  if (!message.GetValue(name, HX_CNT_INTEGER_VT, &value, size)) return fallback;
  return value;
}

}  // namespace

HX_PresenceManager::HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                       int64_t statusListIntervalMs)
    : HX_AbstractManager(PRESENCE_SRV, std::move(transport), fsm), statusListTracker(statusListIntervalMs) {}

HX_PresenceManager::~HX_PresenceManager() {
  beginPresenceListUpdate.DisconnectAll();
  endPresenceListUpdate.DisconnectAll();
  setPeerStatus.DisconnectAll();
  conferenceIdListChanged.DisconnectAll();
  conferencePeersUpdated.DisconnectAll();
  peersVideoTypeChanged.DisconnectAll();
  extStatusChanged.DisconnectAll();
  UnregisterServiceHandler();
}

bool HX_PresenceManager::ParseIncomimgMessage(HX_Container& message) {
  std::string method;
  message.GetValue(presence::METHOD_PARAM, method);
  const uint32_t hash = hx::NameHash(method.c_str());
  if (hash == presence::update_status) return ParseUpdateStatus(message);
  if (hash == presence::alluser_status) return ParseAllUserStatus(message);
  if (hash == presence::part_list) return ParseParticipantList_44925(message);
  return false;
}

std::string HX_PresenceManager::OwnLogin() const {
  HXFSMShared* fsm = getFSM();
  return fsm != nullptr ? fsm->GetLogin() : std::string();
}

// ---- status lists

bool HX_PresenceManager::ParseUpdateStatus(HX_Container& message) {
  const int32_t sequence = ReadInt(message, presence::SEQUENCE_ID_PARAM, -1);
  const bool fullList = ReadInt(message, presence::CAUSE_PARAM, 0) == presence::kCauseFullList;
  if (statusListTracker.TrackSequence(sequence, fullList)) GetAllUserStatus();

  beginPresenceListUpdate(false, fullList);
  HXFSMShared* fsm = getFSM();
  if (fullList) {
    fsm->setContactsAllStatus(USER_LOGOFF);
    fsm->ClearStatusHolder();
    fsm->setStatusSubscription();
  }
  std::string user;
  bool haveUser = false;
  message.Reset();
  while (message.Next()) {
    const std::string_view name = message.GetName();
    if (name == presence::CALLID_PARAM) {
      haveUser = message.GetValue(user);
    } else if (name == presence::USERPRESSTATUS_PARAM) {
      if (!haveUser) continue;
      int32_t value = 0;
      if (!message.GetValue(value)) value = 0;
      const auto status = static_cast<HX_UserPresence_Status>(value);
      if (fsm->SetStatus(user.c_str(), status)) {
        fsm->updateContactStatus(user.c_str(), status);
        setPeerStatus(nullptr, user.c_str(), nullptr, status, 1);
      }
    } else if (name == presence::EXTSTATUS_PARAM) {
      if (!haveUser) continue;
      HX_Container ext;
      size_t size = 0;
      const void* bytes = message.GetBinValueRef(size);
      if (bytes != nullptr && size > 0 && ext.Deserialize(bytes, size)) {
        ext.Reset();
        fsm->ParseExtStatus(user.c_str(), &ext);
      }
      ExtStatusMap map;
      if (fsm->GetExtStatusMap(user.c_str(), map)) extStatusChanged(user.c_str(), map);
    }
  }
  endPresenceListUpdate(false);
  return true;
}

bool HX_PresenceManager::ParseAllUserStatus(HX_Container& message) {
  statusListTracker.TrackSequence(ReadInt(message, presence::SEQUENCE_ID_PARAM, -1), true);
  return true;
}

// ---- participant lists

namespace {

bool SameName(std::string_view a, const char* b) {
  const std::string_view other(b);
  if (a.size() != other.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(other[i])) return false;
  }
  return true;
}

// The video type the conference holds for `user`: the sole peer's in a point-to-point call, the id
// list's entry otherwise; false when it holds none.
bool HeldVideoType(HX_Conference& conference, const HX_PresenceManager::PeerIdSet& idList,
                   std::string_view user, int32_t& videoType) {
  if (conference.getType() == 0) {
    conference::Peer* sole = conference.getSolePeer();
    if (sole == nullptr) return false;
    videoType = sole->getPIholder().videoType;
    return true;
  }
  const auto found = idList.find(conference::PeerId(std::string(user)));
  if (found == idList.end()) return false;
  videoType = found->info.videoType;
  return true;
}

}  // namespace

bool HX_PresenceManager::ParseParticipantList_44925(HX_Container& message) {
  std::string name;
  if (!message.GetValue(presence::CONFERENCE_PARAM, name)) return true;
  HX_ConfManager* confManager = getFSM()->confManager();
  if (confManager == nullptr) return true;
  ConferenceLock lock;
  if (!confManager->confStorage()->getConferenceLock(lock, name)) return true;

  const int32_t type = ReadInt(message, presence::TYPE_PARAM, 0);
  const int32_t sequence = ReadInt(message, presence::SEQUENCE_ID_PARAM, -1);
  if (lock->participantTracker()->TrackSequence(sequence, type < 2)) GetAllPartList(name.c_str());
  if (type > 4) return true;  // the lock's destructor releases the store

  PeerIdSet idList;
  lock->getConferenceIdList(idList);
  conference::PartInfoMap participants;
  std::set<std::string> changedVideo;
  conference::PartInfo* entry = nullptr;
  std::string_view user;
  message.Reset();
  while (message.Next()) {
    const std::string_view key = message.GetName();
    if (SameName(key, presence::USERNAME_PARAM)) {
      user = message.GetType() == HX_CNT_STRING_VT ? std::string_view(message.GetStrValueRef()) : std::string_view();
      entry = user.empty() ? nullptr : &participants[user];
      continue;
    }
    if (entry == nullptr) continue;
    if (SameName(key, presence::DISPLAYNAME_PARAM)) {
      const char* text = message.GetType() == HX_CNT_STRING_VT ? message.GetStrValueRef() : nullptr;
      entry->text = text != nullptr && *text != '\0' ? std::string_view(text) : user;
    } else if (SameName(key, presence::ROLE_PARAM)) {
      message.GetValue(entry->role);
    } else if (SameName(key, presence::DEVICESTATUS_PARAM)) {
      message.GetValue(entry->deviceStatus);
    } else if (SameName(key, presence::IS_OPERATOR_PARAM)) {
      message.GetValue(entry->isOperator);
    } else if (SameName(key, presence::VIDEOTYPE_PARAM)) {
      message.GetValue(entry->videoType);
      int32_t held = 0;
      if (HeldVideoType(*lock.conference(), idList, user, held) && held != entry->videoType) {
        changedVideo.emplace(user);
      }
    }
  }

  const int number = lock->getId();
  auto details = std::make_shared<conference::ParticipantListUpdateInfo>();
  const bool active = lock->setConferenceIdList(participants, type, *details) &&
                      confManager->confStorage()->activeConferenceNL() == lock.conference();
  PeerIdSet newIdList;
  if (active) lock->getConferenceIdList(newIdList);
  lock.Unlock();

  // The name cache is told only now: its signals (a banned participant's contactBlocked among
  // them) reach subscribers that may wait for a thread needing the conference store.
  if (std::shared_ptr<HX_ContactsManager> contacts = getFSM()->contactsManager()) {
    for (const auto& [id, info] : participants) {
      contacts->OnUpdatePeerIdCache(std::string(id).c_str(), std::string(info.text).c_str(), false);
    }
  }
  if (active) {
    conferenceIdListChanged(newIdList);
    conferencePeersUpdated(number, details);
  }
  if (!changedVideo.empty()) peersVideoTypeChanged(changedVideo);
  return true;
}

// ---- requests

bool HX_PresenceManager::UpdateStatus(HX_UserPresence_Status status, const HX_Container* ext, bool remember) {
  const std::shared_ptr<HX_TransportSession>& session = transportSession();
  if (!session || session->getStateTrs() != HX_TransportSession::eLoggedIn) return false;
  HX_Container body;
  body.AddValue(presence::METHOD_PARAM, presence::UPDATESTATUS_METHOD);
  body.AddValue(presence::USERPRESSTATUS_PARAM, static_cast<int32_t>(status));
  if (ext != nullptr && !ext->IsEmpty()) body.AddValue(presence::EXTSTATUS_PARAM, *ext);
  if (remember) getFSM()->SetMyStatus(status);
  return ComposeSend(body, PRESENCE_SRV, nullptr, nullptr, presence::kRequestTimeLimitMs);
}

bool HX_PresenceManager::GetAllUserStatus() {
  HX_Container body;
  body.AddValue(presence::METHOD_PARAM, presence::GETALLUSERSTATUS_METHOD);
  return ComposeSend(body, PRESENCE_SRV, nullptr, nullptr, presence::kRequestTimeLimitMs);
}

bool HX_PresenceManager::GetAllPartList(const char* conference) {
  if (conference == nullptr) return false;
  HX_Container body;
  body.AddValue(presence::METHOD_PARAM, presence::SEARCHADDRESSBOOK_METHOD);
  body.AddValue(presence::ADDRESSBOOK_PARAM, presence::kConferencePartsBook);
  body.AddValue(presence::CONFERENCE_PARAM, conference);
  return ComposeSend(body, CONFERENCE_SRV, nullptr, ReturnBroker(conference), presence::kRequestTimeLimitMs);
}

// ---- own extended statuses

void HX_PresenceManager::PublishExtStatus(const HX_Container& change) {
  if (change.IsEmpty()) return;  // a container without entries serialises to nothing
  HX_Container body;
  body.AddValue(presence::METHOD_PARAM, presence::UPDATESTATUS_METHOD);
  body.AddValue(presence::USERPRESSTATUS_PARAM, static_cast<int32_t>(getFSM()->GetMyStatus()));
  body.AddValue(presence::EXTSTATUS_PARAM, change);
  ComposeSend(body, PRESENCE_SRV, nullptr, nullptr, presence::kRequestTimeLimitMs);
}

void HX_PresenceManager::SetExtStatus(const char* name, const HX_Variant& value) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, value);
  HX_Container change;
  addExtStatusValue(change, name, value);
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatus(const char* name, bool value) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, value);
  HX_Container change;
  change.AddValue(name, value);
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatus(const char* name, int value) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, value);
  HX_Container change;
  change.AddValue(name, static_cast<int32_t>(value));
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatus(const char* name, long long value) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, value);
  HX_Container change;
  change.AddValue(name, static_cast<int64_t>(value));
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatus(const char* name, const std::string& value) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, value);
  HX_Container change;
  change.AddValue(name, HX_CNT_STRING_VT, value.data(), value.size());
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatus(const char* name, const void* data, size_t length) {
  if (name == nullptr) return;
  getFSM()->SetExtStatus(OwnLogin().c_str(), name, data, length);
  HX_Container change;
  if (data != nullptr && length != 0) change.AddValue(name, HX_CNT_BINARY_VT, data, length);
  PublishExtStatus(change);
}

void HX_PresenceManager::SetExtStatusMap(const ExtStatusMap& values) {
  getFSM()->SetExtStatusMap(OwnLogin().c_str(), values);
  HX_Container change;
  for (const auto& [name, value] : values) addExtStatusValue(change, name.c_str(), value);
  PublishExtStatus(change);
}

void HX_PresenceManager::EraseExtStatus(const char* name) {
  if (name == nullptr) return;
  EraseExtStatus(std::vector<std::string>{name});
}

void HX_PresenceManager::EraseExtStatus(const std::vector<std::string>& names) {
  getFSM()->EraseExtStatus(OwnLogin().c_str(), names);
  HX_Container change;
  for (const std::string& name : names) change.AddValue(presence::DELETE_EXT_STATUS_PARAM, name.c_str());
  PublishExtStatus(change);
}

void HX_PresenceManager::addExtStatusValue(HX_Container& container, const char* name, const HX_Variant& value) {
  if (name == nullptr) return;
  switch (value.getTag()) {
    case HX_Variant::kBool:
      container.AddValue(name, value.getBool());
      break;
    case HX_Variant::kInt32:
    case HX_Variant::kUint32:
      container.AddValue(name, value.getInt());
      break;
    case HX_Variant::kInt64:
    case HX_Variant::kUint64:
      container.AddValue(name, value.getInt64());
      break;
    case HX_Variant::kString:
      container.AddValue(name, HX_CNT_STRING_VT, value.getString().data(), value.getString().size());
      break;
    case HX_Variant::kBinary:
      if (!value.getString().empty()) {
        container.AddValue(name, HX_CNT_BINARY_VT, value.getString().data(), value.getString().size());
      }
      break;
    default:
      break;
  }
}

// ---- call forwarding

bool HX_PresenceManager::setCallForwarding(const hx::CallForwardingStatus& status) {
  HXFSMShared* fsm = getFSM();
  const std::string login = OwnLogin();
  HX_Container ext;
  // One pair of keys: published and stored when `on`, otherwise published as removed and erased.
  const auto pair = [&](bool on, const char* numberKey, int32_t number, const char* idKey, const std::string& id) {
    if (on) {
      ext.AddValue(numberKey, number);
      ext.AddValue(idKey, HX_CNT_STRING_VT, id.data(), id.size());
      fsm->SetExtStatus(login.c_str(), numberKey, static_cast<int>(number));
      fsm->SetExtStatus(login.c_str(), idKey, id);
    } else {
      ext.AddValue(presence::DELETE_EXT_STATUS_PARAM, numberKey);
      ext.AddValue(presence::DELETE_EXT_STATUS_PARAM, idKey);
      fsm->EraseExtStatus(login.c_str(), std::vector<std::string>{numberKey, idKey});
    }
  };
  pair(status.type != hx::kCallFwdNone && !status.fwdPeerId.empty(), presence::esCallFwdType, status.type,
       presence::esCallFwdPeerId, status.fwdPeerId);
  pair(status.timeout != 0 && !status.timeoutPeerId.empty(), presence::esCallFwdTimeout,
       static_cast<int32_t>(status.timeout), presence::esCallFwdTimeoPeerId, status.timeoutPeerId);
  return UpdateStatus(static_cast<HX_UserPresence_Status>(fsm->GetMyStatus()), &ext, false);
}

bool HX_PresenceManager::getCallFwdStatus(const std::string& user, hx::CallForwardingStatus& out) const {
  out.clear();
  const HXFSMShared* fsm = getFSM();
  int type = 0;
  std::string target;
  const bool haveType = fsm->GetExtStatus(user.c_str(), presence::esCallFwdType, type);
  const bool haveTarget = fsm->GetExtStatus(user.c_str(), presence::esCallFwdPeerId, target);
  if (haveType || haveTarget) {
    if (static_cast<uint32_t>(type) > 2) type = hx::kCallFwdNone;
    out.setForwarding(target, static_cast<hx::CallForwardingType>(type));
  }
  int timeout = 0;
  std::string timeoutTarget;
  const bool haveTimeout = fsm->GetExtStatus(user.c_str(), presence::esCallFwdTimeout, timeout);
  const bool haveTimeoutTarget = fsm->GetExtStatus(user.c_str(), presence::esCallFwdTimeoPeerId, timeoutTarget);
  if (haveTimeout || haveTimeoutTarget) {
    if (timeout < 0) timeout = 0;
    out.setFwdTimeout(timeoutTarget, static_cast<uint32_t>(timeout));
  }
  return haveType || haveTarget || haveTimeout || haveTimeoutTarget;
}
