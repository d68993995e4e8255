#include "core/contacts/stores/contact_storage.h"

#include <cstring>
#include <utility>

#include "core/base/utf8.h"
#include "core/base/utf8_case.h"
#include "core/wire/name_hash.h"

std::string HX_ContactStorage::FoldedKey(const std::string& peerId) {
  std::string key;
  key.reserve(peerId.size() * 4 + 1);
  key.push_back('v');
  const char* bytes = peerId.data();
  size_t left = peerId.size();
  while (left > 0) {
    uint32_t code = 0;
    const int32_t used = utf8tow(bytes, left, &code);
    if (used <= 0) return "x" + peerId;  // not UTF-8: only the same bytes are equal
    bytes += used;
    left -= static_cast<size_t>(used);
    code = wlc(code);
    for (int shift = 24; shift >= 0; shift -= 8) key.push_back(static_cast<char>(code >> shift));
  }
  return key;
}

const HX_ContactStorage::ContactSet& HX_ContactStorage::LockContactList() {
  Lock();
  return contacts;
}

void HX_ContactStorage::UnlockContactList() { Unlock(); }

size_t HX_ContactStorage::getContactListFiltered(
    ContactSet& out, const std::function<bool(const hx::Contact&)>& keep) {
  HXAutoLock hold(*this);
  size_t added = 0;
  for (const hx::Contact& contact : contacts) {
    if (keep(contact) && out.insert(contact).second) ++added;
  }
  return added;
}

uint32_t HX_ContactStorage::CalcContactHash(const hx::Contact& contact) {
  return hx::NameHash(contact.peerId.c_str()) + hx::NameHash(contact.displayName.c_str()) +
         contact.flags;
}

void HX_ContactStorage::PublishHashNL() {
  contactsHash.store(m_hashSum, std::memory_order_release);
}

void HX_ContactStorage::InsertNL(hx::Contact contact, std::string key) {
  m_hashSum += CalcContactHash(contact);
  const auto where = contacts.insert(std::move(contact)).first;
  m_index[std::move(key)] = where;
}

// The set's node is taken out, changed and put back, so that the contact's texts are neither
// copied nor reallocated; the index entry follows the node.
template <typename Change>
void HX_ContactStorage::ChangeNL(Index::iterator entry, bool rehash, Change change) {
  auto node = contacts.extract(entry->second);
  hx::Contact& contact = node.value();
  if (rehash) m_hashSum -= CalcContactHash(contact);
  change(contact);
  if (rehash) m_hashSum += CalcContactHash(contact);
  entry->second = contacts.insert(std::move(node)).position;
}

HX_ContactStorage::ContactSet::const_iterator HX_ContactStorage::SearchContact(
    const char* peerId) const {
  if (peerId == nullptr) return contacts.end();
  HXAutoLock hold(const_cast<HX_ContactStorage&>(*this));
  const auto found = m_index.find(FoldedKey(peerId));
  return found == m_index.end() ? contacts.end() : found->second;
}

hx::Contact HX_ContactStorage::PushContact(const char* /*user*/, const char* peerId,
                                           const char* displayName, HX_UserPresence_Status status,
                                           uint32_t flags) {
  HXAutoLock hold(*this);
  const char* id = peerId ? peerId : "";
  std::string key = FoldedKey(id);
  const auto entry = m_index.find(key);
  if (entry == m_index.end()) {
    hx::Contact contact(id, displayName ? displayName : id,
                        status == USER_STATUS_UNDEF ? USER_LOGOFF : status, flags);
    InsertNL(contact, std::move(key));
    PublishHashNL();
    return contact;
  }
  ChangeNL(entry, true, [&](hx::Contact& contact) {
    if (displayName) contact.displayName = displayName;
    if (status != USER_STATUS_UNDEF) contact.status = status;
    contact.flags = flags;
  });
  PublishHashNL();
  return *entry->second;
}

void HX_ContactStorage::DropContact(const char* peerId) {
  if (peerId == nullptr) return;
  HXAutoLock hold(*this);
  const auto entry = m_index.find(FoldedKey(peerId));
  if (entry == m_index.end()) return;
  m_hashSum -= CalcContactHash(*entry->second);
  contacts.erase(entry->second);
  m_index.erase(entry);
  PublishHashNL();
}

void HX_ContactStorage::DropContactList() {
  HXAutoLock hold(*this);
  contacts.clear();
  m_index.clear();
  m_hashSum = 0;
  PublishHashNL();
}

void HX_ContactStorage::SetDisplayName(const char* peerId, const char* displayName) {
  if (displayName == nullptr || peerId == nullptr) return;
  HXAutoLock hold(*this);
  const auto entry = m_index.find(FoldedKey(peerId));
  if (entry == m_index.end()) return;
  ChangeNL(entry, true, [&](hx::Contact& contact) { contact.displayName = displayName; });
  PublishHashNL();
}

std::optional<std::string> HX_ContactStorage::GetDisplayName(
    const char* peerId, hx::DisplayName::ReturnValue ifMissing) const {
  {
    HXAutoLock hold(const_cast<HX_ContactStorage&>(*this));
    const auto found = SearchContact(peerId);
    if (found != contacts.end()) return found->displayName;
  }
  switch (ifMissing) {
    case hx::DisplayName::kReturnCallId:
      if (peerId == nullptr) return std::nullopt;
      return std::string(peerId);
    case hx::DisplayName::kReturnEmpty:
      return std::string();
    default:
      return std::nullopt;
  }
}

void HX_ContactStorage::setContactsAllStatus(HX_UserPresence_Status status) {
  HXAutoLock hold(*this);
  ContactSet changed;
  for (const hx::Contact& contact : contacts) changed.emplace_hint(changed.end(), contact, status);
  contacts.swap(changed);
  m_index.clear();
  for (auto it = contacts.begin(); it != contacts.end(); ++it) m_index[FoldedKey(it->peerId)] = it;
}

void HX_ContactStorage::setContactList(const ContactSet& list) {
  HXAutoLock hold(*this);
  contacts.clear();
  m_index.clear();
  m_hashSum = 0;
  for (const hx::Contact& contact : list) {
    std::string key = FoldedKey(contact.peerId);
    if (m_index.count(key) == 0) InsertNL(contact, std::move(key));
  }
  PublishHashNL();
}

bool HX_ContactStorage::IsPeerExists(const char* peerId) const {
  HXAutoLock hold(const_cast<HX_ContactStorage&>(*this));
  return SearchContact(peerId) != contacts.end();
}

void HX_ContactStorage::updateContactStatus(const char* peerId, HX_UserPresence_Status status) {
  if (peerId == nullptr) return;
  HXAutoLock hold(*this);
  const auto entry = m_index.find(FoldedKey(peerId));
  if (entry == m_index.end()) return;
  // The status is not part of the hash.
  ChangeNL(entry, false, [&](hx::Contact& contact) { contact.status = status; });
}
