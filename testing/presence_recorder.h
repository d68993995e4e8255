#pragma once
// A subscriber of the presence manager's signals for tests: it writes one text line per emission,
// in order, and can wait for a line. Connect takes the three signals the SDK bridge listens to
// (endPresenceListUpdate, setPeerStatus, conferencePeersUpdated); ConnectAll takes all seven.
//
// Lines: "begin <full>", "end", "status <user> <status>", "ids <id>,<id>...",
// "peers <conference> <id>,<id>...", "video <id>,<id>...", "ext <user> <name>=<value>,...".
//
// Thread safety: the lines are locked; emissions arrive on the network loop thread. Disconnect
// before the manager or the recorder goes, and never while the manager may emit.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/contacts/presence/presence_manager.h"

namespace hx::testing {

class PresenceRecorder {
 public:
  void Connect(HX_PresenceManager& manager);
  void ConnectAll(HX_PresenceManager& manager);
  void Disconnect();

  std::vector<std::string> Lines() const;
  void Clear();
  // Waits until a line equal to `line` was written; false on time-out.
  bool WaitLine(const std::string& line, int timeoutMs) const;

  void OnBegin(bool flag, bool fullList);
  void OnEnd(bool flag);
  void OnPeerStatus(const char* realId, const char* user, const char* name, HX_UserPresence_Status status,
                    int cause);
  void OnIdList(const HX_PresenceManager::PeerIdSet& ids);
  void OnPeersUpdated(int number, std::shared_ptr<::conference::ParticipantListUpdateInfo> details);
  void OnVideoTypes(const std::set<std::string>& ids);
  void OnExtStatus(const char* user, const HX_PresenceManager::ExtStatusMap& values);

 private:
  void Add(std::string line);

  HX_PresenceManager* m_manager = nullptr;
  bool m_all = false;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_lines;
};

}  // namespace hx::testing
