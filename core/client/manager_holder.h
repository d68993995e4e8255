#pragma once
// ManagerHolderBase: how a service manager reaches the shared client state and its sibling
// managers without keeping pointers to them. The client application object answers from its own
// members; the shared state (HXFSMShared) forwards to the holder registered with it;
// ManagerHolderRedirect, the base of every manager, forwards to the shared state it was given. So
// a manager reaches a sibling through manager -> shared state -> client object.
//
// Thread safety: the answers are read-only once the client object has created its managers.

#include <memory>

class HXConsoleClient;
class HXFSMShared;
class HX_ClientManager;
class HX_ConfManager;
class HX_ContactsManager;

class ManagerHolderBase {
 public:
  ManagerHolderBase() = default;
  virtual ~ManagerHolderBase() = default;

  virtual HXFSMShared* getFSM() const = 0;
  virtual HX_ClientManager* clientManager() const = 0;
  virtual HX_ConfManager* confManager() const = 0;
  virtual HXConsoleClient* consoleClient() const = 0;
  virtual std::shared_ptr<HX_ContactsManager> contactsManager() const = 0;
};

// Answers getFSM with the shared state given at construction and forwards the other four to it;
// with a null shared state every answer is null.
class ManagerHolderRedirect : public ManagerHolderBase {
 public:
  explicit ManagerHolderRedirect(HXFSMShared* fsm) : m_fsm(fsm) {}

  HXFSMShared* getFSM() const override { return m_fsm; }
  HX_ClientManager* clientManager() const override;
  HX_ConfManager* confManager() const override;
  HXConsoleClient* consoleClient() const override;
  std::shared_ptr<HX_ContactsManager> contactsManager() const override;

 private:
  HXFSMShared* const m_fsm;
};
