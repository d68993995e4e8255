#pragma once
// Endpoints of one socket address. HXZEndpointSockAddrBase keeps the address, its resolution
// state and the one handler waiting for it, and takes the DNS client's answer for a name that
// did not resolve at once. HXZEndpointSockAddr is an endpoint given as an address text, an IP
// address or a socket address; HXZEndpointFqdn (endpoint_fqdn.h) one given as a host name.
//
// Threads: the address, the state and the registration are guarded by a lock of the holder, so
// the loop's thread may read them while a DNS answer arrives on another thread. The final classes
// withdraw from the DNS client first in their destructors, which waits for an answer being
// delivered on another thread: let an endpoint go only where the loop lock is not held (the
// answer releases the connects waiting for the endpoint under it). The setters are
// for the owner before the holder is shared.

#include <cstdint>
#include <memory>
#include <string>

#include "core/base/spin_lock.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/dns_callback.h"
#include "core/net/loop/endpoint_holder.h"

class HXZEndpointSockAddrBase : public HXZAEndpointHolder, public HXDnsCallback {
 public:
  HXSockAddr getSockAddr() const override;
  // Registers `handler` only when no handler is registered yet.
  bool notifyOnResolv(Handler* handler) override;
  void notifyOnResolvRemoveIf(Handler* handler) override;
  int32_t state() const override;

  // The DNS client's answer: `address` null means the lookup failed (state 0); an address keeps
  // the stored port and protocol (state 2). The registered handler is told in both cases and
  // stays registered.
  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char* name, const char* address) override;

 protected:
  HXZEndpointSockAddrBase(const HXSockAddr& addr, int32_t state) : m_addr(addr), m_state(state) {}

  // Resolves `text` for binding (`local`) or connecting and sets address and state: resolved
  // (2) at once for numeric texts and names the DNS client knows, else pending (1) until the
  // client answers. The port is the text's, or 4307; a `port` other than 0 replaces it.
  void setAddrImp(bool local, uint16_t port, const std::string& text, ip::Proto::type proto);
  // Sets address and state together.
  void store(const HXSockAddr& addr, int32_t state);
  // The address text with the scope id.
  std::string addrText() const;

 private:
  mutable HXSpinLock m_lock;
  HXSockAddr m_addr;
  int32_t m_state;
  Handler* m_handler = nullptr;
};

class HXZEndpointSockAddr : public HXZEndpointSockAddrBase {
 public:
  // Protocol value that keeps the protocol stored already (IP address setters only).
  static constexpr int32_t kKeepProto = 254;

  // From an address text, for binding (`local`) or connecting; see setAddrImp.
  HXZEndpointSockAddr(bool local, const char* text, uint16_t port, ip::Proto::type proto);
  HXZEndpointSockAddr(bool local, const std::string& text, ip::Proto::type proto);
  HXZEndpointSockAddr(bool local, uint16_t port, const std::string& text, ip::Proto::type proto);
  // An IP address with port 0: resolved, or failed when the address is empty.
  HXZEndpointSockAddr(const HXAIpAddressBase& address, ip::Proto::type proto);
  // Resolved, or failed when the address is empty.
  explicit HXZEndpointSockAddr(const HXSockAddr& addr);
  // Withdraws from the DNS client before anything is torn down.
  ~HXZEndpointSockAddr() override;

  void set(bool local, const char* text, uint16_t port, ip::Proto::type proto);
  void set(bool local, const std::string& text, ip::Proto::type proto);
  void set(bool local, uint16_t port, const std::string& text, ip::Proto::type proto);
  // Keeps the stored port; kKeepProto keeps the stored protocol.
  void set(const HXAIpAddressBase& address, ip::Proto::type proto);
  void set(const HXSockAddr& addr);

  // The wildcard address of a family (4 or 6 / AF_INET or AF_INET6) with a port.
  void setInaddrAnyPF(ip::Family::type family, uint16_t port, ip::Proto::type proto);
  void setInaddrAnySF(int sys_family, uint16_t port, ip::Proto::type proto);

  // A shared remote TCP endpoint of an address text.
  static std::shared_ptr<HXZEndpointSockAddr> remoteTCP(const std::string& text);
  static std::shared_ptr<HXZEndpointSockAddr> remoteTCP(const std::string& text, uint16_t port);

  // The address text, link-local IPv6 with its scope id.
  std::string getAddrStr() const override { return addrText(); }
};
