// The address-book manager's requests: the books, the user's changes to them, the presence
// subscriptions, the group commands and the repeated request cycle.
#include "core/contacts/addressbook/contacts_manager.h"

#include <chrono>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/base/stored_task.h"
#include "core/client/fsm_shared.h"
#include "core/client/protocol_constants.h"
#include "core/net/loop/zserver.h"

namespace {

constexpr uint32_t kFirstRetryMs = 20000;
constexpr uint32_t kRetryStepMs = 10000;
constexpr uint32_t kStepAttempts = 10;
constexpr uint32_t kLateRetryMs = 1800000;

enum GroupCommand : int32_t {
  kCreate = 0,
  kRemove = 1,
  kRename = 2,
  kAddMember = 3,
  kRemoveMember = 4
};

// A null text is left out of the request.
void AddText(HX_Container& body, const char* name, const char* text) {
  if (text != nullptr) body.AddValue(name, text);
}

void AddInt(HX_Container& body, const char* name, int32_t value) { body.AddValue(name, value); }

}  // namespace

HX_ContactsManager::HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport,
                                       HXFSMShared* fsm, std::shared_ptr<HX_GrossBuchCache> cache)
    : HX_AbstractManager(ADDRESSBOOK_SRV, std::move(transport), fsm), cache(std::move(cache)) {}

HX_ContactsManager::~HX_ContactsManager() {
  UnregisterServiceHandler();
  // A repetition may be due up to 30 minutes ahead on a loop that outlives this object: none is
  // scheduled from now on, pending ones are removed and a running one is waited for.
  std::map<uint32_t, uint32_t> jobs;
  {
    HXAutoLock lock(m_lock);
    m_closing = true;
    jobs.swap(m_retryJobs);
    waitedGroups.clear();
  }
  for (const auto& [sequence, job] : jobs) HXZServer::UnScheduleJob(job, true, true);
}

uint32_t HX_ContactsManager::RetryDelayMs(uint32_t attempt) {
  return attempt < kStepAttempts ? attempt * kRetryStepMs + kFirstRetryMs : kLateRetryMs;
}

bool HX_ContactsManager::Send(const HX_Container& body, const char* service) {
  return ComposeSend(body, service, nullptr, nullptr, kRequestTimeLimitMs);
}

std::string HX_ContactsManager::Normalised(const char* id) const {
  HXFSMShared* fsm = getFSM();
  const std::string text = id != nullptr ? id : "";
  return fsm != nullptr ? fsm->GetPeerId(text, true) : text;
}

std::string HX_ContactsManager::MyLogin() const {
  HXFSMShared* fsm = getFSM();
  return fsm != nullptr ? fsm->GetLogin() : std::string();
}

// ---- "ABOOK" requests

bool HX_ContactsManager::SearchAddressBook(const char* query, int32_t addressBook, uint32_t hash) {
  const std::string login = MyLogin();
  HX_Container body;
  body.AddValue(METHOD_PARAM, "SearchAddressBook");
  AddText(body, "Query", query);
  if (hash != 0) AddInt(body, "Hash", static_cast<int32_t>(hash));
  AddInt(body, "AddressBook", addressBook);
  body.AddValue("CallId", login.c_str());
  body.AddValue("E-Mail", login.c_str());
  body.AddValue("Name", login.c_str());
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::FindUser(const char* callId, const char* name, const char* email) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "SearchAddressBook");
  AddInt(body, "AddressBook", HX_AB_SEARCH);
  AddText(body, "E-Mail", email);
  AddText(body, "CallId", callId);
  AddText(body, "Name", name);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::reqPeerDetails(const char* peerId) {
  if (peerId == nullptr) return false;
  if (cache->IsContact(peerId)) return false;
  if (cache->isCacheRequestAllowed(peerId)) return SearchAddressBook(peerId, HX_AB_DETAILS, 0);
  return true;
}

bool HX_ContactsManager::GetUserPicture(const char* peerId, int32_t hash) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "SearchAddressBook");
  AddInt(body, "AddressBook", HX_AB_PICTURES);
  AddText(body, "Query", peerId);
  if (hash != 0) AddInt(body, "Hash", hash);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::AddToAddressBook(const char* callId, const char* displayName,
                                          int32_t addressBook) {
  const std::string id = Normalised(callId);
  std::optional<std::string> cached;
  if (displayName == nullptr && callId != nullptr) {
    cached = cache->GetDisplayName(callId, hx::DisplayName::kReturnNull);
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, "AddToAddressBook");
  AddInt(body, "AddressBook", addressBook);
  body.AddValue("CallId", id.c_str());
  AddText(body, "DisplayName",
          displayName != nullptr ? displayName
          : cached               ? cached->c_str()
                                 : nullptr);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::AddToExtAddressBook(const char* callId, const char* displayName) {
  return AddToAddressBook(callId, displayName, HX_AB_EXTERNAL);
}

bool HX_ContactsManager::AddToPhoneBook(const char* callId, const char* phone, PhoneType type) {
  const std::string id = Normalised(callId);
  HX_Container body;
  body.AddValue(METHOD_PARAM, "AddToAddressBook");
  AddInt(body, "AddressBook", HX_AB_PHONES);
  body.AddValue("CallId", id.c_str());
  AddText(body, "phone", phone);
  AddInt(body, "Type", type);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::BlockUser(const char* callId, HX_PeerBlockType type) {
  const std::string id = Normalised(callId);
  HX_Container body;
  body.AddValue(METHOD_PARAM, "AddToAddressBook");
  AddInt(body, "AddressBook", HX_AB_BANS);
  body.AddValue("Name", id.c_str());
  body.AddValue("CallId", id.c_str());
  AddInt(body, "Type", type);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::RemoveFromAddressBook(const char* callId, int32_t addressBook) {
  const std::string id = Normalised(callId);
  HX_Container body;
  body.AddValue(METHOD_PARAM, "RemoveFromAddressBook");
  body.AddValue("Name", id.c_str());
  body.AddValue("CallId", id.c_str());
  AddInt(body, "AddressBook", addressBook);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::UnblockUser(const char* callId) {
  return RemoveFromAddressBook(callId, HX_AB_BANS);
}

bool HX_ContactsManager::RemoveFromPhoneBook(const char* phoneId) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "RemoveFromAddressBook");
  AddInt(body, "AddressBook", HX_AB_PHONES);
  AddText(body, "id", phoneId);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::WipeMyPicture() {
  const std::string login = MyLogin();
  HX_Container body;
  body.AddValue(METHOD_PARAM, "RemoveFromAddressBook");
  AddInt(body, "AddressBook", HX_AB_PICTURES);
  body.AddValue("Name", login.c_str());
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::SetDisplayName(const char* callId, const char* displayName) {
  if (HXFSMShared* fsm = getFSM()) fsm->peerNameUpdated.Emit(callId, displayName, true);
  const std::string id = Normalised(callId);
  HX_Container body;
  body.AddValue(METHOD_PARAM, "UpdateAddressBook");
  AddInt(body, "AddressBook", HX_AB_CONTACTS);
  body.AddValue("CallId", id.c_str());
  AddText(body, "DisplayName", displayName);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::SetPhone(const char* callId, const char* phoneId, const char* phone,
                                  PhoneType type) {
  const std::string id = Normalised(callId);
  HX_Container body;
  body.AddValue(METHOD_PARAM, "UpdateAddressBook");
  AddInt(body, "AddressBook", HX_AB_PHONES);
  body.AddValue("CallId", id.c_str());
  AddText(body, "id", phoneId);
  AddText(body, "phone", phone);
  AddInt(body, "Type", type);
  return Send(body, ADDRESSBOOK_SRV);
}

bool HX_ContactsManager::SetMyPicture(const void* bytes, uint32_t size, const char* pictureType) {
  const std::string login = MyLogin();
  HX_Container body;
  body.AddValue(METHOD_PARAM, "UpdateAddressBook");
  AddInt(body, "AddressBook", HX_AB_PICTURES);
  body.AddValue("CallId", login.c_str());
  AddText(body, "avatar_type", pictureType);
  if (bytes != nullptr && size != 0) body.AddValue("avatar", HX_CNT_BINARY_VT, bytes, size);
  return Send(body, ADDRESSBOOK_SRV);
}

void HX_ContactsManager::RequestCallHistoryFromServer(const char* callId, int32_t count,
                                                      Direction direction, int64_t lastCachedCall) {
  HX_Container body;
  AddText(body, "CallId", callId);
  AddInt(body, "@i_cnt", count);
  AddInt(body, "@i_fwd", direction);
  AddInt(body, "AddressBook", HX_AB_CALL_HISTORY);
  if (lastCachedCall != -1) body.AddValue("@last_cached_call", lastCachedCall);
  body.AddValue(METHOD_PARAM, "SearchAddressBook");
  Send(body, ADDRESSBOOK_SRV);
}

// ---- group commands

bool HX_ContactsManager::sendGroupCommand(HX_Container& body, WaitedGroup waited) {
  int32_t sequence = 0;
  bool added = false;
  {
    // Remembered before the send: the loop thread may handle the answer before Send returns.
    HXAutoLock lock(m_lock);
    sequence = ++groupSeqId;
    added = waitedGroups.emplace(sequence, std::move(waited)).second;
  }
  AddInt(body, "SeqID", sequence);
  if (Send(body, ADDRESSBOOK_SRV)) return true;
  HXAutoLock lock(m_lock);
  if (added) waitedGroups.erase(sequence);
  return false;
}

bool HX_ContactsManager::CreateGroup(const char* groupName) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "ManageGroups");
  AddInt(body, "Cmd", kCreate);
  AddText(body, "GName", groupName);
  return sendGroupCommand(body, {kCreate, 0, groupName != nullptr ? groupName : "", ""});
}

bool HX_ContactsManager::RemoveGroup(int32_t groupId) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "ManageGroups");
  AddInt(body, "Cmd", kRemove);
  AddInt(body, "GID", groupId);
  return sendGroupCommand(body, {kRemove, groupId, "", ""});
}

bool HX_ContactsManager::RenameGroup(int32_t groupId, const char* groupName) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "ManageGroups");
  AddInt(body, "Cmd", kRename);
  AddInt(body, "GID", groupId);
  AddText(body, "GName", groupName);
  return sendGroupCommand(body, {kRename, groupId, groupName != nullptr ? groupName : "", ""});
}

bool HX_ContactsManager::AddToGroup(int32_t groupId, const char* callId) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "ManageGroups");
  AddInt(body, "Cmd", kAddMember);
  AddInt(body, "GID", groupId);
  AddText(body, "CallId", callId);
  return sendGroupCommand(body, {kAddMember, groupId, "", callId != nullptr ? callId : ""});
}

bool HX_ContactsManager::RemoveFromGroup(int32_t groupId, const char* callId) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, "ManageGroups");
  AddInt(body, "Cmd", kRemoveMember);
  AddInt(body, "GID", groupId);
  AddText(body, "CallId", callId);
  return sendGroupCommand(body, {kRemoveMember, groupId, "", callId != nullptr ? callId : ""});
}

// ---- batch additions

void HX_ContactsManager::BeginAddMyContacts(HX_Container& container, int32_t addressBook) {
  container.Clear();
  container.AddValue(METHOD_PARAM, "AddToAddressBook");
  AddInt(container, "AddressBook", addressBook);
}

void HX_ContactsManager::BeginAddExtContacts(HX_Container& container) {
  BeginAddMyContacts(container, HX_AB_EXTERNAL);
}

void HX_ContactsManager::BeginAddMyExternalContacts(HX_Container& container) {
  BeginAddMyContacts(container, HX_AB_OWN_EXTERNAL);
}

void HX_ContactsManager::PushMyContact(HX_Container& container, const char* callId) {
  AddText(container, "CallId", callId);
}

void HX_ContactsManager::PushMyContact(HX_Container& container, const char* callId,
                                       const char* displayName) {
  AddText(container, "CallId", callId);
  AddText(container, "DisplayName", displayName);
}

bool HX_ContactsManager::EndAddMyContacts(const HX_Container& container) {
  return !container.IsEmpty() && Send(container, ADDRESSBOOK_SRV);
}

// ---- "PRESENCE" requests

bool HX_ContactsManager::SubscriptionManage(const char* callId, const char* method) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, method);
  AddText(body, "CallId", callId);
  return Send(body, PRESENCE_SRV);
}

bool HX_ContactsManager::SubscriptionManage(const char* const* ids, size_t count,
                                            const char* method, bool cause) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, method);
  if (cause) AddInt(body, "Cause", 1);
  for (size_t i = 0; ids != nullptr && i < count; ++i) AddText(body, "CallId", ids[i]);
  return Send(body, PRESENCE_SRV);
}

bool HX_ContactsManager::SubscriptionManage(const std::set<std::string>& ids, const char* method,
                                            bool cause) {
  if (ids.empty()) return false;
  std::vector<const char*> list;
  list.reserve(ids.size());
  for (const std::string& id : ids) list.push_back(id.c_str());
  return SubscriptionManage(list.data(), list.size(), method, cause);
}

bool HX_ContactsManager::Subscribe(const char* callId) {
  const std::string id = Normalised(callId);
  return SubscriptionManage(id.c_str(), "Subscribe");
}

bool HX_ContactsManager::Subscribe(const char* const* ids, size_t count, bool cause) {
  return SubscriptionManage(ids, count, "Subscribe", cause);
}

bool HX_ContactsManager::Subscribe(const std::set<std::string>& ids, bool cause) {
  return SubscriptionManage(ids, "Subscribe", cause);
}

bool HX_ContactsManager::Unsubscribe(const char* callId) {
  if (HXFSMShared* fsm = getFSM()) fsm->EraseStatus(callId);
  return SubscriptionManage(callId, "Unsubscribe");
}

bool HX_ContactsManager::Unsubscribe(const char* const* ids, size_t count) {
  HXFSMShared* fsm = getFSM();
  for (size_t i = 0; fsm != nullptr && ids != nullptr && i < count; ++i) fsm->EraseStatus(ids[i]);
  return SubscriptionManage(ids, count, "Unsubscribe", false);
}

bool HX_ContactsManager::Unsubscribe(const std::set<std::string>& ids) {
  if (HXFSMShared* fsm = getFSM()) {
    for (const std::string& id : ids) fsm->EraseStatus(id.c_str());
  }
  return SubscriptionManage(ids, "Unsubscribe", false);
}

bool HX_ContactsManager::GetUserStatus(const char* callId) {
  const std::string id = Normalised(callId);
  return SubscriptionManage(id.c_str(), "GetUserStatus");
}

// ---- request cycle

bool HX_ContactsManager::RequestAddressBooks(const char*) {
  {
    HXAutoLock lock(m_lock);
    requestAttempt = 0;
  }
  requestSeq.fetch_add(1);
  return requestAddressBooksInt();
}

void HX_ContactsManager::resetDeferredRequests() { requestSeq.fetch_add(1); }

bool HX_ContactsManager::requestAddressBooksInt() {
  // Taken before the requests go: a contact list that the loop thread handles while this thread
  // is still sending changes the sequence, and the repetition scheduled below must then do nothing.
  const uint32_t sequence = requestSeq.load();
  HXFSMShared* fsm = getFSM();
  const uint32_t contactsCrc = fsm != nullptr ? fsm->GetContactsHash() : 0;
  const uint32_t listHash =
      contactsCrc == cache->GetBookCrc(HX_AB_CONTACTS) ? cache->GetBookHash(HX_AB_CONTACTS) : 0;
  bool result = SearchAddressBook("", HX_AB_GROUPS, cache->GetBookHash(HX_AB_GROUPS)) &&
                SearchAddressBook("", HX_AB_PHONES, cache->GetBookHash(HX_AB_PHONES)) &&
                SearchAddressBook("", HX_AB_CONTACTS, listHash) &&
                SearchAddressBook("", HX_AB_BANS, cache->GetBookHash(HX_AB_BANS));
  uint32_t attempt = 0;
  {
    HXAutoLock lock(m_lock);
    attempt = requestAttempt;
  }
  if (attempt != 0 && fsm != nullptr && !fsm->getStatusSubscription()) {
    Subscribe(cache->GetContacts(), true);
  }
  scheduleRetry(attempt, sequence);
  return result;
}

void HX_ContactsManager::scheduleRetry(uint32_t attempt, uint32_t sequence) {
  const uint32_t delay = RetryDelayMs(attempt) / m_retryDivisor.load();
  HXAutoLock lock(m_lock);
  ++requestAttempt;
  // Two cycles that overlap (a new cycle from the host while a repetition runs) may carry the same
  // sequence. Only one of their jobs could pass the test, and a second entry would replace the
  // first one's job id, leaving that job behind for the destructor to miss.
  if (m_closing || m_retryJobs.count(sequence) != 0) return;
  // Held while scheduling, so that the job cannot look for its entry before it is there.
  const uint32_t job = HXZServer::ScheduleUrgentJob(
      HXCallback::Save(this, &HX_ContactsManager::onRequestABookTimeout, sequence), delay,
      "ABookRetry");
  if (job != 0) m_retryJobs[sequence] = job;
}

void HX_ContactsManager::onRequestABookTimeout(uint32_t sequence) {
  {
    HXAutoLock lock(m_lock);
    if (m_closing) return;
  }
  if (requestSeq.fetch_add(1) == sequence) requestAddressBooksInt();
  HXAutoLock lock(m_lock);
  m_retryJobs.erase(sequence);
}

bool HX_ContactsManager::IsBanned(const char* peerId) const {
  return peerId != nullptr && cache->IsBan(peerId);
}

size_t HX_ContactsManager::GetLocalBanList(std::list<std::string>& list) const {
  for (const std::string& id : cache->GetBans()) list.push_back(id);
  return list.size();
}
