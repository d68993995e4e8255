#pragma once
// An endpoint given as a host name (or a numeric host): the address comes from the DNS client,
// at once when the name is numeric or known, else later (state 1 until the answer, then 2 or 0).
// Threads: as HXZEndpointSockAddrBase.

#include <cstdint>
#include <memory>
#include <string>

#include "core/net/loop/endpoint_sock_addr.h"

class HXZEndpointFqdn : public HXZEndpointSockAddrBase {
 public:
  // A host with a port (0: 4307).
  HXZEndpointFqdn(const char* host, uint16_t port, ip::Proto::type proto);
  // "host", "host:port" or "[literal]:port"; a text that does not read as such fails (state 0).
  HXZEndpointFqdn(const std::string& text, ip::Proto::type proto);
  HXZEndpointFqdn(uint16_t port, const std::string& host, ip::Proto::type proto);
  // Withdraws from the DNS client before anything is torn down.
  ~HXZEndpointFqdn() override;

  void set(const char* host, uint16_t port, ip::Proto::type proto);
  void set(const std::string& text, ip::Proto::type proto);
  void set(uint16_t port, const std::string& host, ip::Proto::type proto);

  // A shared remote TCP endpoint of "host:port" (a host with ":" in brackets).
  static std::shared_ptr<HXZEndpointFqdn> remoteTCP(const std::string& text);
  // A shared remote TCP endpoint of a host name and port.
  static std::shared_ptr<HXZEndpointFqdn> remoteTCP(const std::string& host, uint16_t port);

  // The host name.
  std::string getAddrStr() const override { return m_host; }

 private:
  std::string m_host;
};
