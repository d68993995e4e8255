#include "core/net/loop/socket_actions.h"

#include "core/net/socket/abstract_socket.h"

int32_t HXZSocketBindAction::startAction(HXZASocket*, HXZADataHandler*) {
  HXZASocket* socket = m_holder != nullptr ? m_holder->getSocketObject() : nullptr;
  if (socket == nullptr || !socket->Bind(m_endpoint)) return HXSocketScenarioBase::kFailed;
  return HXSocketScenarioBase::kUnderWay;
}

int32_t HXZSocketCloseAction::startAction(HXZASocket*, HXZADataHandler* handler) {
  if (handler->GetHandle() == -1) return HXSocketScenarioBase::kComplete;
  HXZASocket* socket = m_holder != nullptr ? m_holder->getSocketObject() : nullptr;
  if (socket == nullptr || !socket->Close(true)) return HXSocketScenarioBase::kFailed;
  return HXSocketScenarioBase::kComplete;
}

void HXZSocketCloseAction::saOnClose(HXZASocket* socket, HXZADataHandler* handler) {
  onActionDoneSelf(socket, handler, true);
}
