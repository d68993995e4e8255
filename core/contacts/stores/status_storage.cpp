#include "core/contacts/stores/status_storage.h"

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"
#include "core/wire/name_hash.h"

namespace {

unsigned char Fold(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

const uint32_t kCauseHash = hx::NameHash("Cause");
const uint32_t kDelExtStHash = hx::NameHash("DelExtSt");

}  // namespace

bool HX_StatusStorage::ci_less::operator()(const std::string& a, const std::string& b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = Fold(a[i]);
    const unsigned char y = Fold(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

bool HX_StatusStorage::SetStatus(const char* user, int32_t status) {
  if (user == nullptr) return false;
  HXAutoLock hold(m_statusLock);
  const auto value = static_cast<HX_UserPresence_Status>(status);
  const auto [where, inserted] = m_statuses.emplace(user, value);
  if (inserted) return true;
  if (where->second == value) return false;
  where->second = value;
  return true;
}

HX_UserPresence_Status HX_StatusStorage::GetStatus(const char* user) const {
  if (user == nullptr) return USER_STATUS_UNDEF;
  HXAutoLock hold(m_statusLock);
  const auto found = m_statuses.find(user);
  return found == m_statuses.end() ? USER_STATUS_UNDEF : found->second;
}

void HX_StatusStorage::EraseStatus(const char* user) {
  if (user == nullptr) return;
  HXAutoLock hold(m_statusLock);
  m_statuses.erase(user);
}

void HX_StatusStorage::ClearStatusHolder() {
  HXAutoLock hold(m_statusLock);
  m_statuses.clear();
  m_subscribed.store(false);
}

void HX_StatusStorage::ClearExtStatusHolder() {
  HXAutoLock hold(m_statusLock);
  m_extStatuses.clear();
}

bool HX_StatusStorage::filterSubscriptionRequest(std::set<std::string>& ids, bool full) const {
  HXAutoLock hold(m_statusLock);
  if (!m_subscribed.load()) return true;
  if (full) {
    for (const auto& entry : m_statuses) {
      if (ids.count(entry.first) == 0) return true;
    }
  }
  for (auto it = ids.begin(); it != ids.end();) {
    it = m_statuses.count(*it) ? ids.erase(it) : std::next(it);
  }
  return false;
}

void HX_StatusStorage::ParseExtStatus(const char* user, const HX_Container* container) {
  if (user == nullptr || container == nullptr || container->IsEmpty()) return;
  HXAutoLock hold(m_statusLock);
  int32_t cause = 0;
  size_t size = sizeof cause;
  if (!container->GetValue("Cause", HX_CNT_INTEGER_VT, &cause, size)) cause = 0;
  if (cause != 0) m_extStatuses[user].clear();
  container->Reset();
  while (container->Next()) {
    const char* name = container->GetName();
    if (name == nullptr || name[0] == '\0') continue;
    const uint32_t hash = hx::NameHash(name);
    if (hash == kCauseHash || hash == kDelExtStHash) continue;
    m_extStatuses[user][name] = HX_ExtStatusValue(container);
  }
  container->Reset();
  while (container->Next()) {
    const char* name = container->GetName();
    if (name == nullptr || std::strcmp(name, "DelExtSt") != 0) continue;
    if (container->GetType() != HX_CNT_STRING_VT) continue;
    m_extStatuses[user].erase(container->GetStrValue());
  }
  container->Reset();
}

bool HX_StatusStorage::GetExtStatusMap(const char* user, ExtStatusMap& out) const {
  if (user == nullptr) return false;
  HXAutoLock hold(m_statusLock);
  const auto found = m_extStatuses.find(user);
  if (found == m_extStatuses.end()) return false;
  out = found->second;
  return true;
}

const HX_Variant* HX_StatusStorage::FindNL(const char* user, const char* name) const {
  if (user == nullptr || name == nullptr) return nullptr;
  const auto found = m_extStatuses.find(user);
  if (found == m_extStatuses.end()) return nullptr;
  const auto value = found->second.find(name);
  return value == found->second.end() ? nullptr : &value->second;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, HX_Variant& out) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  out = *value;
  return true;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, bool& out) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  out = value->getBool();
  return true;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, int& out) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  out = value->getInt();
  return true;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, long long& out) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  out = value->getInt64();
  return true;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, std::string& out) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  out = value->getTag() == HX_Variant::kString ? value->getString() : std::string();
  return true;
}

bool HX_StatusStorage::GetExtStatus(const char* user, const char* name, void*& out,
                                    size_t& size) const {
  HXAutoLock hold(m_statusLock);
  const HX_Variant* value = FindNL(user, name);
  if (value == nullptr) return false;
  value->GetValue(out, size);
  return true;
}

void HX_StatusStorage::SetExtStatusMap(const char* user, const ExtStatusMap& values) {
  if (user == nullptr) return;
  HXAutoLock hold(m_statusLock);
  const auto found = m_extStatuses.find(user);
  if (found == m_extStatuses.end()) return;
  for (const auto& [name, value] : values) found->second[name] = value;
}

void HX_StatusStorage::SetExtStatus(const char* user, const char* name, const HX_Variant& value) {
  if (user == nullptr || name == nullptr) return;
  HXAutoLock hold(m_statusLock);
  const auto found = m_extStatuses.find(user);
  if (found == m_extStatuses.end()) return;
  found->second[name] = value;
}

void HX_StatusStorage::SetExtStatus(const char* user, const char* name, bool value) {
  SetExtStatus(user, name, HX_ExtStatusValue(value));
}
void HX_StatusStorage::SetExtStatus(const char* user, const char* name, int value) {
  SetExtStatus(user, name, HX_ExtStatusValue(value));
}
void HX_StatusStorage::SetExtStatus(const char* user, const char* name, long long value) {
  SetExtStatus(user, name, HX_ExtStatusValue(value));
}
void HX_StatusStorage::SetExtStatus(const char* user, const char* name, const std::string& value) {
  SetExtStatus(user, name, HX_ExtStatusValue(value));
}
void HX_StatusStorage::SetExtStatus(const char* user, const char* name, const void* bytes,
                                    size_t size) {
  SetExtStatus(user, name, HX_ExtStatusValue(bytes, size));
}

void HX_StatusStorage::EraseExtStatus(const char* user, const char* name) {
  if (user == nullptr || name == nullptr) return;
  HXAutoLock hold(m_statusLock);
  const auto found = m_extStatuses.find(user);
  if (found != m_extStatuses.end()) found->second.erase(name);
}

void HX_StatusStorage::EraseExtStatus(const char* user, const std::vector<std::string>& names) {
  if (user == nullptr) return;
  HXAutoLock hold(m_statusLock);
  const auto found = m_extStatuses.find(user);
  if (found == m_extStatuses.end()) return;
  for (const std::string& name : names) found->second.erase(name);
}

size_t HX_StatusStorage::StatusCount() const {
  HXAutoLock hold(m_statusLock);
  return m_statuses.size();
}

size_t HX_StatusStorage::ExtStatusCount() const {
  HXAutoLock hold(m_statusLock);
  return m_extStatuses.size();
}

void HX_LStatusStorage::DropLStatusList() {
  HXAutoLock hold(*this);
  m_lstatuses.clear();
}

void HX_LStatusStorage::PushLStatus(const char* user, HX_LStatus status) {
  if (user == nullptr) return;
  HXAutoLock hold(*this);
  m_lstatuses.emplace(user, status);
}

std::map<std::string, HX_LStatus> HX_LStatusStorage::GetLStatusList() const {
  HXAutoLock hold(const_cast<HX_LStatusStorage&>(*this));
  return m_lstatuses;
}
