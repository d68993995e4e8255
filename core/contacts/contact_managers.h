#pragma once
// The contacts subsystem's services as the client object creates them: the presence service
// "PRESENCE" (core/contacts/presence/), the address-book service "ABOOK" with its per-user
// cache. So far the address-book service registers under its name, carries the signals
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
#include "core/contacts/phones/phones_db.h"
#include "core/contacts/presence/presence_manager.h"
#include "core/contacts/stores/status_storage.h"

class HX_Container;

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
  // (group id, name, type, member id or null)
  hx::Signal4<int32_t, const char*, int32_t, const char*> groupArrivedSignal;
  hx::Signal2<int32_t, const char*> groupDeletedSignal;
  hx::Signal0<void> phonesBeginSignal;
  hx::Signal0<void> phonesEndSignal;
  // (peer, two texts, phone type, flag)
  hx::Signal5<const char*, const char*, const char*, PhoneType, bool> phoneArrivedSignal;

 private:
  std::shared_ptr<HX_GrossBuchCache> m_cache;
  hx::CallRecord m_calls;
  std::atomic<bool> m_sendAnswer{true};
};
