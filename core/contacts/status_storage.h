#pragma once
// HX_StatusStorage: the in-memory presence store of the signed-in user's contacts: each user's
// presence status, each user's extended status, and whether the statuses are subscribed on the
// server. It is a base of the shared client state (HXFSMShared); the transport session empties it
// when the signed-in user or domain changes, so statuses of one account never show under another.
//
// Thread-safe: every operation takes the store's own lock.

#include <cstdint>
#include <map>
#include <string>

#include "core/base/lock.h"

class HX_StatusStorage {
 public:
  // The status of a user whose presence is not known.
  static constexpr int32_t kUnknownStatus = -127;

  HX_StatusStorage() = default;
  virtual ~HX_StatusStorage() = default;
  HX_StatusStorage(const HX_StatusStorage&) = delete;
  HX_StatusStorage& operator=(const HX_StatusStorage&) = delete;

  void SetStatus(const std::string& user, int32_t status);
  // The user's status, or kUnknownStatus.
  int32_t GetStatus(const std::string& user) const;
  void SetExtStatus(const std::string& user, const std::string& status);
  // The user's extended status, or "" when none is stored.
  std::string GetExtStatus(const std::string& user) const;
  void SetStatusesSubscribed(bool subscribed);
  bool AreStatusesSubscribed() const;
  size_t StatusCount() const;
  size_t ExtStatusCount() const;

  // Empties the map of presence statuses and clears the subscribed flag.
  void ClearStatusHolder();
  // Empties the map of extended statuses.
  void ClearExtStatusHolder();

 private:
  mutable HXLock m_statusLock;
  std::map<std::string, int32_t> m_statuses;
  std::map<std::string, std::string> m_extStatuses;
  bool m_subscribed = false;
};
