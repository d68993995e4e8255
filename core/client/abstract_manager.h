#pragma once
// HX_AbstractManager: the base of every service manager. A manager serves one service of the
// server protocol ("AUTH", "CONFERENCE", ...): it registers itself under the service name in a
// process-wide table for as long as it lives, and the transport hands it every incoming message
// addressed to that service. It composes its requests with ComposeSend and reaches the shared
// state and its sibling managers through its ManagerHolderRedirect base.
//
// The table is keyed by the service name's hash (core/wire/name_hash.h), so a later manager
// whose name hashes alike replaces an earlier one. A manager's destructor erases the entry only
// when it still points to that manager: a rebuild that makes the new manager before destroying
// the old one leaves the new one registered.
//
// Thread safety: registration, removal, lookup and Dispatch take the table's recursive lock.
// Dispatch holds it for the whole handler call, so UnregisterServiceHandler waits until a running
// handler has returned; a handler may itself register or unregister managers on its thread.
// Managers outlive the transport's dispatch: the client object stops the network loop before it
// destroys its managers. A manager that is destroyed while the loop may still run calls
// UnregisterServiceHandler at the start of its own destructor (the base destructor runs only after
// the derived part is gone). A pointer returned by GetServiceHandler is valid only while the
// caller knows the manager lives.
// ComposeSend may be called from any thread.

#include <array>
#include <cstdint>
#include <memory>

#include "core/client/manager_holder.h"

class HX_Container;
class HX_TransportSession;

class HX_AbstractManager : protected ManagerHolderRedirect {
 public:
  // Registers this manager under `serviceName` (at most 255 characters are kept). `transport`
  // (the client object, handed out without ownership) and `fsm` may be null for a manager that
  // never sends.
  explicit HX_AbstractManager(const char* serviceName,
                              std::shared_ptr<HX_TransportSession> transport = nullptr,
                              HXFSMShared* fsm = nullptr);
  ~HX_AbstractManager() override;
  HX_AbstractManager(const HX_AbstractManager&) = delete;
  HX_AbstractManager& operator=(const HX_AbstractManager&) = delete;

  // The manager registered under `service`, or null after logging "Service is empty" (null or
  // empty name) or "Service %s not found".
  static HX_AbstractManager* GetServiceHandler(const char* service);

  // Finds the manager of `service` and hands it `message`, holding the table's lock for the call.
  // Sets `*found` (when given) to whether a manager was found; answers the manager's verdict, or
  // false without one.
  static bool Dispatch(const char* service, HX_Container& message, bool* found = nullptr);

  // The text after the first at-sign of `id` (the server part of a user or conference id), or
  // null when it holds none (or `id` is null). Points into `id`.
  static const char* ReturnBroker(const char* id);

  const char* GetServiceName() const { return m_serviceName.data(); }

  // Handles one incoming message of the service, given its body; false when the message is bad
  // or not one this manager knows. Called on the network loop thread.
  virtual bool ParseIncomimgMessage(HX_Container& message) = 0;

  // Composes a request from this manager's service to `service` (at `user` and `server`, either
  // may be null) carrying `body`, with the transport's next sequence number, and queues it.
  // Answers what the transport's QueuePacket answers: true only when the connection is up and
  // sending started. A request composed while connecting stays queued and goes out once the
  // connection is up; one composed while the transport is idle is dropped by the next connect.
  // False without queueing anything when there is no transport or the body serialises to nothing.
  bool ComposeSend(const HX_Container& body, const char* service, const char* user, const char* server,
                   uint32_t timeLimitMs);

  using ManagerHolderRedirect::getFSM;

 protected:
  // Stores the name and makes the table entry of its hash point to this manager. Always true.
  bool RegisterServiceHandler(const char* name);
  // Erases the table entry of the stored name's hash when it points to this manager, waiting for
  // a handler call in progress. Calling it again does nothing. Always true.
  bool UnregisterServiceHandler();

  const std::shared_ptr<HX_TransportSession>& transportSession() const { return m_transport; }

 private:
  std::array<char, 256> m_serviceName{};
  std::shared_ptr<HX_TransportSession> m_transport;
};
