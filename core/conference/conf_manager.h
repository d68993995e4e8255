#pragma once
// HX_ConfManager: the conference service "CONFERENCE", as far as the client object's creation and
// wiring need it so far: it registers under the name it is given, owns the conference store, and
// carries the signals the client object wires. Messages it does not know yet answer false. The
// conference subsystem grows it.
//
// The destructor unregisters first, so that the network loop never dispatches into a manager
// being destroyed.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow).

#include <memory>
#include <string>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/conference/conf_storage.h"

class HXCpuLoad;

class HX_ConfManager : public HX_AbstractManager {
 public:
  HX_ConfManager(const char* serviceName, std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_ConfManager() override;

  bool ParseIncomimgMessage(HX_Container& message) override;

  HX_ConfStorage* confStorage() { return &m_storage; }
  const HX_ConfStorage* confStorage() const { return &m_storage; }
  // Drops every connection of every signal below.
  void ResetSignals();

  // The store's signals (conference name).
  hx::Signal1<const char*> conferenceCreated;
  hx::Signal1<const char*> conferenceDeleted;
  hx::Signal2<const char*, int> conferenceJoinResult;
  // Call-control signals; the conference subsystem gives them their full arguments.
  hx::Signal2<const char*, const char*> AcceptReceivedSignal;
  hx::Signal1<const char*> PrepareCapsSignal;
  hx::Signal2<const char*, const char*> ClientCapsReceivedSignal;
  hx::Signal2<const char*, int> RoleEventSignal;
  hx::Signal2<const char*, unsigned> RestrictBitrateSignal;
  hx::Signal2<const char*, const char*> ReqInviteReceivedSignal;
  hx::Signal2<const char*, const char*> AcceptSentSignal;
  hx::Signal2<const char*, const char*> JoinReceivedSignal;
  hx::Signal2<const char*, const char*> JoinSentSignal;
  hx::Signal2<const char*, const char*> InviteSentSignal;
  hx::Signal2<const char*, const char*> InviteToMultiSentSignal;
  hx::Signal2<const char*, const char*> InviteReceivedSignal;
  hx::Signal2<const char*, const char*> InviteToMultiReceivedSignal;
  hx::Signal2<const char*, const char*> ReqInviteSentSignal;
  hx::Signal2<const char*, const char*> RejectSentSignal;
  hx::Signal1<const char*> UpdateConnectionInfoSignal;

  void setCpuLoadMeasurer(std::shared_ptr<HXCpuLoad> meter) { m_cpuLoad = std::move(meter); }
  std::shared_ptr<HXCpuLoad> cpuLoadMeasurer() const { return m_cpuLoad; }

 private:
  HX_ConfStorage m_storage;
  std::shared_ptr<HXCpuLoad> m_cpuLoad;
};
