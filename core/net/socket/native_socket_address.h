#pragma once
// Resolving an address text ("host", "host:port", "[v6]:port", "scheme://host:port") to system
// address records, for binding (local) or connecting (remote). Numeric hosts resolve at once;
// names go to the core's DNS client (HXZServer::QueryA): a name it knows resolves at once too,
// any other is looked up in the background and answered to the given callback later, and the
// object then holds no record and no error.
//
// One object belongs to one thread; the callback may be called on any thread later.

#include <netdb.h>

#include <cstdint>
#include <string>

class HXDnsCallbackBase;

class HXZNativeSocketAddress {
 public:
  HXZNativeSocketAddress(const HXZNativeSocketAddress&) = delete;
  HXZNativeSocketAddress& operator=(const HXZNativeSocketAddress&) = delete;
  virtual ~HXZNativeSocketAddress();

  // The records, or null (failed, or the answer comes later).
  const addrinfo* GetAddressInfo() const { return m_info; }
  // 0 when none, else the resolver's error code, negative.
  int32_t GetError() const { return m_error; }
  // The text's port, 4307 when it names none.
  uint16_t GetPort() const { return m_port; }

  // How long a background lookup may take.
  static constexpr uint32_t kQueryTimeLimitMs = 12000;

 protected:
  explicit HXZNativeSocketAddress(int family) : m_family(family) {}

  // Asks the system resolver with numeric flags only; keeps the records or the error. `host`
  // null means no host (the wildcard address with AI_PASSIVE).
  bool resolveNumeric(const char* host, int flags, int family);
  // Splits the text into host and port (into m_port).
  std::string splitText(const std::string& text);

  int32_t m_family;
  int32_t m_error = 0;
  uint16_t m_port = 4307;
  addrinfo* m_info = nullptr;
};

// For binding: "*" is the wildcard address of the family.
class HXZNativeSocketAddressLocal : public HXZNativeSocketAddress {
 public:
  HXZNativeSocketAddressLocal(const std::string& text, int family, HXDnsCallbackBase* callback);
};

// For connecting: any family.
class HXZNativeSocketAddressRemote : public HXZNativeSocketAddress {
 public:
  HXZNativeSocketAddressRemote(const std::string& text, int family, HXDnsCallbackBase* callback);
};
