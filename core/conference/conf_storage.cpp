#include "core/conference/conf_storage.h"

void HX_ConfStorage::setActiveConference(const conference::ActiveConferenceInfo& info) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_active = info;
  m_lastSid = info.sid;
}

void HX_ConfStorage::clearActiveConference() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_active.reset();
}

std::optional<conference::ActiveConferenceInfo> HX_ConfStorage::activeConference() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_active;
}

HX_Conference_Type HX_ConfStorage::currConferenceType() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_active ? m_active->type : -1;
}

std::string HX_ConfStorage::lastConferenceSID() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_lastSid;
}

void HX_ConfStorage::addListener(const std::shared_ptr<hx::ConfStorageListener>& listener) {
  if (!listener) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& known : m_listeners) {
    if (known.lock() == listener) return;
  }
  m_listeners.push_back(listener);
}

std::vector<std::shared_ptr<hx::ConfStorageListener>> HX_ConfStorage::listeners() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::shared_ptr<hx::ConfStorageListener>> result;
  for (const auto& known : m_listeners) {
    if (auto live = known.lock()) result.push_back(std::move(live));
  }
  return result;
}
