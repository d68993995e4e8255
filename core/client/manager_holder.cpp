#include "core/client/manager_holder.h"

#include "core/client/fsm_shared.h"

HX_ClientManager* ManagerHolderRedirect::clientManager() const {
  return m_fsm != nullptr ? m_fsm->clientManager() : nullptr;
}

HX_ConfManager* ManagerHolderRedirect::confManager() const {
  return m_fsm != nullptr ? m_fsm->confManager() : nullptr;
}

HXConsoleClient* ManagerHolderRedirect::consoleClient() const {
  return m_fsm != nullptr ? m_fsm->consoleClient() : nullptr;
}

std::shared_ptr<HX_ContactsManager> ManagerHolderRedirect::contactsManager() const {
  return m_fsm != nullptr ? m_fsm->contactsManager() : nullptr;
}
