#include "core/contacts/phones/phones_storage.h"

#include <cppdb/errors.h>

#include "core/base/ios_log.h"

namespace {

const char* Presence(const char* text) { return text != nullptr ? "valid" : "null"; }

}  // namespace

HX_PhonesStorage::HX_PhonesStorage() : m_phonesDB(std::make_unique<HX_PhonesDB>()) {}

HX_PhonesStorage::~HX_PhonesStorage() = default;

bool HX_PhonesStorage::OpenDatabase(const char* peerId, const char* dir) {
  try {
    return m_phonesDB->OpenDatabase(peerId, dir, HXDBBase::ReadWriteOrRecreate);
  } catch (const cppdb::cppdb_error&) {
    // The recreation itself failed (an unwritable folder, a full disk): the file is unusable.
    return false;
  }
}

bool HX_PhonesStorage::SetPhone(const char* phoneId, const char* peerId, const char* phone, PhoneType type,
                                bool editable) {
  if (phoneId == nullptr || peerId == nullptr || phone == nullptr) {
    ios_log("%s %s %s", Presence(phoneId), Presence(peerId), Presence(phone));
    // An entry without a key or a number could not be found or shown again.
    return false;
  }
  HXAutoLock hold(*this);
  const auto [first, last] = m_phones.equal_range(peerId);
  for (auto it = first; it != last; ++it) {
    if (it->second.m_phoneId == phoneId) {
      m_phones.erase(it);
      break;
    }
  }
  m_phones.emplace(peerId, HX_PhonesDB::Description(phoneId, peerId, phone, type, editable));
  return m_phonesDB->SetPhone(phoneId, peerId, phone, type, editable);
}

bool HX_PhonesStorage::DelPhone(const char* phoneId, const char* peerId) {
  if (phoneId == nullptr) return false;
  HXAutoLock hold(*this);
  if (peerId != nullptr) {
    const auto [first, last] = m_phones.equal_range(peerId);
    for (auto it = first; it != last; ++it) {
      if (it->second.m_phoneId == phoneId) {
        m_phones.erase(it);
        break;
      }
    }
  }
  return m_phonesDB->DelPhone(phoneId);
}

HX_PhonesDB::DescriptionSet HX_PhonesStorage::GetPhoneList(const char* peerId) {
  HX_PhonesDB::DescriptionSet phones;
  if (peerId == nullptr) return phones;
  HXAutoLock hold(*this);
  const auto [first, last] = m_phones.equal_range(peerId);
  for (auto it = first; it != last; ++it) phones.insert(it->second);
  if (!phones.empty()) return phones;
  phones = m_phonesDB->GetPhoneList(peerId);
  for (const HX_PhonesDB::Description& entry : phones) m_phones.emplace(peerId, entry);
  return phones;
}

HX_PhonesStorage::PhonesMap HX_PhonesStorage::GetPhonesList() {
  HXAutoLock hold(*this);
  return m_phones;
}

HX_PhonesDB::Description HX_PhonesStorage::GetPhoneDescription(const char* peerId, const char* phoneId) {
  HXAutoLock hold(*this);
  HX_PhonesDB::Description entry = m_phonesDB->GetPhoneDescription(phoneId);
  if (entry.IsEmpty()) UpdatePhoneList(peerId);
  return entry;
}

bool HX_PhonesStorage::UpdatePhoneList(const char* peerId) {
  if (peerId == nullptr) return false;
  HXAutoLock hold(*this);
  const HX_PhonesDB::DescriptionSet phones = m_phonesDB->GetPhoneList(peerId);
  for (const HX_PhonesDB::Description& entry : phones) m_phones.emplace(peerId, entry);
  return !phones.empty();
}

bool HX_PhonesStorage::Reset() {
  HXAutoLock hold(*this);
  m_phones.clear();
  try {
    return m_phonesDB->Reset();
  } catch (const cppdb::cppdb_error&) {
    // Reset runs on the thread that parses address-book answers, where nothing would catch it.
    return false;
  }
}
