#pragma once
// A configured proxy: its kind, host and port. Descriptors are immutable once made and shared by
// pointer between threads.

#include <cstdint>
#include <string>

#include "core/net/proxy/proxy_type.h"

class HX_ProxyDescriptor {
 public:
  explicit HX_ProxyDescriptor(HX_ProxyType kind) : m_type(kind) {}
  HX_ProxyDescriptor(const HX_ProxyDescriptor&) = delete;
  HX_ProxyDescriptor& operator=(const HX_ProxyDescriptor&) = delete;
  virtual ~HX_ProxyDescriptor();

  // The User-Agent text that an HTTP proxy handler sends.
  virtual std::string getHttpUserAgent() const;
  // The proxy's host name or address text.
  virtual std::string getHost() const = 0;
  virtual uint16_t getPort() const = 0;
  // Whether the descriptor can be used now.
  virtual bool isReady() const = 0;

  HX_ProxyType getType() const { return m_type; }

 private:
  HX_ProxyType m_type;
};

// A proxy named by host and port.
class HX_ProxyDescriptorFqdn : public HX_ProxyDescriptor {
 public:
  HX_ProxyDescriptorFqdn(std::string host, uint16_t port, HX_ProxyType kind);

  std::string getHost() const override { return m_host; }
  uint16_t getPort() const override { return m_port; }
  bool isReady() const override { return true; }

 private:
  std::string m_host;
  uint16_t m_port;
};

// "No proxy": empty host, port 0, kind direct. The process has one, handed out by
// HX_ProxyList::getNullProxyDescriptor.
class HX_ProxyDescriptorDummy : public HX_ProxyDescriptorFqdn {
 public:
  HX_ProxyDescriptorDummy() : HX_ProxyDescriptorFqdn(std::string(), 0, kProxyDirect) {}
};
