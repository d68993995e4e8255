#include "core/contacts/contact_managers.h"

#include "core/client/fsm_shared.h"
#include "core/client/protocol_constants.h"

bool HX_GrossBuchCache::OpenDatabase(const char* user, const char* dir) {
  m_calls.Record("OpenDatabase", user, dir);
  const bool ok = user != nullptr && *user != '\0' && m_openAnswer.load();
  m_open.store(ok);
  return ok;
}

void HX_GrossBuchCache::Close() {
  m_calls.Record("Close");
  m_open.store(false);
}

bool HX_GrossBuchCache::getDisplayName(const char* id, hx::DisplayName& name) {
  if (id == nullptr || !m_open.load()) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_names.find(id);
  if (found == m_names.end()) return false;
  name = found->second;
  return true;
}

void HX_GrossBuchCache::setCachedName(const std::string& id, const hx::DisplayName& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_names[id] = name;
}

HX_ContactsManager::HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                       std::shared_ptr<HX_GrossBuchCache> cache)
    : HX_AbstractManager(ADDRESSBOOK_SRV, std::move(transport), fsm), m_cache(std::move(cache)) {}
HX_ContactsManager::~HX_ContactsManager() { UnregisterServiceHandler(); }
bool HX_ContactsManager::ParseIncomimgMessage(HX_Container&) { return false; }

void HX_ContactsManager::UpdatePeersFromCache() { m_calls.Record("UpdatePeersFromCache"); }
void HX_ContactsManager::DisablePeersFromCache() { m_calls.Record("DisablePeersFromCache"); }
void HX_ContactsManager::resetDeferredRequests() { m_calls.Record("resetDeferredRequests"); }
void HX_ContactsManager::RequestAddressBooks(const char* ownId) { m_calls.Record("RequestAddressBooks", ownId); }

bool HX_ContactsManager::SearchAddressBook(const char* query, int32_t addressBook, uint32_t hash) {
  m_calls.Record("SearchAddressBook", query, addressBook, hash);
  return m_sendAnswer.load();
}

void HX_ContactsManager::reqPeerDetails(const char* id) { m_calls.Record("reqPeerDetails", id); }
void HX_ContactsManager::Subscribe(const char* id) { m_calls.Record("Subscribe", id); }
void HX_ContactsManager::GetUserStatus(const char* id) { m_calls.Record("GetUserStatus", id); }

bool HX_ContactsManager::FindUser(const char* callId, const char* name, const char* email) {
  m_calls.Record("FindUser", callId, name, email);
  return m_sendAnswer.load();
}

bool HX_ContactsManager::GetUserPicture(const char* id, const char* hash) {
  m_calls.Record("GetUserPicture", id, hash);
  return m_sendAnswer.load();
}

void HX_ContactsManager::OnUpdatePeerIdCache(const char* id, const char* name, bool flag) {
  m_calls.Record("OnUpdatePeerIdCache", id, name, flag);
}

bool HX_ContactsManager::IsBanned(const char* id) {
  m_calls.Record("IsBanned", id);
  return false;
}
