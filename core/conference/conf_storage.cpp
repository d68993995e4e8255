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

void HX_ConfStorage::getConfCounts(uint32_t& requested, uint32_t& joined, uint32_t& deleted) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  requested = m_requested;
  joined = m_joined;
  deleted = m_deleted;
}

void HX_ConfStorage::setConfCounts(uint32_t requested, uint32_t joined, uint32_t deleted) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requested = requested;
    m_joined = joined;
    m_deleted = deleted;
  }
  notifyCounts(requested, joined, deleted);
}

void HX_ConfStorage::closeAllConferences() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_notices.closeAll;
    m_requested = 0;
    m_joined = 0;
    m_deleted = 0;
  }
  notifyCounts(0, 0, 0);
}

void HX_ConfStorage::setNetworkType(int32_t mode, const HXIpIfAddrSet&) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_notices.networkModes.push_back(mode);
}

void HX_ConfStorage::updateServerMediaEPList(const std::string& serverId, const HX_TransportEndpointList&) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_notices.mediaEpServers.push_back(serverId);
}

HX_ConfStorage::TransportNotices HX_ConfStorage::transportNotices() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_notices;
}

void HX_ConfStorage::notifyCounts(uint32_t requested, uint32_t joined, uint32_t deleted) {
  for (const auto& listener : listeners()) listener->onConfCountChange(requested, joined, deleted);
}
