#pragma once
// Decides how one TCP connection reaches its target: directly when the target is local (loopback,
// link-local or on the subnet of one of the device's interfaces), through the proxy that served
// the same target last time, through the first usable proxy of the proxy list, or directly when
// no proxy applies. It resolves the target and the proxies with the core's DNS client and hands
// the chosen configuration to onProxyFound.
//
// Threads: the lookup starts on the caller's thread; deferred DNS answers arrive on the loop's or
// a resolver's thread. The owner serialises the two (HXZTcpProxyHandler holds its lock around
// both).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/net/address/sock_addr.h"
#include "core/net/loop/dns_callback.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/proxy/proxy_list_iterator.h"

class HXZAEndpointHolder;
class HX_ProxyList;

class HX_ProxySelector : public HXDnsCallback {
 public:
  HX_ProxySelector();
  ~HX_ProxySelector() override;

  bool AsyncQuerySupported() override { return true; }
  void OnCallbackQueryA(const char*, const char*) override {}
  // A deferred answer for the target or for the candidate proxy.
  void OnCallbackQueryA(const std::string& host, const std::vector<std::string>& list) override;

  // Receives the chosen configuration; `ok` false when there is nothing to connect to.
  virtual bool onProxyFound(std::shared_ptr<hx::netproxy::Config> config, bool ok) = 0;

  // Starts choosing for `target`. True when a configuration was handed over already or answers
  // are awaited; false when there is no target or the hand-over failed.
  bool lookupProxyConfig(std::shared_ptr<HXZAEndpointHolder> target);
  // Withdraws from the DNS client: later answers are dropped.
  void stop();
  // Hands `config` over (withdrawing from the DNS client first).
  bool proxyFound(std::shared_ptr<hx::netproxy::Config> config, bool ok);

 protected:
  const std::shared_ptr<HXZAEndpointHolder>& getTarget() const { return m_target; }

 private:
  // Flag bits.
  static constexpr uint8_t kProxyResolved = 0x01;
  static constexpr uint8_t kTargetResolved = 0x02;
  static constexpr uint8_t kTargetLocal = 0x04;

  // Where the candidate came from.
  enum Stage : int32_t { stageNone = 0, stageHandedOver = 1, stageCached = 2, stageListWalk = 3 };

  void onTargetResolved(const std::vector<std::string>& texts);
  // Keeps only the local target addresses when there are any; true when there were.
  bool keepLocalTargets();
  bool processLookup();
  bool connectDirect();
  bool checkCached(HX_ProxyList& list);
  bool checkProxy(HX_ProxyList& list);
  // Takes `config` as the new candidate; its addresses are still to be resolved.
  void takeCandidate(std::shared_ptr<hx::netproxy::Config> config, Stage stage);
  void dropCandidate();
  // Looks the candidate's host up; an immediate answer fills the proxy addresses.
  void resolveCandidate();
  // Appends a socket address per address text, with the target's protocol and `port`.
  void resolveInto(std::vector<HXSockAddr>& out, const std::vector<std::string>& texts,
                   uint16_t port) const;
  // A lookup through the loop's DNS client; true with `answer` filled when it was immediate.
  bool lookup(const std::string& name, std::vector<std::string>& answer);

  std::shared_ptr<HXZAEndpointHolder> m_target;
  std::shared_ptr<hx::netproxy::Config> m_candidate;
  uint8_t m_flags = 0;
  hx::netproxy::ProxyListIterator m_position;
  Stage m_stage = stageNone;
  std::vector<HXSockAddr> m_proxyAddrs;
  std::vector<HXSockAddr> m_targetAddrs;
};
