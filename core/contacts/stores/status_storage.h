#pragma once
// HX_StatusStorage: what presence knows about other users: each user's presence status, each
// user's extended statuses (named values), and whether the presence subscription is in force.
// User ids are keyed without regard to ASCII letter case; status names exactly.
// HX_LStatusStorage: the user-set statuses of the address book's L-status list, by exact id.
//
// Thread safety: each store has its own lock, taken by every operation for its whole duration;
// the subscribed flag is atomic. Nothing is called out of a store while its lock is held.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/base/variant.h"
#include "core/contacts/stores/contact.h"

class HX_Container;

// A user-set status; the values are the server's and are stored unchanged.
enum HX_LStatus : int32_t {};

// An extended-status value as built; stored in the maps as a plain HX_Variant.
class HX_ExtStatusValue : public HX_Variant {
 public:
  using HX_Variant::HX_Variant;
  ~HX_ExtStatusValue() override = default;
};

class HX_StatusStorage {
 public:
  // Byte order after lower-casing ASCII letters; the shorter of two prefixes first.
  struct ci_less {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using ExtStatusMap = std::map<std::string, HX_Variant>;

  // The status of a user whose presence is not known.
  static constexpr int32_t kUnknownStatus = USER_STATUS_UNDEF;

  HX_StatusStorage() = default;
  HX_StatusStorage(const HX_StatusStorage&) = delete;
  HX_StatusStorage& operator=(const HX_StatusStorage&) = delete;

  // Null user: false. New user or changed status: stores it, true. Same status: false.
  bool SetStatus(const char* user, int32_t status);
  // The stored status; -127 for an unknown or null user.
  HX_UserPresence_Status GetStatus(const char* user) const;
  void EraseStatus(const char* user);
  // Empties the status map and clears the subscribed flag; extended statuses stay.
  void ClearStatusHolder();
  void ClearExtStatusHolder();
  void setStatusSubscription() { m_subscribed.store(true); }
  bool getStatusSubscription() const { return m_subscribed.load(); }
  // True (ids untouched) when everything must be subscribed: not subscribed yet, or `full` and
  // a stored user missing from `ids`. Otherwise removes every id with a stored status (ignoring
  // case) and answers false.
  bool filterSubscriptionRequest(std::set<std::string>& ids, bool full) const;
  // Applies a received extended-status container (creates the user's entry): "Cause" other than
  // 0 replaces everything known; every named entry sets a value; every "DelExtSt" string removes
  // the name it gives, after all settings.
  void ParseExtStatus(const char* user, const HX_Container* container);

  // The operations below do nothing (reads answer false) for a user without an entry.
  bool GetExtStatusMap(const char* user, ExtStatusMap& out) const;
  bool GetExtStatus(const char* user, const char* name, HX_Variant& out) const;
  bool GetExtStatus(const char* user, const char* name, bool& out) const;
  bool GetExtStatus(const char* user, const char* name, int& out) const;
  bool GetExtStatus(const char* user, const char* name, long long& out) const;
  // The stored string, or "" when the value is not a string (true in both cases).
  bool GetExtStatus(const char* user, const char* name, std::string& out) const;
  // A malloc'ed copy of a non-empty binary that the caller frees; else null and 0 (true).
  bool GetExtStatus(const char* user, const char* name, void*& out, size_t& size) const;
  void SetExtStatusMap(const char* user, const ExtStatusMap& values);
  void SetExtStatus(const char* user, const char* name, const HX_Variant& value);
  void SetExtStatus(const char* user, const char* name, bool value);
  void SetExtStatus(const char* user, const char* name, int value);
  void SetExtStatus(const char* user, const char* name, long long value);
  void SetExtStatus(const char* user, const char* name, const std::string& value);
  void SetExtStatus(const char* user, const char* name, const void* bytes, size_t size);
  void EraseExtStatus(const char* user, const char* name);
  void EraseExtStatus(const char* user, const std::vector<std::string>& names);

  size_t StatusCount() const;
  size_t ExtStatusCount() const;

 protected:
  ~HX_StatusStorage() = default;

 private:
  const HX_Variant* FindNL(const char* user, const char* name) const;

  std::map<std::string, ExtStatusMap, ci_less> m_extStatuses;
  std::atomic<bool> m_subscribed{false};
  mutable HXLock m_statusLock;
  std::map<std::string, HX_UserPresence_Status, ci_less> m_statuses;
};

class HX_LStatusStorage : public HXMultiLock<5> {
 public:
  HX_LStatusStorage() = default;
  ~HX_LStatusStorage() override = default;

  void DropLStatusList();
  // An id already present keeps its value; a null id does nothing.
  void PushLStatus(const char* user, HX_LStatus status);
  std::map<std::string, HX_LStatus> GetLStatusList() const;

 private:
  std::map<std::string, HX_LStatus> m_lstatuses;
};
