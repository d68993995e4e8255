#pragma once
// The contacts subsystem's services and stores as the client object creates them: the presence
// service "PRESENCE", the address-book service "ABOOK" with its per-user cache, the contact
// groups and the phone book. So far each service registers under its name, carries the signals
// the client object connects and answers false to every message; the operations the client
// object calls are the least the client needs: each records what it was asked (calls(), one line
// per call, in order) and answers what a test set (the defaults below). Their own work grows them.
// Each service's destructor unregisters first.
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
#include "core/contacts/names/call_id_parser.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/contacts/stores/status_storage.h"

class HX_Container;

// The kind of a phone-book number, the server's value.
using PhoneType = int32_t;

// The per-user address-book cache database. The stand-in keeps the names a test put in and
// opens "a database" for any non-empty user unless told to fail.
class HX_GrossBuchCache {
 public:
  HX_GrossBuchCache() = default;
  virtual ~HX_GrossBuchCache() = default;
  HX_GrossBuchCache(const HX_GrossBuchCache&) = delete;
  HX_GrossBuchCache& operator=(const HX_GrossBuchCache&) = delete;

  // True for a non-empty user unless setOpenAnswer(false); the cache is then open for `user`.
  virtual bool OpenDatabase(const char* user, const char* dir);
  virtual void Close();
  bool IsOpen() const { return m_open.load(); }
  // The cached name of `id` (type, name, source 0); false when the cache does not know the id or
  // is closed.
  virtual bool getDisplayName(const char* id, hx::DisplayName& name);

  // Test seams: the answer of OpenDatabase and the cached names.
  void setOpenAnswer(bool ok) { m_openAnswer.store(ok); }
  void setCachedName(const std::string& id, const hx::DisplayName& name);

  const hx::CallRecord& calls() const { return m_calls; }

 private:
  hx::CallRecord m_calls;
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_openAnswer{true};
  std::mutex m_mutex;
  std::map<std::string, hx::DisplayName> m_names;
};

class HX_ContactsManager : public HX_AbstractManager {
 public:
  HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                     std::shared_ptr<HX_GrossBuchCache> cache);
  ~HX_ContactsManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
  const std::shared_ptr<HX_GrossBuchCache>& contactCache() const { return m_cache; }

  // Requests and cache operations; each is recorded by its name and arguments.
  virtual void UpdatePeersFromCache();
  virtual void DisablePeersFromCache();
  virtual void resetDeferredRequests();
  virtual void RequestAddressBooks(const char* ownId);
  // Whether the search was sent: setSendAnswer (true by default).
  virtual bool SearchAddressBook(const char* query, int32_t addressBook, uint32_t hash);
  virtual void reqPeerDetails(const char* id);
  virtual void Subscribe(const char* id);
  virtual void GetUserStatus(const char* id);
  // Whether the search was sent: setSendAnswer.
  virtual bool FindUser(const char* callId, const char* name, const char* email);
  // Whether the request was sent: setSendAnswer.
  virtual bool GetUserPicture(const char* id, const char* hash);
  virtual void OnUpdatePeerIdCache(const char* id, const char* name, bool flag);
  // Whether the user is in the cached ban list (none so far).
  virtual bool IsBanned(const char* id);

  void setSendAnswer(bool sent) { m_sendAnswer.store(sent); }
  const hx::CallRecord& calls() const { return m_calls; }
  hx::CallRecord& calls() { return m_calls; }

  hx::Signal3<const char*, const char*, const char*> searchBeginSignal;
  hx::Signal2<const char*, const char*> searchResultSignal;
  hx::Signal0<void> searchEndSignal;
  hx::Signal0<void> statusListBeginSignal;
  hx::Signal0<void> statusListEndSignal;
  hx::Signal2<const char*, HX_LStatus> statusArrivedSignal;
  // (peer, MIME type, bytes, size, hash)
  hx::Signal5<const char*, const char*, const void*, uint32_t, const char*> avatarArrivedSignal;
  // (peer, time)
  hx::Signal2<const char*, int64_t> avatarNotChangedSignal;
  hx::Signal0<void> groupsBeginSignal;
  hx::Signal0<void> groupsEndSignal;
  // (id, name, type, text)
  hx::Signal4<const char*, const char*, int32_t, const char*> groupArrivedSignal;
  hx::Signal2<const char*, const char*> groupDeletedSignal;
  hx::Signal0<void> phonesBeginSignal;
  hx::Signal0<void> phonesEndSignal;
  // (peer, two texts, phone type, flag)
  hx::Signal5<const char*, const char*, const char*, PhoneType, bool> phoneArrivedSignal;

 private:
  std::shared_ptr<HX_GrossBuchCache> m_cache;
  hx::CallRecord m_calls;
  std::atomic<bool> m_sendAnswer{true};
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
  virtual void AddToDB(const char* id, const char* name, int32_t type, const char* text) {
    m_calls.Record("AddToDB", id, name, type, text);
  }
  virtual void DelFromDB(const char* id, const char* name) { m_calls.Record("DelFromDB", id, name); }

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
