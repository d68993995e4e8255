#pragma once
// Rules about server names. A server id is a host, "#" and a suffix: "#as" for a service server
// found through its domain, "#vcs" for a stand-alone server. A domain's default server name is
// "vcs2.tcp." followed by the domain; discovery looks it up in DNS.
//
// Lower-casing here is per byte, ASCII only. Every function is thread-safe.

#include <cstddef>
#include <string>

namespace hx::servers {

inline const std::string DefaultSuffixAs = "#as";
inline const std::string DefaultSuffixVcs = "#vcs";
inline const std::string ServerDefaultSrv = "vcs2.tcp.";

class Names {
 public:
  // "vcs2.tcp." followed by the lower-cased domain.
  static std::string getDefaultServer(const std::string& domain);
  // The text before the first "#", or the whole id when it has none.
  static std::string getHostFromServerId(const std::string& serverId);
  // The lower-cased tail of the id from its first "#" on, or "" when there is none. `position`,
  // when given, receives the position of that "#" or std::string::npos.
  static std::string getSuffix(const std::string& serverId, size_t* position = nullptr);
  // The domain of a server: the host part itself when it is numeric or has at most one ".",
  // otherwise the host part after its first ".".
  static std::string getDomainFromServerId(const std::string& serverId);

  // The host is the domain's default server name (case ignored).
  static bool isDefaultServiceHost(const std::string& host, const std::string& domain);
  // The id's suffix is "#as" and its host is the domain's default server name.
  static bool isDefaultServiceServerId(const std::string& serverId, const std::string& domain);
  // The host is the default server name of some domain: it begins with "vcs2.tcp." (case
  // ignored).
  static bool isDefaultKRSHost(const std::string& host);
  // The id's suffix is "#vcs" and its host is a default server name.
  static bool isDefaultKRSServerId(const std::string& serverId);
};

}  // namespace hx::servers
