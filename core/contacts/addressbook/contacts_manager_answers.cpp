// The address-book manager's handling of what "ABOOK" sends: book answers, notices of added,
// removed and changed entries, group-command answers and single status answers, and the
// rebuilds of the contact list from the cache.
#include <charconv>
#include <cstring>
#include <set>
#include <string>

#include "core/base/container.h"
#include "core/client/fsm_shared.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/names/call_id_parser.h"
#include "core/wire/name_hash.h"

namespace {

// The hashes of the names this manager dispatches on, computed once.
struct Names {
  uint32_t addToAddressBook = hx::NameHash("AddToAddressBook");
  uint32_t removeFromAddressBook = hx::NameHash("RemoveFromAddressBook");
  uint32_t searchAddressBook = hx::NameHash("SearchAddressBook");
  uint32_t updateAddressBook = hx::NameHash("UpdateAddressBook");
  uint32_t manageGroups = hx::NameHash("ManageGroups");
  uint32_t getUserStatus = hx::NameHash("GetUserStatus");
  uint32_t userName = hx::NameHash("UserName");
  uint32_t callId = hx::NameHash("CallId");
  uint32_t displayName = hx::NameHash("DisplayName");
  uint32_t alias = hx::NameHash("Alias");
  uint32_t callId2 = hx::NameHash("CallID2");
  uint32_t lStatus = hx::NameHash("LStatus");
  uint32_t gid = hx::NameHash("GID");
  uint32_t gname = hx::NameHash("GName");
  uint32_t gtype = hx::NameHash("GType");
  uint32_t id = hx::NameHash("id");
  uint32_t phone = hx::NameHash("phone");
  uint32_t type = hx::NameHash("Type");
  uint32_t editable = hx::NameHash("editable");
};

const Names& N() {
  static const Names names;
  return names;
}

// Whether the walk's current entry is named exactly `name` (whose hash is `hash`).
bool Is(const HX_Container& c, uint32_t hash, const char* name) {
  const char* entry = c.GetName();
  return entry != nullptr && hx::NameHash(entry) == hash && std::strcmp(entry, name) == 0;
}

// Single keys, found ignoring case.
bool GetInt(const HX_Container& c, const char* name, int32_t& value) {
  size_t size = sizeof(value);
  return c.GetValue(name, HX_CNT_INTEGER_VT, &value, size);
}

int32_t IntOr(const HX_Container& c, const char* name, int32_t fallback) {
  int32_t value = fallback;
  return GetInt(c, name, value) ? value : fallback;
}

bool BoolOr(const HX_Container& c, const char* name, bool fallback) {
  bool value = fallback;
  size_t size = sizeof(value);
  return c.GetValue(name, HX_CNT_BOOL_VT, &value, size) ? value : fallback;
}

// A text entry's text (pointing into the container), or null.
const char* Text(const HX_Container& c, const char* name) {
  size_t size = 0;
  const void* value = c.GetValueRef(name, HX_CNT_STRING_VT, size);
  return value != nullptr && size != 0 ? static_cast<const char*>(value) : nullptr;
}

bool Empty(const char* text) { return text == nullptr || *text == '\0'; }

// A group id as text: its decimal value when the whole text (at most 255 characters) is a number
// in range, else 0.
int32_t GroupId(const char* text) {
  if (text == nullptr) return 0;
  const size_t length = strnlen(text, 256);
  if (length == 0 || length > 255) return 0;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(text, text + length, value);
  return error == std::errc() && end == text + length ? value : 0;
}

// One contact record of a body walk.
struct Record {
  const char* userName = nullptr;
  const char* callId = nullptr;
  const char* displayName = nullptr;
  bool editable = true;
};

// Reads one record from the walk's current entry (`has`: there is one). Each of the four fields
// is taken once; a field seen again begins the next record and is not stepped past.
void ReadRecord(const HX_Container& c, bool& has, Record& record) {
  const Names& n = N();
  unsigned seen = 0;
  int fields = 0;
  while (has) {
    unsigned bit = 0;
    if (Is(c, n.userName, "UserName")) {
      bit = 1;
    } else if (Is(c, n.callId, "CallId")) {
      bit = 2;
    } else if (Is(c, n.displayName, "DisplayName")) {
      bit = 4;
    } else if (Is(c, n.editable, "editable")) {
      bit = 8;
    }
    if (bit != 0 && (seen & bit) != 0) return;
    if (bit == 1) record.userName = c.GetStrValueRef();
    if (bit == 2) record.callId = c.GetStrValueRef();
    if (bit == 4) record.displayName = c.GetStrValueRef();
    if (bit == 8) {
      bool value = true;
      if (c.GetValue(value)) record.editable = value;
    }
    seen |= bit;
    has = c.Next();
    if (bit != 0 && ++fields == 4) return;
  }
}

}  // namespace

bool HX_ContactsManager::ParseIncomimgMessage(HX_Container& message) {
  const Names& n = N();
  const uint32_t method = hx::NameHash(Text(message, "Method"));
  if (method == n.searchAddressBook) return ParseContacts(message);
  if (method == n.addToAddressBook) return AddPeer(message);
  if (method == n.removeFromAddressBook) return DelPeer(message);
  if (method == n.updateAddressBook) return UpdateContacts(message);
  if (method == n.manageGroups) return ManageGroups(message);
  if (method == n.getUserStatus) GetUserStatus_answer(message);
  return true;
}

bool HX_ContactsManager::ParseCallHistory(HX_Container&) { return false; }

bool HX_ContactsManager::ParseContacts(HX_Container& message) {
  int32_t book = 0;
  int32_t result = 0;
  int32_t cause = 0;
  if (!GetInt(message, "AddressBook", book) || !GetInt(message, "Result", result) ||
      !GetInt(message, "Cause", cause)) {
    return false;
  }
  const uint32_t hash = static_cast<uint32_t>(IntOr(message, "Hash", 0));
  message.Reset();
  const bool complete = cause != 0 && cause != 2;
  switch (book) {
    case HX_AB_CONTACTS:
      parseSearch_abCommon(complete, result, hash, message);
      break;
    case HX_AB_BANS:
      if (complete) parseSearch_abBanList(hash, message);
      break;
    case HX_AB_SEARCH:
      parseSearch_abPerson(message);
      if (complete) cache->SetBookHash(HX_AB_SEARCH, hash);
      break;
    case HX_AB_DETAILS:
      parseSearch_abPersonDetails(message);
      if (complete) cache->SetBookHash(HX_AB_DETAILS, hash);
      break;
    case HX_AB_PICTURES:
      parseSearch_abUserPicture(cause, result, static_cast<int32_t>(hash), message);
      if (complete) cache->SetBookHash(HX_AB_PICTURES, hash);
      break;
    case HX_AB_GROUPS:
      if (complete && cache->GetBookHash(HX_AB_GROUPS) != hash) {
        parseSearch_abGroups(message);
        cache->SetBookHash(HX_AB_GROUPS, hash);
      }
      break;
    case HX_AB_LSTATUSES:
      parseSearch_abLStatus(message);
      if (complete) cache->SetBookHash(HX_AB_LSTATUSES, hash);
      break;
    case HX_AB_PHONES:
      if (complete) {
        parseSearch_abPhones(message);
        cache->SetBookHash(HX_AB_PHONES, hash);
      }
      break;
    default:
      break;
  }
  return true;
}

bool HX_ContactsManager::parseSearch_abCommon(bool complete, int32_t records, uint32_t hash,
                                              HX_Container& message) {
  requestSeq.fetch_add(1);
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr) return false;
  HXAutoLock storeLock(fsm->getContactStorageLock());
  const bool work = complete || records > 0;
  std::set<std::string> seen;
  if (work) {
    if (complete) fsm->DropContactList();
    std::list<contactMetaData> list;
    message.Reset();
    bool has = message.Next();
    // The count is the server's; the body ends the walk whatever it claims.
    for (int32_t i = 0; i < records && has; ++i) {
      Record record;
      ReadRecord(message, has, record);
      if (Empty(record.callId)) continue;
      seen.insert(record.callId);
      const uint32_t flags = record.editable ? 0 : hx::Contact::NOT_EDITABLE;
      const hx::Contact stored = fsm->PushContact(
          record.userName, record.callId, record.displayName, fsm->GetStatus(record.callId), flags);
      list.push_back({record.userName, record.callId, stored.displayName, stored.status, flags});
    }
    cache->AddContactsToContactList(list, complete, hash, fsm->GetContactsHash());
    beginContactListUpdate.Emit(complete, false);
    for (const contactMetaData& contact : list) {
      setPeer.Emit(contact.userName, contact.callId, contact.displayName.c_str(), contact.status,
                   1);
    }
  }
  const bool subscribeAll = fsm->filterSubscriptionRequest(seen, complete);
  if (subscribeAll) {
    Subscribe(cache->GetContacts(), true);
  } else if (!seen.empty()) {
    Subscribe(seen, false);
  }
  if (work) endContactListUpdate.Emit(subscribeAll);
  return true;
}

void HX_ContactsManager::parseSearch_abBanList(uint32_t hash, HX_Container& message) {
  const Names& n = N();
  std::set<std::string> bans;
  message.Reset();
  while (message.Next()) {
    if (!Is(message, n.userName, "UserName")) continue;
    const char* id = message.GetStrValueRef();
    if (!Empty(id)) bans.insert(id);
  }
  std::set<std::string> added;
  std::set<std::string> removed;
  cache->ManageAbBanList(hash, bans, added, removed);
  for (const std::string& id : added) contactBlocked.Emit(id.c_str());
  for (const std::string& id : removed) contactUnblocked.Emit(id.c_str());
}

void HX_ContactsManager::parseSearch_abGroups(HX_Container& message) {
  const Names& n = N();
  groupsBeginUpdate.Emit();
  const char* name = nullptr;
  int32_t id = 0;
  int32_t type = 0;
  message.Reset();
  while (message.Next()) {
    if (Is(message, n.gname, "GName")) {
      name = message.GetStrValueRef();
    } else if (Is(message, n.gid, "GID")) {
      const char* text = message.GetStrValueRef();
      if (!Empty(text)) id = GroupId(text);
    } else if (Is(message, n.gtype, "GType")) {
      message.GetValue(type);
      if (id != 0) groupArrived.Emit(id, name, type, nullptr);
    } else if (Is(message, n.callId, "CallId")) {
      const char* member = message.GetStrValueRef();
      if (id != 0) groupArrived.Emit(id, name, type, member);
    }
  }
  groupsEndUpdate.Emit();
}

void HX_ContactsManager::parseSearch_abPhones(HX_Container& message) {
  const Names& n = N();
  phonesBeginUpdate.Emit();
  const char* phoneId = nullptr;
  const char* callId = nullptr;
  const char* phone = nullptr;
  int32_t type = 0;
  bool editable = false;
  int count = 0;
  message.Reset();
  while (message.Next()) {
    if (Is(message, n.editable, "editable")) {
      message.GetValue(editable);
      if (phone != nullptr) phoneArrived.Emit(phoneId, callId, phone, static_cast<PhoneType>(type), editable);
      count = 0;
      continue;
    }
    if (count >= 4) {
      if (phone != nullptr) phoneArrived.Emit(phoneId, callId, phone, static_cast<PhoneType>(type), editable);
      count = 0;
    }
    if (Is(message, n.id, "id")) {
      phoneId = message.GetStrValueRef();
    } else if (Is(message, n.callId, "CallId")) {
      callId = message.GetStrValueRef();
    } else if (Is(message, n.phone, "phone")) {
      phone = message.GetStrValueRef();
    } else if (Is(message, n.type, "Type")) {
      message.GetValue(type);
    } else {
      continue;
    }
    ++count;
  }
  phonesEndUpdate.Emit();
}

void HX_ContactsManager::parseSearch_abLStatus(HX_Container& message) {
  const Names& n = N();
  lStatusBeginUpdate.Emit();
  message.Reset();
  bool has = message.Next();
  while (has) {
    int32_t status = 0;
    bool statusRead = false;
    const char* callId = nullptr;
    while (has && !(callId != nullptr && statusRead)) {
      if (Is(message, n.callId, "CallId")) {
        callId = message.GetStrValueRef();
      } else if (Is(message, n.lStatus, "LStatus")) {
        statusRead = message.GetValue(status);
      }
      if (callId != nullptr && statusRead) break;
      has = message.Next();
    }
    if (callId != nullptr) lStatusArrived.Emit(callId, static_cast<HX_LStatus>(status));
    if (has) has = message.Next();
  }
  lStatusEndUpdate.Emit();
}

void HX_ContactsManager::parseSearch_abPerson(HX_Container& message) {
  const Names& n = N();
  auto searched = [&](const char* name, const char* other) {
    const char* text = Text(message, name);
    if (text == nullptr) text = Text(message, other);
    return text != nullptr ? text : "";
  };
  searchBeginUpdate.Emit(searched("RequestCallID", "REQUEST_CALL_ID_PARAM"),
                         searched("RequestName", "REQUEST_NAME_PARAM"),
                         searched("RequestEmail", "REQUEST_EMAIL_PARAM"));
  const char* callId = nullptr;
  const char* name = nullptr;
  message.Reset();
  while (message.Next()) {
    if (Is(message, n.callId, "CallId")) {
      callId = message.GetStrValueRef();
    } else if (Is(message, n.displayName, "DisplayName")) {
      name = message.GetStrValueRef();
    } else {
      continue;
    }
    if (callId != nullptr && name != nullptr) {
      searchResult.Emit(callId, name);
      callId = nullptr;
      name = nullptr;
    }
  }
  if (callId != nullptr) searchResult.Emit(callId, nullptr);
  searchEndUpdate.Emit();
}

void HX_ContactsManager::parseSearch_abPersonDetails(HX_Container& message) {
  const char* callId = Text(message, "CallId");
  if (Empty(callId)) return;
  const char* displayName = Text(message, "DisplayName");
  const HX_UserDetailsStorage::Information info(Text(message, "FirstName"),
                                                Text(message, "LastName"), Text(message, "company"),
                                                Text(message, "phone"), displayName, callId);
  HXFSMShared* fsm = getFSM();
  if (fsm != nullptr) {
    fsm->peerNameUpdated.Emit(callId, displayName, false);
    fsm->SetUserDetails(callId, info, true);
  }
  contactDetailsArrived.Emit(callId, info);
}

void HX_ContactsManager::parseSearch_abUserPicture(int32_t cause, int32_t result, int32_t hash,
                                                   HX_Container& message) {
  const char* peer = Text(message, "Query");
  if (peer == nullptr) peer = Text(message, "UserName");
  if (peer == nullptr) return;
  if (cause == 1) {
    const void* bytes = nullptr;
    size_t size = 0;
    const char* type = nullptr;
    if (result >= 1) {
      bytes = message.GetValueRef("avatar", HX_CNT_BINARY_VT, size);
      if (bytes == nullptr) bytes = message.GetValueRef("picture", HX_CNT_BINARY_VT, size);
      if (bytes == nullptr) size = 0;
      type = Text(message, "avatar_type");
      if (type == nullptr) type = Text(message, "picturetype");
    }
    avatarArrived.Emit(peer, type, bytes, size, hash);
  } else if (cause == 2) {
    avatarNotChanged.Emit(peer, hash);
  }
}

// ---- notices

bool HX_ContactsManager::AddPeer(HX_Container& message) {
  const char* callId = Text(message, "CallId");
  const int32_t book = IntOr(message, "AddressBook", 0);
  const uint32_t hash = static_cast<uint32_t>(IntOr(message, "Hash", 0));
  const int32_t cause = IntOr(message, "Cause", 0);
  const bool newUser = BoolOr(message, "NewUser", false);
  if (cause != 0) {
    addressBookCmdFailed.Emit(callId, 0, cause);
    return true;
  }
  const char* displayName = Text(message, "DisplayName");
  switch (book) {
    case HX_AB_EXTERNAL:
      return AddPeer_abExternalContacts(message);
    case HX_AB_BANS:
      // A notice without the id it is about changes nothing.
      if (Empty(callId)) return false;
      cache->AddPeerAbBanList(callId, displayName, hash);
      contactBlocked.Emit(callId);
      return true;
    case HX_AB_CONTACTS: {
      if (Empty(callId)) return false;
      const bool editable = BoolOr(message, "editable", true);
      return AddPeer_abCommon(callId, displayName, hash, editable ? 0 : hx::Contact::NOT_EDITABLE,
                              newUser ? 2 : 0);
    }
    default:
      return false;
  }
}

bool HX_ContactsManager::DelPeer(HX_Container& message) {
  const char* callId = Text(message, "CallId");
  const int32_t cause = IntOr(message, "Cause", 0);
  if (cause != 0) {
    addressBookCmdFailed.Emit(callId, 1, cause);
    return true;
  }
  const int32_t book = IntOr(message, "AddressBook", 0);
  const uint32_t hash = static_cast<uint32_t>(IntOr(message, "Hash", 0));
  const char* displayName = Text(message, "DisplayName");
  if (Empty(callId)) return false;
  HXFSMShared* fsm = getFSM();
  switch (book) {
    case HX_AB_PICTURES:
      if (fsm == nullptr) return false;
      fsm->DelAvatar(callId);
      if (fsm->IsMyId(callId)) myPictureRemoved.Emit();
      return true;
    case HX_AB_BANS:
      cache->DelPeerAbBanList(callId, displayName, hash);
      contactUnblocked.Emit(callId);
      return true;
    case HX_AB_CONTACTS:
      return DelPeer_abCommon(callId, displayName, hash);
    default:
      return false;
  }
}

bool HX_ContactsManager::UpdateContacts(HX_Container& message) {
  if (IntOr(message, "Cause", 0) != 0) return false;
  const int32_t book = IntOr(message, "AddressBook", 0);
  const char* callId = Text(message, "CallId");
  const int32_t hash = IntOr(message, "Hash", 0);
  message.Reset();
  if (book == HX_AB_CONTACTS) {
    if (hash <= 0) return false;
    return parseSearch_abCommon(false, 1, static_cast<uint32_t>(hash), message);
  }
  if (book == HX_AB_PICTURES) {
    if (Empty(callId)) return false;
    HXFSMShared* fsm = getFSM();
    if (fsm != nullptr && fsm->IsMyId(callId)) myPictureUpdated.Emit();
    return true;
  }
  PrintContainer(message);
  return false;
}

bool HX_ContactsManager::ManageGroups(HX_Container& message) {
  int32_t result = 0;
  int32_t cause = 0;
  if (!GetInt(message, "Result", result) || !GetInt(message, "Cause", cause)) return false;
  if (result == 1) {
    const int32_t groupId = GroupId(Text(message, "GID"));
    const int32_t type = IntOr(message, "GType", 1);
    const int32_t sequence = IntOr(message, "SeqID", 0);
    bool found = false;
    WaitedGroup waited;
    {
      HXAutoLock lock(m_lock);
      const auto entry = waitedGroups.find(sequence);
      if (entry != waitedGroups.end()) {
        found = true;
        waited = std::move(entry->second);
        waitedGroups.erase(entry);
      }
    }
    if (found) {
      switch (cause) {
        case 0:
          groupArrived.Emit(groupId, waited.name.c_str(), type, nullptr);
          break;
        case 1:
          groupDeleted.Emit(waited.gid, nullptr);
          break;
        case 2:
          groupArrived.Emit(waited.gid, waited.name.c_str(), type, nullptr);
          break;
        case 3:
          groupArrived.Emit(waited.gid, waited.name.c_str(), type, waited.callId.c_str());
          break;
        case 4:
          groupDeleted.Emit(waited.gid, waited.callId.c_str());
          break;
        default:
          break;
      }
      groupsEndUpdate.Emit();
    }
    if (sequence == 0) SearchAddressBook("", HX_AB_GROUPS, 0);
  }
  groupCmdDone.Emit(cause, result);
  return true;
}

void HX_ContactsManager::GetUserStatus_answer(HX_Container& message) {
  const char* callId = Text(message, "CallId");
  const char* displayName = Text(message, "DisplayName");
  const char* realId = Text(message, "RealID");
  const auto status =
      static_cast<HX_UserPresence_Status>(IntOr(message, "UserPresStatus", USER_STATUS_UNDEF));
  if (callId == nullptr) return;
  HXFSMShared* fsm = getFSM();
  if (fsm != nullptr && fsm->IsPeerExists(callId)) {
    fsm->SetStatus(callId, status);
    fsm->updateContactStatus(callId, status);
    setPeer.Emit(realId, callId, displayName, status, 1);
  }
  userStatusArrived.Emit(callId, status);
}

bool HX_ContactsManager::AddPeer_abCommon(const char* callId, const char* displayName,
                                          uint32_t hash, uint32_t flags, int32_t mode) {
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr) return false;
  const HX_UserPresence_Status status = fsm->GetStatus(callId);
  hx::Contact stored(callId, displayName, status, flags);
  {
    HXAutoLock storeLock(fsm->getContactStorageLock());
    stored = fsm->PushContact(callId, callId, displayName, status, flags);
  }
  cache->AddPeerAbCommon(stored.peerId.c_str(), stored.displayName.c_str(), flags, hash,
                         fsm->GetContactsHash());
  beginContactListUpdate.Emit(false, false);
  setPeer.Emit(callId, callId, displayName, status, mode);
  endContactListUpdate.Emit(false);
  Subscribe(callId);
  return true;
}

bool HX_ContactsManager::DelPeer_abCommon(const char* callId, const char*, uint32_t hash) {
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr) return false;
  {
    HXAutoLock storeLock(fsm->getContactStorageLock());
    fsm->DropContact(callId);
  }
  cache->DelPeerAbCommon(callId, hash, fsm->GetContactsHash());
  Unsubscribe(callId);
  beginContactListUpdate.Emit(false, false);
  contactDeleted.Emit(callId);
  endContactListUpdate.Emit(false);
  return true;
}

bool HX_ContactsManager::AddPeer_abExternalContacts(HX_Container& message) {
  const Names& n = N();
  ExternalContacts list;
  const char* callId = nullptr;
  const char* alias = nullptr;
  message.Reset();
  while (message.Next()) {
    if (Is(message, n.callId2, "CallID2")) {
      callId = message.GetStrValueRef();
    } else if (Is(message, n.alias, "Alias")) {
      alias = message.GetStrValueRef();
    } else {
      continue;
    }
    if (callId != nullptr && alias != nullptr) {
      list.emplace_back(callId, alias);
      callId = nullptr;
      alias = nullptr;
    }
  }
  externalContactsArrived.Emit(list);
  return true;
}

bool HX_ContactsManager::AddPeer_abBanList(const char* callId, const char* displayName,
                                           uint32_t hash, int32_t) {
  cache->AddPeerAbBanList(callId, displayName, hash);
  contactBlocked.Emit(callId);
  return true;
}

bool HX_ContactsManager::DelPeer_abBanList(const char* callId, const char* displayName,
                                           uint32_t hash) {
  cache->DelPeerAbBanList(callId, displayName, hash);
  contactUnblocked.Emit(callId);
  return true;
}

void HX_ContactsManager::impFirePhoneArrived(const char* phoneId, const char* callId,
                                             const char* phone, PhoneType type, bool editable) {
  if (phone != nullptr) phoneArrived.Emit(phoneId, callId, phone, type, editable);
}

// ---- rebuilds from the cache

void HX_ContactsManager::UpdatePeersFromCache() {
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr) return;
  cache->ExpireCache();
  std::set<hx::Contact> contacts;
  cache->getContacts(contacts, [fsm](const std::string& id) {
    const HX_UserPresence_Status status = fsm->GetStatus(id.c_str());
    return status == USER_STATUS_UNDEF ? static_cast<HX_UserPresence_Status>(0) : status;
  });
  fsm->setContactList(contacts);
  beginContactListUpdate.Emit(true, false);
  for (const hx::Contact& contact : contacts) {
    setPeer.Emit("", contact.peerId.c_str(), contact.displayName.c_str(), contact.status, 1);
  }
  endContactListUpdate.Emit(false);
  for (const std::string& id : cache->GetBans()) contactBlocked.Emit(id.c_str());
}

void HX_ContactsManager::DisablePeersFromCache() {
  requestSeq.fetch_add(1);
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr) return;
  cache->ExpireCache();
  std::set<hx::Contact> contacts;
  const auto offline = static_cast<HX_UserPresence_Status>(0);
  cache->getContacts(contacts, [offline](const std::string&) { return offline; });
  fsm->ClearStatusHolder();
  fsm->setContactList(contacts);
  beginContactListUpdate.Emit(true, true);
  for (const hx::Contact& contact : contacts) {
    fsm->SetStatus(contact.peerId.c_str(), 0);
    setPeer.Emit("", contact.peerId.c_str(), contact.displayName.c_str(), offline, 1);
  }
  endContactListUpdate.Emit(false);
}

void HX_ContactsManager::OnUpdatePeerIdCache(const char* peerId, const char* displayName,
                                             bool updateContact) {
  std::string key = peerId != nullptr ? peerId : "";
  if (!key.empty() && (key[0] == '#' || key[0] == '+' || key[0] == '\\')) {
    key = hx::CallIdParser::getCallIdNC(key);
  }
  cache->AddToCache(key.c_str(), displayName);
  HXFSMShared* fsm = getFSM();
  if (fsm == nullptr || peerId == nullptr) return;
  if (fsm->IsMyId(peerId)) {
    fsm->SetDisplayName(displayName);
  } else if (updateContact) {
    fsm->HX_ContactStorage::SetDisplayName(peerId, displayName);
    cache->AddToContactList(peerId, displayName);
  }
  if (updateContact) {
    beginContactListUpdate.Emit(false, false);
    setPeer.Emit("", peerId, displayName, fsm->GetStatus(peerId), 1);
    endContactListUpdate.Emit(false);
  }
  if (cache->IsBan(peerId)) contactBlocked.Emit(peerId);
}
