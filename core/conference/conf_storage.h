#pragma once
// HX_ConfStorage: the conference store, as far as the client core needs it so far: the active
// conference's record, the type of the current conference and the SID of the last conference.
// The conference subsystem grows it into the full store.
//
// Thread safety: every operation takes the store's lock; the active conference is handed out as
// a copy taken under it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/conference/active_conference.h"
#include "core/net/address/if_addr_set.h"
#include "core/wire/endpoint_record.h"

namespace hx {

// Told the numbers of conferences in each state whenever they change.
class ConfStorageListener {
 public:
  virtual ~ConfStorageListener() = default;
  virtual void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) = 0;
};

}  // namespace hx

class HX_ConfStorage {
 public:
  HX_ConfStorage() = default;
  HX_ConfStorage(const HX_ConfStorage&) = delete;
  HX_ConfStorage& operator=(const HX_ConfStorage&) = delete;

  // Makes `info` the active conference (its type becomes the current type, its SID the last SID).
  void setActiveConference(const conference::ActiveConferenceInfo& info);
  // Drops the active conference; the last SID stays.
  void clearActiveConference();
  // A copy of the active conference, or nothing.
  std::optional<conference::ActiveConferenceInfo> activeConference() const;

  // The type of the current conference, -1 without one.
  HX_Conference_Type currConferenceType() const;
  std::string lastConferenceSID() const;

  // Registers a conference-count listener; the store keeps it only weakly, so a listener that
  // is gone is skipped. The same listener again is not added twice.
  void addListener(const std::shared_ptr<hx::ConfStorageListener>& listener);
  // The listeners that still live, in registration order.
  std::vector<std::shared_ptr<hx::ConfStorageListener>> listeners() const;

  // --- Conference counts and the transport's notices. The store keeps no conferences of its own
  // yet: the counts are set through setConfCounts (which tells every listener, outside the lock,
  // as a change of the real store will), and the transport's notices are recorded.
  void getConfCounts(uint32_t& requested, uint32_t& joined, uint32_t& deleted) const;
  void setConfCounts(uint32_t requested, uint32_t joined, uint32_t deleted);
  // Closes every conference: the counts become 0 and the listeners are told.
  void closeAllConferences();
  // The network mode changed, with the interface addresses now known.
  void setNetworkType(int32_t mode, const HXIpIfAddrSet& addresses);
  // The media endpoints of a server (from its endpoint list).
  void updateServerMediaEPList(const std::string& serverId, const HX_TransportEndpointList& endpoints);
  // What the transport told the store so far.
  struct TransportNotices {
    uint32_t closeAll = 0;
    std::vector<int32_t> networkModes;
    std::vector<std::string> mediaEpServers;
  };
  TransportNotices transportNotices() const;

 private:
  void notifyCounts(uint32_t requested, uint32_t joined, uint32_t deleted);

  std::vector<std::weak_ptr<hx::ConfStorageListener>> m_listeners;
  mutable std::mutex m_mutex;
  std::optional<conference::ActiveConferenceInfo> m_active;
  std::string m_lastSid;
  uint32_t m_requested = 0;
  uint32_t m_joined = 0;
  uint32_t m_deleted = 0;
  TransportNotices m_notices;
};
