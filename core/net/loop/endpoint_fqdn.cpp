#include "core/net/loop/endpoint_fqdn.h"

#include "core/wire/uri_host.h"

namespace {
constexpr uint16_t kDefaultPort = 4307;
}  // namespace

HXZEndpointFqdn::HXZEndpointFqdn(const char* host, uint16_t port, ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(host, port, proto);
}

HXZEndpointFqdn::HXZEndpointFqdn(const std::string& text, ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(text, proto);
}

HXZEndpointFqdn::HXZEndpointFqdn(uint16_t port, const std::string& host, ip::Proto::type proto)
    : HXZEndpointSockAddrBase(HXSockAddr(), stateFailed) {
  set(port, host, proto);
}

HXZEndpointFqdn::~HXZEndpointFqdn() { revokeAnswers(); }

void HXZEndpointFqdn::set(const char* host, uint16_t port, ip::Proto::type proto) {
  set(port, host != nullptr ? host : "", proto);
}

void HXZEndpointFqdn::set(const std::string& text, ip::Proto::type proto) {
  std::string host;
  uint16_t port = kDefaultPort;
  if (!HXUri::parseHost(text, 0, host, port, nullptr)) {
    m_host.clear();
    store(HXSockAddr(proto, 0), stateFailed);
    return;
  }
  set(port, host, proto);
}

void HXZEndpointFqdn::set(uint16_t port, const std::string& host, ip::Proto::type proto) {
  m_host = host;
  // A bare IPv6 literal reads as a host without port, so the host text can be resolved as it is.
  setAddrImp(false, port, host, proto);
}

std::shared_ptr<HXZEndpointFqdn> HXZEndpointFqdn::remoteTCP(const std::string& text) {
  return std::make_shared<HXZEndpointFqdn>(text, ip::Proto::tcp);
}

std::shared_ptr<HXZEndpointFqdn> HXZEndpointFqdn::remoteTCP(const std::string& host,
                                                            uint16_t port) {
  return std::make_shared<HXZEndpointFqdn>(port, host, ip::Proto::tcp);
}
