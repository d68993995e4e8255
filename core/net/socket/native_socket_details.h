#pragma once
// The local and remote address of a live native socket, read from the system.

#include <cstdint>
#include <string>

#include "core/net/address/sock_addr.h"

class HXZADataHandler;

class HXZNativeSocketDetails {
 public:
  // Both addresses empty.
  HXZNativeSocketDetails() = default;
  // Reads the local address and, unless `local_only`, the peer's address.
  explicit HXZNativeSocketDetails(int handle, bool local_only = false);
  explicit HXZNativeSocketDetails(const HXZADataHandler& handler, bool local_only = false);

  // Reads the addresses again; the result is that of the last read.
  bool UpdateSocketDetails(int handle, bool local_only);

  const HXSockAddr& getLocal() const { return m_local; }
  const HXSockAddr& getRemote() const { return m_remote; }
  // Address texts; link-local IPv6 with "%" and the scope id.
  std::string HostLocal() const { return m_local.str_wscope(); }
  std::string HostRemote() const { return m_remote.str_wscope(); }
  uint16_t PortLocal() const { return m_local.port(); }
  uint16_t PortRemote() const { return m_remote.port(); }
  // The system family of the local address.
  int GetFamily() const { return m_local.sysFamily(); }

 private:
  HXSockAddr m_local;
  HXSockAddr m_remote;
};
