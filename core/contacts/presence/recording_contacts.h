#pragma once
// An address-book manager for tests of the services that feed its name cache: it keeps no cache
// and records each name-cache update as "OnUpdatePeerIdCache <id> <name> <flag>" instead.

#include <memory>

#include "core/base/call_record.h"
#include "core/contacts/addressbook/contacts_manager.h"

namespace hx::testing {

class RecordingContacts : public HX_ContactsManager {
 public:
  RecordingContacts(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
      : HX_ContactsManager(std::move(transport), fsm, nullptr) {}
  void OnUpdatePeerIdCache(const char* id, const char* name, bool flag) override {
    m_calls.Record("OnUpdatePeerIdCache", id, name, flag);
  }
  hx::CallRecord& calls() { return m_calls; }

 private:
  hx::CallRecord m_calls;
};

}  // namespace hx::testing
