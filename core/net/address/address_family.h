#pragma once
// The small enumerations that name an address family and a transport protocol, and their
// mapping to and from the system's constants. Our own values (family 4/6, protocol 1/2) are
// what travels in serialised addresses; system constants never leave the process.

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace ip {

namespace Family {

// The family byte of an address: 4 = IPv4, 6 = IPv6, 0 = none (an empty address).
// `any` is never stored: filters take it to mean every family.
enum type : uint8_t { none = 0, v4 = 4, v6 = 6, any = 0xfe };

// AF_INET gives 4, AF_INET6 gives 6, anything else 0.
uint8_t fromSysFamily(int sys_family);
// 4 gives AF_INET, 6 gives AF_INET6, anything else 0.
int sysFamily(uint8_t family);

}  // namespace Family

namespace Proto {

// The transport protocol of a socket address. Values read from the network may lie outside
// the named ones; the underlying type keeps them.
enum type : int32_t { unknown = 0, tcp = 1, udp = 2 };

// "tcp" gives tcp and "udp" gives udp, without regard to case; null or other text gives unknown.
type fromStr(const char* text);
// "tcp", "udp" or "unknown(<value>)".
std::string str(int32_t proto);
// IPPROTO_TCP gives tcp, IPPROTO_UDP gives udp, anything else unknown.
type fromSysProto(int sys_proto);
// The reverse of fromSysProto; 0 for values other than tcp and udp.
int sysProto(int32_t proto);
// SOCK_STREAM for tcp, SOCK_DGRAM for udp, else 0.
int sysSockType(int32_t proto);

}  // namespace Proto

// Whether an address may not be bound on this platform. Linux binds every address family we
// use, so the answer is always false; the call stays so that callers need no platform checks.
bool is_not_bindable(const struct sockaddr* native, const char* interface_name);

}  // namespace ip
