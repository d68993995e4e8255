// The client application object's view of other users: statuses, searches, details, display
// names, avatars; the relays of the contacts and file-sharing events; the benchmark record; the
// backup and restore of the databases.
#include <string>

#include "core/base/stored_task.h"
#include "core/base/wall_clock.h"
#include "core/chat/chat_managers.h"
#include "core/chat/chat_message.h"
#include "core/client/console_client.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/phones/phones_storage.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/format/sys_benchmark.h"
#include "core/storage/db_manager.h"
#include "core/storage/settings_db.h"

namespace {

// The address book that holds every user's details, and the hash of a search that has none.
constexpr int32_t kDetailsBook = 8;
constexpr uint32_t kNoHash = 0;

hx::DisplayName EmptyName() {
  return hx::DisplayName(hx::CallIdType::user, std::string(), hx::DisplayName::kSourceNone);
}

}  // namespace

// ---- contacts manager handlers

void HXConsoleClient::OnSearchBeginUpdate(const char* callId, const char* name, const char* email) {
  m_fsm->PopSearch(callId, name, email);
}

void HXConsoleClient::OnSearchResult(const char* id, const char* name) {
  m_fsm->peerNameUpdated.Emit(id, name, false);
  m_fsm->PushSearchResult(id);
}

void HXConsoleClient::OnSearchEndUpdate() { m_fsm->UnlockSearchResult(); }
void HXConsoleClient::OnLStatusBeginUpdate() { m_fsm->DropLStatusList(); }
void HXConsoleClient::OnLStatusArrived(const char* id, HX_LStatus status) { m_fsm->PushLStatus(id, status); }

void HXConsoleClient::OnAvatarArrived(const char* peer, const char* mimeType, const void* bytes, uint64_t size,
                                      int32_t hash) {
  m_fsm->SetAvatar(peer, bytes, size, hash, mimeType);
}

// The stored picture is still the current one (the hash names it): it is fresh from now on.
void HXConsoleClient::OnAvatarNotChanged(const char* peer, int32_t) {
  m_fsm->UpdateAvatarLastWriteTime(peer, hx::WallClockSeconds());
}
void HXConsoleClient::OnGroupsBeginUpdate() { m_groups->Reset(); }
void HXConsoleClient::OnGroupsEndUpdate() { m_groups->UpdateCache(); }

void HXConsoleClient::OnGroupArrived(int32_t groupId, const char* name, int32_t type, const char* peerId) {
  m_groups->AddToDB(groupId, name, type, peerId);
}

void HXConsoleClient::OnGroupDeleted(int32_t groupId, const char* peerId) { m_groups->DelFromDB(groupId, peerId); }
void HXConsoleClient::OnPhonesBeginUpdate() { m_phones->Reset(); }

void HXConsoleClient::OnPhoneArrived(const char* phoneId, const char* peerId, const char* phone, PhoneType type,
                                     bool editable) {
  m_phones->SetPhone(phoneId, peerId, phone, type, editable);
}

void HXConsoleClient::OnGetConfType(HX_Conference_Type& type) {
  type = m_confManagerPtr != nullptr ? m_confManagerPtr->confStorage()->currConferenceType() : -1;
}

// ---- peers

HX_UserPresence_Status HXConsoleClient::GetPeerStatus(const char* id, bool subscribe) {
  if (id == nullptr || m_fsm == nullptr) return USER_STATUS_UNDEF;
  const HX_UserPresence_Status status = m_fsm->GetStatus(m_fsm->GetPeerId(id, true).c_str());
  if (status != USER_STATUS_UNDEF) return status;
  if (subscribe) m_contactsManager->Subscribe(id);
  m_contactsManager->GetUserStatus(id);
  return USER_STATUS_UNDEF;
}

bool HXConsoleClient::FindUser(const char* callId, const char* name, const char* email) {
  if (m_fsm == nullptr || !m_fsm->PushSearch(callId, name, email)) return false;
  return m_contactsManager->FindUser(callId, name, email);
}

bool HXConsoleClient::GetPeerDetails(const char* id) const {
  return m_contactsManager && m_contactsManager->SearchAddressBook(id, kDetailsBook, kNoHash);
}

HX_UserDetailsStorage::Information HXConsoleClient::GetPeerDetails(const char* id, bool request) {
  if (id == nullptr || m_fsm == nullptr) return HX_UserDetailsStorage::Information();
  const std::string user(id);
  const bool missing = request && !m_fsm->IsUserDetailsExists(user);
  HX_UserDetailsStorage::Information details = m_fsm->GetUserDetails(user);
  if ((missing || details.state == 1) && getStateTrs() == eLoggedIn &&
      m_contactsManager->SearchAddressBook(id, kDetailsBook, kNoHash)) {
    m_fsm->userDetailsRequestSent(user);
  }
  return details;
}

hx::DisplayName HXConsoleClient::getDisplayName(const char* id, hx::DisplayName::UpdateValue update,
                                                const char* fallback) const {
  if (id == nullptr || m_contactsManager == nullptr) return EmptyName();
  if (update == hx::DisplayName::kUpdateSearch) m_contactsManager->SearchAddressBook(id, kDetailsBook, kNoHash);
  hx::DisplayName cached;
  if (m_contactCache && m_contactCache->getDisplayName(id, cached)) return cached;
  if (update == hx::DisplayName::kUpdateDetails) m_contactsManager->reqPeerDetails(id);
  if (fallback == nullptr) {
    hx::DisplayName made = hx::CallIdParser::dnFromCallId(id);
    if (made.m_type == hx::CallIdType::user && made.m_source == hx::DisplayName::kSourceGenerated) {
      const std::string domain = getDomain();
      made.removeDnDomain(domain.c_str());
    }
    return made;
  }
  hx::CallIdType type = hx::CallIdType::user;
  hx::CallIdParser::parseScheme(id, type);
  return hx::DisplayName(type, fallback, hx::DisplayName::kSourceFallback);
}

std::string HXConsoleClient::GetDisplayName(const char* id, hx::DisplayName::ReturnValue,
                                            hx::DisplayName::UpdateValue update, const char* fallback,
                                            bool decorated) const {
  if (id == nullptr) return std::string();
  const hx::DisplayName name = getDisplayName(id, update, fallback);
  // The decorated form puts the type's icon and a blank before the name; a type without an icon
  // (plain user ids, guests) shows the name alone rather than a leading blank.
  return decorated ? name.getDnDecorated() : name.m_dn;
}

std::string HXConsoleClient::FixDisplayName(const char* id, const char* name) const {
  if (name != nullptr && *name != '\0') return name;
  if (id == nullptr) return std::string();
  std::string fixed(id);
  const size_t slash = fixed.find('/');
  if (slash != std::string::npos) fixed.erase(slash);
  const std::string domain = getDomain();
  hx::DisplayName::removeDomain(fixed, domain.c_str());
  return fixed;
}

// ---- avatars

hx::Avatar HXConsoleClient::GetAvatar(const char* peer, bool urgent) {
  if (peer == nullptr || *peer == '\0' || m_fsm == nullptr) return hx::Avatar(peer, nullptr, 0, 0);
  // While the user database is closed nothing may be loaded from it.
  hx::Avatar avatar = m_fsm->GetAvatar(peer, !m_userDbOpen.load());
  if (avatar.isRefreshRequired()) UpdateAvatar(peer, urgent);
  return avatar;
}

bool HXConsoleClient::UpdateAvatar(const char* peer, bool urgent) {
  if (m_fsm == nullptr) return false;
  m_fsm->ScheduleAvatarTask(
      HXCallback::Save(this, &HXConsoleClient::avatarFetch, std::string(peer != nullptr ? peer : "")), !urgent);
  return true;
}

void HXConsoleClient::avatarFetch(std::string peer) { _GetAvatar(peer.c_str()); }

bool HXConsoleClient::_GetAvatar(const char* peer) {
  if (peer == nullptr || m_fsm == nullptr) return false;
  const std::string shortId = HXFSMShared::GetShortPeerId(peer);
  if (getStateTrs() != eLoggedIn) return false;
  if (!m_fsm->isAvatarRefreshRequired(shortId.c_str())) return true;
  if (!m_contactsManager->GetUserPicture(shortId.c_str(), m_fsm->GetAvatarHash(peer))) return false;
  m_fsm->SetAvatarFetchTime(peer);
  return true;
}

hx::Thumbnail HXConsoleClient::GetAvatarThumbnail(const char* peer, uint32_t width, uint32_t height) {
  if (peer == nullptr || *peer == '\0' || m_fsm == nullptr) {
    return hx::Thumbnail(nullptr, nullptr, 0, static_cast<uint64_t>(hx::WallClockSeconds()), width, height);
  }
  hx::Thumbnail thumbnail = m_fsm->GetThumbnail(peer, width, height);
  if (thumbnail.expired()) GetAvatar(peer, false);
  return thumbnail;
}

void HXConsoleClient::SetAvatarThumbnail(const char* peer, const hx::Thumbnail& thumbnail) {
  if (peer != nullptr && *peer != '\0' && m_fsm != nullptr) m_fsm->SetThumbnail(thumbnail);
}

void HXConsoleClient::CheckAvatarExpired(const char* peer) {
  if (peer != nullptr && *peer != '\0') GetAvatar(peer, false);
}

// ---- file messages

void HXConsoleClient::OnSendFileMessage(const char* peer, const char* s1, const char* s2, const char* s3,
                                        const char* s4, const char* s5, const HX_Container& attributes) {
  onFileUploaded(m_chatManager->createMessage(peer), s1, s2, s3, s4, s5, attributes);
}

void HXConsoleClient::OnSendFileGroupMessage(const char* group, const char* s1, const char* s2, const char* s3,
                                             const char* s4, const char* s5, const HX_Container& attributes) {
  onFileUploaded(m_chatManager->createGroupMessage(group), s1, s2, s3, s4, s5, attributes);
}

void HXConsoleClient::onFileUploaded(const std::shared_ptr<hx::chat::Message>& message, const char* s1, const char* s2,
                                     const char* s3, const char* s4, const char* s5, const HX_Container& attributes) {
  if (!message) return;
  hx::chat::MessageWrapper::addAttributes(*message, attributes);
  hx::chat::FileMessageWrapper::addAttributes(*message, s1, s5, s3);
  m_chatManager->SendMessage(message);
  m_chatManager->SaveUpload(message->getId(), s2, 0, s4, s5, 0, GetClientType());
  onChatFileMessageSent(message, s5);
}

void HXConsoleClient::OnSaveUpload(const char*, const char* s2, const char* s3, const char* s4) {
  if (s2 == nullptr || s3 == nullptr || s4 == nullptr) return;
  m_chatManager->SaveUpload(-1, s2, 1, s3, s4, 1, GetClientType());
}

// ---- benchmark

void HXConsoleClient::_OnSysBenchmarkComplete(const HX_SysPerformanceState& state) {
  HX_SysPerformanceState copy = state;
  _SaveSysBenchmark(copy);
  if (m_mediaFormatAdapter) m_mediaFormatAdapter->SetSysBenchmarkResult(copy);
  OnSysBenchmarkComplete(copy);
}

void HXConsoleClient::GetSysBechmarkResult() {
  if (!m_benchmark) return;
  const HX_SysPerformanceState stored = _LoadSysBenchmark();
  m_benchmark->resultSignal.Emit(stored);
  m_benchmark->Execute(stored);
}

void HXConsoleClient::UpdateSysBenchmarkResult() {
  if (!m_benchmark) return;
  m_benchmark->Execute(_LoadSysBenchmark());
}

HX_SysPerformanceState HXConsoleClient::_LoadSysBenchmark() {
  return m_fsm != nullptr ? m_fsm->LoadSysBenchmark() : HX_SysPerformanceState();
}

void HXConsoleClient::_SaveSysBenchmark(const HX_SysPerformanceState& state) {
  if (m_fsm != nullptr) m_fsm->SaveSysBenchmark(state);
}

// ---- databases

bool HXConsoleClient::dbBackup(const std::string& folder, std::vector<std::string>& files) {
  if (m_dbManager == nullptr) return false;
  const std::shared_ptr<HX_SettingsDB> settings = m_fsm != nullptr ? m_fsm->SettingsDB() : nullptr;
  return m_dbManager->backup(folder, HXFSMShared::Env()->getWorkingDirStr(), files, settings.get(),
                             m_chatManager ? m_chatManager->chatDB() : nullptr);
}

bool HXConsoleClient::dbRestore(const std::string& backupFolder, const std::string& target) {
  // Databases are restored only before they are opened.
  if (m_fsmRef || m_chatManager || m_dbManager == nullptr) return false;
  return m_dbManager->restore(target, backupFolder);
}
