#pragma once
// The domain a connection's session belongs to, from what the servers list knows of the server
// and from the server id the handshake returned. Pure function; thread-safe.

#include <string>

namespace hx::transport {

// `described`: the servers list describes the host (its domain is `describedDomain`);
// `service`: the server id carries "#as" (a service server of a cloud domain); `address`: the
// address the connection went to.
//   described: the described domain for a service server, else the host of the server id;
//   not described, service server: `address` without a leading "vcs2.tcp."; else, when the host
//     of the id has at least two dots, "dom" and the host from its first dot on (a.b.c gives
//     dom.b.c); else the host of the id;
//   not described, other server: the host of the id.
std::string SessionDomain(bool described, const std::string& describedDomain, bool service,
                          const std::string& serverId, const std::string& address);

}  // namespace hx::transport
