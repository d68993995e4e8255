#pragma once
// HX_PresenceManager: the presence service "PRESENCE". So far it registers under its name and
// answers false to every message; UpdateStatus records what it was asked (calls(), one line per
// call) and answers whether the transport session is logged in.

#include <cstdint>
#include <memory>

#include "core/base/call_record.h"
#include "core/client/abstract_manager.h"

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
