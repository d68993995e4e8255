#pragma once
// The client's own services beside the transport: the login service "AUTH", the
// network-configuration service "NET_CONFIG" and the client service "CLIENT". So far each
// registers under its name, carries the signals the transport manager and the client object
// connect, and answers false to every message; their own work grows them.
//
// Each destructor unregisters first, so that a message the network loop dispatches while the
// manager is destroyed waits for the removal and then finds no manager.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow).

#include <memory>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"

class HX_LoginManager : public HX_AbstractManager {
 public:
  HX_LoginManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_LoginManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;

  // (result, cause): the user was logged out.
  hx::Signal2<int, int> logoutSignal;
  // (rights): the user's rights changed.
  hx::Signal1<int> rightsSignal;
  // The login answer must be checked later.
  hx::Signal0<void> checkLoginSignal;
};

class HX_NetConfigManager : public HX_AbstractManager {
 public:
  HX_NetConfigManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_NetConfigManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;

  // The server sent its list of endpoints (the raw list).
  hx::Signal1<const HX_Container&> endpointListSignal;
  // The server redirects the client (the raw list of targets).
  hx::Signal1<const HX_Container&> redirectSignal;
};

class HX_ClientManager : public HX_AbstractManager {
 public:
  HX_ClientManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_ClientManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;

  // (peer, conference): a peer asks to be accepted over a direct connection.
  hx::Signal2<const char*, const char*> directAcceptSignal;
};
