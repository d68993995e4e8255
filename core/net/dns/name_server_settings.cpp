#include "core/net/dns/name_server_settings.h"

#include <strings.h>

#include <mutex>

namespace hx::dns {
namespace {

struct Settings {
  std::mutex mutex;
  NameServerList servers;
  std::vector<std::string> suffixes;
};

Settings& settings() {
  static Settings instance;
  return instance;
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return !suffix.empty() && text.size() >= suffix.size() &&
         strcasecmp(text.c_str() + (text.size() - suffix.size()), suffix.c_str()) == 0;
}

}  // namespace

void SetFallbackNameServers(const NameServerList& servers) {
  std::lock_guard<std::mutex> lock(settings().mutex);
  settings().servers = servers;
}

NameServerList FallbackNameServers() {
  std::lock_guard<std::mutex> lock(settings().mutex);
  return settings().servers;
}

void SetFallbackDomainSuffixes(const std::vector<std::string>& suffixes) {
  std::lock_guard<std::mutex> lock(settings().mutex);
  settings().suffixes = suffixes;
}

bool DomainUsesFallbackNameServers(const std::string& domain) {
  std::lock_guard<std::mutex> lock(settings().mutex);
  for (const std::string& suffix : settings().suffixes) {
    if (EndsWithNoCase(domain, suffix)) return true;
  }
  return false;
}

}  // namespace hx::dns
