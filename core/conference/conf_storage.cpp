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
