#include "core/conference/conf_manager.h"

HX_ConfManager::HX_ConfManager(const char* serviceName, std::shared_ptr<HX_TransportSession> transport,
                               HXFSMShared* fsm)
    : HX_AbstractManager(serviceName, std::move(transport), fsm) {}

HX_ConfManager::~HX_ConfManager() { UnregisterServiceHandler(); }

bool HX_ConfManager::ParseIncomimgMessage(HX_Container&) { return false; }

void HX_ConfManager::ResetSignals() {
  conferenceCreated.DisconnectAll();
  conferenceDeleted.DisconnectAll();
  conferenceJoinResult.DisconnectAll();
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
