#pragma once
// The system's name servers as the resolver configuration file lists them: the DNS client's
// servers when the host gives none of its own.

#include <string>

#include "core/net/dns/name_server_settings.h"

namespace hx::dns {

inline constexpr const char* kResolvConfPath = "/etc/resolv.conf";
inline constexpr uint16_t kDnsPort = 53;
// Servers taken from the file, as the system resolver takes them.
inline constexpr size_t kMaxResolvConfServers = 3;

// The addresses of the first three "nameserver" lines of the file, port 53 each, in file order.
// An IPv6 address may name its scope by interface ("fe80::1%eth0"); it is given by number
// ("fe80::1%2"). Lines that hold no address, comments and other options are skipped; a missing
// file gives an empty list.
NameServerList ReadResolvConf(const std::string& path);

// The servers of /etc/resolv.conf, or the loopback address when it lists none.
NameServerList SystemNameServers();

}  // namespace hx::dns
