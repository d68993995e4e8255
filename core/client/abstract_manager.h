#pragma once
// HX_AbstractManager: the base of every service manager. A manager serves one service of the
// server protocol ("AUTH", "CONFERENCE", ...): it registers itself under the service name in a
// process-wide table for as long as it lives, and the transport hands it every incoming message
// addressed to that service.
//
// The table is keyed by the service name's hash (core/transport/name_hash.h), so a later manager
// whose name hashes alike replaces an earlier one, and destroying either removes the entry.
// Registration, removal and lookup are thread-safe; lookups run on the network loop thread for
// every incoming message.

#include <array>

class HX_Container;

class HX_AbstractManager {
 public:
  // Registers this manager under `serviceName` (at most 255 characters are kept).
  explicit HX_AbstractManager(const char* serviceName);
  virtual ~HX_AbstractManager();
  HX_AbstractManager(const HX_AbstractManager&) = delete;
  HX_AbstractManager& operator=(const HX_AbstractManager&) = delete;

  // The manager registered under `service`, or null after logging "Service is empty" (null or
  // empty name) or "Service %s not found".
  static HX_AbstractManager* GetServiceHandler(const char* service);

  const char* GetServiceName() const { return m_serviceName.data(); }

  // Handles one incoming message of the service, given its body; false when the message is bad
  // or not one this manager knows. Called on the network loop thread.
  virtual bool ParseIncomimgMessage(HX_Container& message) = 0;

 protected:
  // Stores the name and makes the table entry of its hash point to this manager. Always true.
  bool RegisterServiceHandler(const char* name);
  // Erases the table entry of the stored name's hash, whichever manager it points to. Always true.
  bool UnregisterServiceHandler();

 private:
  std::array<char, 256> m_serviceName{};
};
