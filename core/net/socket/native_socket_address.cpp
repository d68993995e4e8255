#include "core/net/socket/native_socket_address.h"

#include <sys/socket.h>

#include <string>

#include "core/base/ios_log.h"
#include "core/net/address/native_address_text.h"
#include "core/net/loop/zserver.h"

HXZNativeSocketAddress::~HXZNativeSocketAddress() {
  if (m_info != nullptr) freeaddrinfo(m_info);
}

std::string HXZNativeSocketAddress::splitText(const std::string& text) {
  uint16_t port = 0;
  std::string host = parseZAddrUri(text, &port);
  m_port = port;
  return host;
}

bool HXZNativeSocketAddress::resolveNumeric(const char* host, int flags, int family) {
  if (m_info != nullptr) {
    freeaddrinfo(m_info);
    m_info = nullptr;
  }
  addrinfo hints{};
  hints.ai_flags = flags | AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_family = family;
  const std::string service = std::to_string(m_port);
  int result = getaddrinfo(host, service.c_str(), &hints, &m_info);
  if (result != 0) {
    m_info = nullptr;
    m_error = result > 0 ? -result : result;
    return false;
  }
  m_error = 0;
  return true;
}

HXZNativeSocketAddressLocal::HXZNativeSocketAddressLocal(const std::string& text, int family,
                                                         HXDnsCallbackBase* callback)
    : HXZNativeSocketAddress(family) {
  const std::string host = splitText(text);
  const char* host_or_any = host == "*" ? nullptr : host.c_str();
  if (resolveNumeric(host_or_any, AI_PASSIVE, m_family) || host.empty()) return;
  if (host_or_any != nullptr) {
    ios_log("FAILED: getaddrinfo %s errno= %d", host.c_str(), m_error);
    const std::string answer = HXZServer::QueryA(host, callback, kQueryTimeLimitMs);
    if (!answer.empty()) resolveNumeric(answer.c_str(), AI_PASSIVE, m_family);
  }
}

HXZNativeSocketAddressRemote::HXZNativeSocketAddressRemote(const std::string& text, int family,
                                                           HXDnsCallbackBase* callback)
    : HXZNativeSocketAddress(family) {
  const std::string host = splitText(text);
  const std::string answer = HXZServer::QueryA(host, callback, kQueryTimeLimitMs);
  if (answer.empty()) return;  // answered later, to the callback
  if (!resolveNumeric(answer.c_str(), 0, AF_UNSPEC)) {
    ios_log("FAILED: getaddrinfo %s errno=%d", answer.c_str(), m_error);
  }
}
