#include "core/contacts/presence/presence_manager.h"

#include "core/client/fsm_shared.h"
#include "core/client/protocol_constants.h"
#include "core/transport/session.h"

HX_PresenceManager::HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(PRESENCE_SRV, std::move(transport), fsm) {}
HX_PresenceManager::~HX_PresenceManager() { UnregisterServiceHandler(); }
bool HX_PresenceManager::ParseIncomimgMessage(HX_Container&) { return false; }

bool HX_PresenceManager::UpdateStatus(int32_t status, const HX_Container* extended, bool store) {
  m_calls.Record("UpdateStatus", status, extended != nullptr ? "ext" : "null", store);
  if (store && getFSM() != nullptr) getFSM()->SetMyStatus(status);
  const std::shared_ptr<HX_TransportSession>& session = transportSession();
  return session && session->getStateTrs() == HX_TransportSession::eLoggedIn;
}
