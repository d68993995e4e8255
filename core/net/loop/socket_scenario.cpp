#include "core/net/loop/socket_scenario.h"

#include <utility>

HXSocketActionHolder::~HXSocketActionHolder() = default;

HXSocketScenarioBase::~HXSocketScenarioBase() = default;

void HXSocketScenarioBase::addAction(std::shared_ptr<HXSocketActionBase> action) {
  if (action == nullptr) return;
  action->setActionHolder(this);
  m_actions.push_back(std::move(action));
}

void HXSocketScenarioBase::addActionStatic(HXSocketActionBase& action) {
  addAction(std::shared_ptr<HXSocketActionBase>(&action, [](HXSocketActionBase*) {}));
}

void HXSocketScenarioBase::clearActionsList(bool keep) {
  if (keep && m_gc) m_done.splice(m_done.end(), m_actions);
  m_actions.clear();
}

int32_t HXSocketScenarioBase::startScenario(HXZASocket* socket, HXZADataHandler* handler) {
  return iterateOver(socket, handler);
}

int32_t HXSocketScenarioBase::iterateOver(HXZASocket* socket, HXZADataHandler* handler) {
  while (!m_actions.empty()) {
    // Held here as well: a step may be dropped from the list while it runs.
    const std::shared_ptr<HXSocketActionBase> action = m_actions.front();
    setCurrentAction(action.get());
    if (!beforeAction(socket, handler, action.get())) return kFailed;
    const int32_t result = action->startAction(socket, handler);
    if (result != kComplete) return result;
    if (!afterAction(socket, handler, action.get())) return kFailed;
    popAction();
  }
  return kComplete;
}

void HXSocketScenarioBase::popAction() {
  if (m_actions.empty()) return;
  if (m_gc) m_done.push_back(m_actions.front());
  m_actions.pop_front();
}

int32_t HXSocketScenarioBase::onActionDone(HXZASocket* socket, HXZADataHandler* handler,
                                           HXSocketActionBase* action, bool ok) {
  bool success = false;
  if (ok && afterAction(socket, handler, action)) {
    popAction();
    const int32_t result = iterateOver(socket, handler);
    if (result == kUnderWay) return kUnderWay;
    setCurrentAction(nullptr);
    success = result == kComplete;
  }
  return onScenarioDone(socket, handler, success);
}

bool HXSocketScenarioBase::afterAction(HXZASocket*, HXZADataHandler*, HXSocketActionBase*) {
  return true;
}

bool HXSocketScenarioBase::beforeAction(HXZASocket*, HXZADataHandler*, HXSocketActionBase*) {
  return true;
}

HXSocketActionBase::~HXSocketActionBase() = default;

int32_t HXSocketActionBase::startAction(HXZASocket*, HXZADataHandler*) {
  return HXSocketScenarioBase::kFailed;
}

void HXSocketActionBase::saOnBoundLocal(HXZASocket* socket, HXZADataHandler* handler, bool ok) {
  onActionDoneSelf(socket, handler, ok);
}

void HXSocketActionBase::saOnClose(HXZASocket* socket, HXZADataHandler* handler, HXZADataHandler*) {
  onActionDoneSelf(socket, handler, false);
}

int32_t HXSocketActionBase::saOnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  return HXSocketScenarioBase::kFailed;
}

int32_t HXSocketActionBase::saOnReadySendImp(HXZASocket*, HXZADataHandler*) {
  return HXSocketScenarioBase::kFailed;
}

void HXSocketActionBase::saOnTimer(HXZASocket* socket, HXZADataHandler* handler, unsigned) {
  onActionDoneSelf(socket, handler, false);
}

int32_t HXSocketActionBase::onActionDoneSelf(HXZASocket* socket, HXZADataHandler* handler,
                                             bool ok) {
  if (m_holder == nullptr) return HXSocketScenarioBase::kFailed;
  return m_holder->onActionDone(socket, handler, this, ok);
}

int32_t HXSocketScenarioDetached::startAction(HXZASocket* socket, HXZADataHandler* handler) {
  return startScenario(socket, handler);
}

void HXSocketScenarioDetached::saOnBoundLocal(HXZASocket* socket, HXZADataHandler* handler,
                                              bool ok) {
  if (m_current != nullptr) m_current->saOnBoundLocal(socket, handler, ok);
}

void HXSocketScenarioDetached::saOnClose(HXZASocket* socket, HXZADataHandler* handler,
                                         HXZADataHandler* closed) {
  if (m_current != nullptr) m_current->saOnClose(socket, handler, closed);
}

int32_t HXSocketScenarioDetached::saOnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_current != nullptr ? m_current->saOnReadyRecvImp(socket, handler) : kFailed;
}

int32_t HXSocketScenarioDetached::saOnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) {
  return m_current != nullptr ? m_current->saOnReadySendImp(socket, handler) : kFailed;
}

void HXSocketScenarioDetached::saOnTimer(HXZASocket* socket, HXZADataHandler* handler,
                                         unsigned id) {
  if (m_current != nullptr) m_current->saOnTimer(socket, handler, id);
}

HXZASocket* HXSocketScenarioDetached::getSocketObject() {
  return m_holder != nullptr ? m_holder->getSocketObject() : nullptr;
}

const HXZASocket* HXSocketScenarioDetached::getSocketObject() const {
  return m_holder != nullptr ? m_holder->getSocketObject() : nullptr;
}

int32_t HXSocketScenarioDetached::onScenarioDone(HXZASocket* socket, HXZADataHandler* handler,
                                                 bool ok) {
  return onActionDoneSelf(socket, handler, ok);
}
