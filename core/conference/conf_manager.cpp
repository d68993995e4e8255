#include "core/conference/conf_manager.h"

HX_ConfManager::HX_ConfManager(const char* serviceName,
                               std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(serviceName, transport, fsm), HX_ConfStorage(fsm, transport) {}

HX_ConfManager::~HX_ConfManager() {
  UnregisterServiceHandler();
  // The store's jobs call this object's hooks: none may run once its part is gone.
  stopJobs();
}

bool HX_ConfManager::ParseIncomimgMessage(HX_Container&) { return false; }

bool HX_ConfManager::deleteConferenceAux(const char* SID) {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_deleteRequests.emplace_back(SID != nullptr ? SID : "");
  return m_deleteAnswer;
}

void HX_ConfManager::SendConfStat(const conference::Statistics& statistics) {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_sentStatistics.push_back(statistics);
}

void HX_ConfManager::setDeleteAnswer(bool queued) {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  m_deleteAnswer = queued;
}

std::vector<std::string> HX_ConfManager::deleteRequests() const {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  return m_deleteRequests;
}

std::vector<conference::Statistics> HX_ConfManager::sentStatistics() const {
  std::lock_guard<std::mutex> lock(m_hookMutex);
  return m_sentStatistics;
}

void HX_ConfManager::ResetSignals() {
  conferenceCreated.DisconnectAll();
  conferenceDeleted.DisconnectAll();
  conferenceJoinResult.DisconnectAll();
  conferenceDestroyed.DisconnectAll();
  extraVideoSignal.DisconnectAll();
  AcceptReceivedSignal.DisconnectAll();
  PrepareCapsSignal.DisconnectAll();
  ClientCapsReceivedSignal.DisconnectAll();
  RoleEventSignal.DisconnectAll();
  RestrictBitrateSignal.DisconnectAll();
  ReqInviteReceivedSignal.DisconnectAll();
  AcceptSentSignal.DisconnectAll();
  JoinReceivedSignal.DisconnectAll();
  JoinSentSignal.DisconnectAll();
  InviteSentSignal.DisconnectAll();
  InviteToMultiSentSignal.DisconnectAll();
  InviteReceivedSignal.DisconnectAll();
  InviteToMultiReceivedSignal.DisconnectAll();
  ReqInviteSentSignal.DisconnectAll();
  RejectSentSignal.DisconnectAll();
  UpdateConnectionInfoSignal.DisconnectAll();
}
