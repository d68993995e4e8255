#pragma once
// The contacts subsystem's services and stores as the client object creates them: the presence
// service "PRESENCE", the address-book service "ABOOK" (core/contacts/addressbook/) with its
// per-user cache, the contact groups and the phone book. The presence service, the groups and the
// phone book are still the least the client needs: each records what it was asked (calls(), one
// line per call, in order) and answers what a test set (the defaults below); the presence service
// registers under its name and answers false to every message, unregistering first in its
// destructor.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow). The
// operations may be called from any thread: the record and the answers are locked or atomic.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/base/call_record.h"
#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/cache/address_book_cache.h"
#include "core/contacts/names/call_id_parser.h"
#include "core/contacts/stores/status_storage.h"

class HX_Container;

class HX_PresenceManager : public HX_AbstractManager {
 public:
  HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_PresenceManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;

  // Sends the own status while the transport session is in state 5 (true then); with `store` the
  // shared state keeps it as the own status. Recorded as "UpdateStatus <status> <ext> <store>"
  // (ext: "null" or "ext").
  virtual bool UpdateStatus(int32_t status, const HX_Container* extended, bool store);

  const hx::CallRecord& calls() const { return m_calls; }
  hx::CallRecord& calls() { return m_calls; }

 private:
  hx::CallRecord m_calls;
};

// The contact groups of the user, kept in a per-user database.
class HX_GroupsManager {
 public:
  HX_GroupsManager() = default;
  virtual ~HX_GroupsManager() = default;
  HX_GroupsManager(const HX_GroupsManager&) = delete;
  HX_GroupsManager& operator=(const HX_GroupsManager&) = delete;

  virtual void OpenDatabase(const char* user, const char* dir) { m_calls.Record("OpenDatabase", user, dir); }
  virtual void Reset() { m_calls.Record("Reset"); }
  virtual void UpdateCache() { m_calls.Record("UpdateCache"); }
  virtual void AddToDB(int32_t id, const char* name, int32_t type, const char* text) {
    m_calls.Record("AddToDB", id, name, type, text);
  }
  virtual void DelFromDB(int32_t id, const char* name) { m_calls.Record("DelFromDB", id, name); }

  const hx::CallRecord& calls() const { return m_calls; }

 private:
  hx::CallRecord m_calls;
};

// The phone book of the user, kept in a per-user database.
class HX_PhonesStorage {
 public:
  HX_PhonesStorage() = default;
  virtual ~HX_PhonesStorage() = default;
  HX_PhonesStorage(const HX_PhonesStorage&) = delete;
  HX_PhonesStorage& operator=(const HX_PhonesStorage&) = delete;

  virtual void OpenDatabase(const char* user, const char* dir) { m_calls.Record("OpenDatabase", user, dir); }
  virtual void Reset() { m_calls.Record("Reset"); }
  virtual void SetPhone(const char* peer, const char* text1, const char* text2, PhoneType type, bool flag) {
    m_calls.Record("SetPhone", peer, text1, text2, type, flag);
  }

  const hx::CallRecord& calls() const { return m_calls; }

 private:
  hx::CallRecord m_calls;
};
