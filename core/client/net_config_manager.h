#pragma once
// HX_NetConfigManager: the service manager of the network-configuration service "NET_CONFIG".
// It tells the server where this client can be reached for direct media ("UpdateConfiguration":
// one "IPConfig" or "IPv6Config" endpoint record per listening TCP or UDP address), asks for the
// application's properties ("GetAppProps"), publishes endpoint properties ("SetProps") and user
// properties ("SetUserProperty"), and receives the server's properties with its protocol version
// ("SetProps"), the server's own endpoint list ("UpdateConfiguration") and redirect orders
// ("RedirectTo").
//
// The protocol version is 1 from construction and after resetServerInfo (a new session) until a
// "SetProps" carries "server_protocol_version". Endpoint properties persist across connections
// until reset or sent with resetAfter.
//
// Thread safety: the property operations may be called from any thread; the endpoint properties
// are guarded by the manager's own lock (its HXMultiLock<0> base). Incoming messages are handled
// on the network-loop thread, which alone writes the protocol version (an atomic). Signals are
// emitted on the network-loop thread without the lock; connect them before messages flow.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/net/address/acceptor_info.h"
#include "core/wire/endpoint_record.h"

class HX_Container;
class HXIpIfAddrSet;
class HXSockAddr;

class HX_NetConfigManager : public HX_AbstractManager, public HXMultiLock<0> {
 public:
  // The largest endpoint record a binding may take.
  static constexpr size_t kMaxBindingSize = 32767;

  // Registers "NET_CONFIG". `transport` and `fsm` are not owned and must outlive the manager.
  HX_NetConfigManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_NetConfigManager() override;

  // Sends "UpdateConfiguration" with one binding per reachable address: the network loop's
  // interface addresses and the session's network listener's acceptors (fillNetworkConfiguration
  // with the session's login). True without sending when there is no binding; otherwise the
  // queueing result.
  bool UpdateConfiguration();
  // Sends "GetAppProps" ("ClientVersion", "Name" of the shared state).
  bool GetApplicationProperties();
  // Sets one endpoint property (inserted or replaced), emptying the map first with `reset`. False
  // (nothing changed) for a null name or value or an empty name.
  bool SetEndpointProperties(const char* name, const char* value, bool reset);
  // Empties the map. Always true.
  bool ResetEndpointProperties();
  // The property's value, or "" when it is not set (or `name` is null).
  std::string GetEndpointProperties(const char* name) const;
  // Sends "SetProps" ("Hash", then "Name"/"Property" pairs in name order). True without sending
  // for an empty map; with `resetAfter` the map is emptied once the message was queued. The
  // queueing result.
  bool SendEndpointProperties(bool resetAfter);
  // Sends "SetUserProperty" ("CallId" before "Method", the name, the 64-bit value and, with
  // `asDate`, "as_date_string" = "1"). The queueing result.
  bool SendSetUserProperty(const char* name, int64_t value, bool asDate);

  int32_t getSrvProtocolVersion() const { return m_protocolVersion.load(); }
  // A new session: the protocol version returns to 1.
  void resetServerInfo() { m_protocolVersion.store(1); }

  // Handles "SetProps", "UpdateConfiguration" and "RedirectTo"; every message answers true.
  bool ParseIncomimgMessage(HX_Container& message) override;

  // Adds one binding per reachable address to `message`: IPv4 first, then IPv6; TCP acceptors
  // before UDP ones. An acceptor on the any address is expanded over the up (flag 0x10),
  // non-loopback interface addresses of its family in the set's order. The number of bindings
  // added.
  static int fillNetworkConfiguration(const HXIpIfAddrSet& interfaces, const HXZAcceptorInfo& acceptors,
                                      const char* login, HX_Container& message);

  // Parses a "server_protocol_version" text: its leading decimal digits (an optional sign
  // first), 0 for a text without them; a value beyond 32 bits saturates.
  static int32_t parseProtocolVersion(const char* text);

  // ("Services", server id, endpoints): the server's own endpoint list.
  hx::Signal3<const char*, const char*, const HX_TransportEndpointList&> endpointListSignal;
  // (server id, endpoints): the server redirects the client; raised even with an empty list.
  hx::Signal2<const char*, const HX_TransportEndpointList&> redirectSignal;
  // (1): the server keeps the call history as one list.
  hx::Signal1<int> callHistoryAsOneListSignal;

 private:
  bool sendToNetConfig(const HX_Container& message);
  void onSetProps(const HX_Container& message);
  void onUpdateConfiguration(const HX_Container& message);
  void onRedirectTo(const HX_Container& message);

  std::map<std::string, std::string> m_endpointProperties;  // guarded by the HXMultiLock<0> base
  std::atomic<int32_t> m_protocolVersion{1};

  uint32_t m_setPropsHash = 0;
  uint32_t m_updateConfigurationHash = 0;
  uint32_t m_redirectToHash = 0;
};

// Adds the endpoint record of one listening address to `message`: key "IPConfig" (IPv4) or
// "IPv6Config" (IPv6), endpoint type 1 for TCP or 3 for UDP, the address as text and its port,
// SOCKS 1080/version 4 and HTTP 8080 without hosts. False (with a log line) for another family
// or protocol, or when the record does not serialise.
bool addBinding(HX_Container& message, const HXSockAddr& address, const char* login);
