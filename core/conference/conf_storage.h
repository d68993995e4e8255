#pragma once
// HX_ConfStorage: the conference store, as far as the client core needs it so far: the active
// conference's record, the type of the current conference and the SID of the last conference.
// The conference subsystem grows it into the full store.
//
// Thread safety: every operation takes the store's lock; the active conference is handed out as
// a copy taken under it.

#include <mutex>
#include <optional>
#include <string>

#include "core/conference/active_conference.h"

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

 private:
  mutable std::mutex m_mutex;
  std::optional<conference::ActiveConferenceInfo> m_active;
  std::string m_lastSid;
};
