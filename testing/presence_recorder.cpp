#include "testing/presence_recorder.h"

#include <chrono>

namespace hx::testing {

namespace {

template <typename Range, typename Text>
std::string Join(const Range& range, Text text) {
  std::string out;
  for (const auto& item : range) {
    if (!out.empty()) out += ',';
    out += text(item);
  }
  return out;
}

}  // namespace

void PresenceRecorder::Connect(HX_PresenceManager& manager) {
  m_manager = &manager;
  manager.endPresenceListUpdate.Connect(this, &PresenceRecorder::OnEnd);
  manager.setPeerStatus.Connect(this, &PresenceRecorder::OnPeerStatus);
  manager.conferencePeersUpdated.Connect(this, &PresenceRecorder::OnPeersUpdated);
}

void PresenceRecorder::ConnectAll(HX_PresenceManager& manager) {
  Connect(manager);
  m_all = true;
  manager.beginPresenceListUpdate.Connect(this, &PresenceRecorder::OnBegin);
  manager.conferenceIdListChanged.Connect(this, &PresenceRecorder::OnIdList);
  manager.peersVideoTypeChanged.Connect(this, &PresenceRecorder::OnVideoTypes);
  manager.extStatusChanged.Connect(this, &PresenceRecorder::OnExtStatus);
}

void PresenceRecorder::Disconnect() {
  if (m_manager == nullptr) return;
  m_manager->endPresenceListUpdate.Disconnect(this, &PresenceRecorder::OnEnd);
  m_manager->setPeerStatus.Disconnect(this, &PresenceRecorder::OnPeerStatus);
  m_manager->conferencePeersUpdated.Disconnect(this, &PresenceRecorder::OnPeersUpdated);
  if (m_all) {
    m_manager->beginPresenceListUpdate.Disconnect(this, &PresenceRecorder::OnBegin);
    m_manager->conferenceIdListChanged.Disconnect(this, &PresenceRecorder::OnIdList);
    m_manager->peersVideoTypeChanged.Disconnect(this, &PresenceRecorder::OnVideoTypes);
    m_manager->extStatusChanged.Disconnect(this, &PresenceRecorder::OnExtStatus);
  }
  m_manager = nullptr;
  m_all = false;
}

std::vector<std::string> PresenceRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

void PresenceRecorder::Clear() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.clear();
}

bool PresenceRecorder::WaitLine(const std::string& line, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& seen : m_lines) {
      if (seen == line) return true;
    }
    return false;
  });
}

void PresenceRecorder::Add(std::string line) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
  }
  m_changed.notify_all();
}

void PresenceRecorder::OnBegin(bool, bool fullList) { Add(std::string("begin ") + (fullList ? "full" : "part")); }
void PresenceRecorder::OnEnd(bool) { Add("end"); }

void PresenceRecorder::OnPeerStatus(const char*, const char* user, const char*, HX_UserPresence_Status status,
                                    int) {
  Add("status " + std::string(user != nullptr ? user : "(null)") + " " + std::to_string(status));
}

void PresenceRecorder::OnIdList(const HX_PresenceManager::PeerIdSet& ids) {
  Add("ids " + Join(ids, [](const ::conference::PeerId& id) { return id.id; }));
}

void PresenceRecorder::OnPeersUpdated(int number,
                                      std::shared_ptr<::conference::ParticipantListUpdateInfo> details) {
  Add("peers " + std::to_string(number) + " " +
      (details ? Join(details->ids, [](const std::string& id) { return id; }) : std::string("(null)")));
}

void PresenceRecorder::OnVideoTypes(const std::set<std::string>& ids) {
  Add("video " + Join(ids, [](const std::string& id) { return id; }));
}

void PresenceRecorder::OnExtStatus(const char* user, const HX_PresenceManager::ExtStatusMap& values) {
  Add("ext " + std::string(user != nullptr ? user : "(null)") + " " +
      Join(values, [](const auto& entry) { return entry.first + "=" + entry.second.toString(); }));
}

}  // namespace hx::testing
