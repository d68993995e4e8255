#pragma once
// Deployment settings of the DNS client: the built-in fallback name servers, asked beside the
// system's own while the fallback switch is on, and the domain suffixes of the servers whose
// connection switches them on. The service operator supplies both; nothing is built in, so by
// default there are no fallback servers and no suffix matches.
//
// Thread-safe. The DNS client reads the server list whenever it rebuilds its server set.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hx::dns {

// (address text, UDP port) pairs.
using NameServerList = std::vector<std::pair<std::string, uint16_t>>;

void SetFallbackNameServers(const NameServerList& servers);
NameServerList FallbackNameServers();

void SetFallbackDomainSuffixes(const std::vector<std::string>& suffixes);
// Whether `domain` ends with one of the suffixes, compared without ASCII case. An empty suffix
// matches nothing.
bool DomainUsesFallbackNameServers(const std::string& domain);

}  // namespace hx::dns
