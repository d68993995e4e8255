#include "core/contacts/status_storage.h"

void HX_StatusStorage::SetStatus(const std::string& user, int32_t status) {
  HXAutoLock guard(m_statusLock);
  m_statuses[user] = status;
}

int32_t HX_StatusStorage::GetStatus(const std::string& user) const {
  HXAutoLock guard(m_statusLock);
  auto found = m_statuses.find(user);
  return found == m_statuses.end() ? kUnknownStatus : found->second;
}

void HX_StatusStorage::SetExtStatus(const std::string& user, const std::string& status) {
  HXAutoLock guard(m_statusLock);
  m_extStatuses[user] = status;
}

std::string HX_StatusStorage::GetExtStatus(const std::string& user) const {
  HXAutoLock guard(m_statusLock);
  auto found = m_extStatuses.find(user);
  return found == m_extStatuses.end() ? std::string() : found->second;
}

void HX_StatusStorage::SetStatusesSubscribed(bool subscribed) {
  HXAutoLock guard(m_statusLock);
  m_subscribed = subscribed;
}

bool HX_StatusStorage::AreStatusesSubscribed() const {
  HXAutoLock guard(m_statusLock);
  return m_subscribed;
}

size_t HX_StatusStorage::StatusCount() const {
  HXAutoLock guard(m_statusLock);
  return m_statuses.size();
}

size_t HX_StatusStorage::ExtStatusCount() const {
  HXAutoLock guard(m_statusLock);
  return m_extStatuses.size();
}

void HX_StatusStorage::ClearStatusHolder() {
  HXAutoLock guard(m_statusLock);
  m_statuses.clear();
  m_subscribed = false;
}

void HX_StatusStorage::ClearExtStatusHolder() {
  HXAutoLock guard(m_statusLock);
  m_extStatuses.clear();
}
