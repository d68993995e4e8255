#include "core/net/dns/dns64_helper.h"

#include <algorithm>

#include "core/net/address/address_family.h"
#include "core/net/address/ip_address.h"

void HXDNSHandler::Dns64Helper::OnCallbackQueryA(const std::string&,
                                                 const std::vector<std::string>& list) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_done) return;
  for (const std::string& text : list) {
    HXIpAddress address;
    Pref64 prefix;
    if (!address.set(text.c_str()) || !hx::dns::lookupPref64_n(address, prefix)) continue;
    if (std::find(m_prefixes.begin(), m_prefixes.end(), prefix) == m_prefixes.end()) {
      m_prefixes.push_back(prefix);
    }
  }
  m_found = !m_prefixes.empty();
  m_done = true;
}

bool HXDNSHandler::Dns64Helper::isTestDone() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_done;
}

bool HXDNSHandler::Dns64Helper::found() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_found;
}

std::vector<hx::dns::Pref64> HXDNSHandler::Dns64Helper::prefixes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_prefixes;
}
