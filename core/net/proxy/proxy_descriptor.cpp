#include "core/net/proxy/proxy_descriptor.h"

#include <utility>

HX_ProxyDescriptor::~HX_ProxyDescriptor() = default;

std::string HX_ProxyDescriptor::getHttpUserAgent() const { return "ViriduRiz/2.8"; }

HX_ProxyDescriptorFqdn::HX_ProxyDescriptorFqdn(std::string host, uint16_t port, HX_ProxyType kind)
    : HX_ProxyDescriptor(kind), m_host(std::move(host)), m_port(port) {}
