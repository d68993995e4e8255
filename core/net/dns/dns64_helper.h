#pragma once
// HXDNSHandler::Dns64Helper: one DNS64 test, the callback of the AAAA lookup of
// "ipv4only.arpa" sent to one name server. Its answer tells whether that server synthesises
// addresses and with which prefixes (RFC 7050).
//
// Threads: the answer may arrive on any thread while the client reads the result under its own
// lock on another; the helper guards its fields with a mutex of its own.

#include <mutex>
#include <string>
#include <vector>

#include "core/net/dns/dns64_prefix.h"
#include "core/net/dns/dns_handler.h"

class HXDNSHandler::Dns64Helper : public HXDnsCallback {
 public:
  using Pref64 = hx::dns::Pref64;

  bool AsyncQuerySupported() override { return true; }
  // Every IPv6 address of the answer that shows a prefix adds it; an empty list (the lookup
  // failed) only ends the test. Ignored once the test is done.
  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const std::string& name, const std::vector<std::string>& list) override;

  bool isTestDone() const;
  // At least one prefix was found.
  bool found() const;
  std::vector<Pref64> prefixes() const;

 private:
  mutable std::mutex m_mutex;
  bool m_found = false;
  std::vector<Pref64> m_prefixes;
  bool m_done = false;
};
