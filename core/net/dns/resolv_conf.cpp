#include "core/net/dns/resolv_conf.h"

#include <net/if.h>

#include <cctype>
#include <fstream>
#include <sstream>

#include "core/net/address/ip_address.h"

namespace hx::dns {
namespace {

// The address text with a named scope turned into its number; "" when it is no address.
std::string AddressText(std::string text) {
  const size_t percent = text.find('%');
  if (percent != std::string::npos) {
    const std::string scope = text.substr(percent + 1);
    const bool numeric = !scope.empty() && std::isdigit(static_cast<unsigned char>(scope[0]));
    if (!numeric) {
      const unsigned index = if_nametoindex(scope.c_str());
      if (index == 0) return std::string();
      text = text.substr(0, percent + 1) + std::to_string(index);
    }
  }
  HXIpAddress address;
  return address.set(text.c_str()) ? text : std::string();
}

}  // namespace

NameServerList ReadResolvConf(const std::string& path) {
  NameServerList servers;
  std::ifstream file(path);
  std::string line;
  while (servers.size() < kMaxResolvConfServers && std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword;
    std::string value;
    if (!(words >> keyword >> value) || keyword != "nameserver") continue;
    const std::string text = AddressText(value);
    if (!text.empty()) servers.emplace_back(text, kDnsPort);
  }
  return servers;
}

NameServerList SystemNameServers() {
  NameServerList servers = ReadResolvConf(kResolvConfPath);
  if (servers.empty()) servers.emplace_back("127.0.0.1", kDnsPort);
  return servers;
}

}  // namespace hx::dns
