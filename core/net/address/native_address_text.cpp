#include "core/net/address/native_address_text.h"

#include <netdb.h>
#include <sys/socket.h>

namespace {

constexpr uint16_t kDefaultPort = 4307;

// A decimal number from 0 to 65535 and nothing else, or the default port.
uint16_t PortOfText(const std::string& text) {
  if (text.empty() || text.size() > 5) return kDefaultPort;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kDefaultPort;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= 65535 ? static_cast<uint16_t>(value) : kDefaultPort;
}

}  // namespace

std::string parseZAddrUri(const std::string& text, uint16_t* port) {
  std::string rest = text;
  size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) rest.erase(0, scheme_end + 3);

  std::string host;
  std::string port_text;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    host = rest.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && rest.compare(close + 1, 1, ":") == 0) {
      port_text = rest.substr(close + 2);
    }
  } else {
    size_t colon = rest.rfind(':');
    bool single_colon = colon != std::string::npos && rest.find(':') == colon;
    host = single_colon ? rest.substr(0, colon) : rest;
    if (single_colon) port_text = rest.substr(colon + 1);
  }

  if (port != nullptr && *port == 0) *port = PortOfText(port_text);
  return host;
}

int GetAddressFamily(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* result = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return 0;
  int family = result->ai_family;
  freeaddrinfo(result);
  return family;
}
