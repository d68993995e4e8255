#pragma once
// The contacts subsystem's services and stores as the client object creates them: the presence
// service "PRESENCE", the address-book service "ABOOK" with its per-user cache, the contact
// groups and the phone book. So far each service registers under its name, carries the signals
// the client object connects, and answers false to every message; the stores open nothing yet.
// Their own work grows them. Each service's destructor unregisters first.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow).

#include <cstdint>
#include <memory>
#include <string>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"

class HX_PresenceManager : public HX_AbstractManager {
 public:
  HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_PresenceManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
};

// The per-user address-book cache database.
class HX_GrossBuchCache {
 public:
  HX_GrossBuchCache() = default;
  virtual ~HX_GrossBuchCache() = default;
  HX_GrossBuchCache(const HX_GrossBuchCache&) = delete;
  HX_GrossBuchCache& operator=(const HX_GrossBuchCache&) = delete;
};

class HX_ContactsManager : public HX_AbstractManager {
 public:
  HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                     std::shared_ptr<HX_GrossBuchCache> cache);
  ~HX_ContactsManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
  const std::shared_ptr<HX_GrossBuchCache>& contactCache() const { return m_cache; }

  hx::Signal3<const char*, const char*, const char*> searchBeginSignal;
  hx::Signal2<const char*, const char*> searchResultSignal;
  hx::Signal0<void> searchEndSignal;
  hx::Signal0<void> statusListBeginSignal;
  hx::Signal0<void> statusListEndSignal;
  hx::Signal2<const char*, int32_t> statusArrivedSignal;
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
  hx::Signal5<const char*, const char*, const char*, int32_t, bool> phoneArrivedSignal;

 private:
  std::shared_ptr<HX_GrossBuchCache> m_cache;
};

class HX_GroupsManager {
 public:
  HX_GroupsManager() = default;
  virtual ~HX_GroupsManager() = default;
  HX_GroupsManager(const HX_GroupsManager&) = delete;
  HX_GroupsManager& operator=(const HX_GroupsManager&) = delete;
};

class HX_PhonesStorage {
 public:
  HX_PhonesStorage() = default;
  virtual ~HX_PhonesStorage() = default;
  HX_PhonesStorage(const HX_PhonesStorage&) = delete;
  HX_PhonesStorage& operator=(const HX_PhonesStorage&) = delete;
};
