#pragma once
// HX_ConfManager: the conference service "CONFERENCE", as far as the client object's creation and
// wiring need it so far: it registers under the name it is given, is the conference store (its
// second base, HX_ConfStorage), and carries the signals the client object wires. Messages it does
// not know yet answer false. The store's two hooks record their calls until the service composes
// "DeleteConference" and "LogPartStat": deleteConferenceAux answers what was set with
// setDeleteAnswer (false, "not queued", by default).
//
// The destructor unregisters first, so that the network loop never dispatches into a manager
// being destroyed.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow).

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/conference/store/conf_storage.h"

class HX_ConfManager : public HX_AbstractManager, public HX_ConfStorage {
 public:
  HX_ConfManager(const char* serviceName, std::shared_ptr<HX_TransportSession> transport,
                 HXFSMShared* fsm);
  ~HX_ConfManager() override;

  bool ParseIncomimgMessage(HX_Container& message) override;

  HX_ConfStorage* confStorage() { return this; }
  const HX_ConfStorage* confStorage() const { return this; }

  // The store's hooks.
  bool deleteConferenceAux(const char* SID) override;
  void SendConfStat(const conference::Statistics& statistics) override;
  void setDeleteAnswer(bool queued);
  // SIDs passed to deleteConferenceAux, and the records passed to SendConfStat, in order.
  std::vector<std::string> deleteRequests() const;
  std::vector<conference::Statistics> sentStatistics() const;
  // Drops every connection of every signal below.
  void ResetSignals();

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

  using HX_AbstractManager::getFSM;

 private:
  mutable std::mutex m_hookMutex;
  bool m_deleteAnswer = false;
  std::vector<std::string> m_deleteRequests;
  std::vector<conference::Statistics> m_sentStatistics;
};
