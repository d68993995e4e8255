#pragma once
// Server discovery: finds the server hosts of a domain in DNS and checks which of them answer.
//
// A request runs in up to two phases. DNS discovery (mode bit 1): an SRV lookup of the domain's
// default server name ("vcs2.tcp." and the domain), falling back after the DNS time limit (or on
// an empty answer) to an A/AAAA lookup of the same name; the hosts found are reported with
// onDiscoveryDone (new hosts, known hosts found again, known hosts missing). Connectivity
// checking (mode bit 2): a check ping to every host of the check set; the answers are reported
// with onConnectivityCheckDone (results with their resolved addresses, failed hosts) when all
// answered or at the check time limit. Forced mode (bit 4) also reports each answering host at
// once (onHostConnected).
//
// Requests hold their callback weakly: a callback that has gone ends its requests silently.
// Removing a request does not stop its lookups or pings; their answers find nothing.
//
// Threads: requests start on the caller's thread; DNS and check answers arrive on the network
// loop; time-outs and reports run on the loop's worker pool. Every state change happens under
// the engine's lock (the owner's lock, given at construction); callbacks run with it released,
// so they may call back into the engine. The engine must outlive the check pings it started
// (at most the check limit of HXCheckSrvHandshakeSimple): its owner keeps it until the network
// loop has been shut down. Scheduled steps of a destroyed engine do nothing.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/base/observer_registry.h"
#include "core/net/loop/dns_callback.h"
#include "core/wire/server_endpoint.h"
#include "core/wire/server_names.h"

namespace hx::servers {

class DiscoveryConfig {
 public:
  enum Mode : uint32_t { eDns = 1, eCheck = 2, eForced = 4 };
  static constexpr uint64_t kDefaultTimeoutMs = 15000;

  virtual ~DiscoveryConfig() = default;

  // DNS discovery of `domain` (mode gets bit 1); the check set is emptied. Always true.
  bool discovery(const std::string& domain, const std::string& suffix, uint32_t mode);
  // Checks of a copy of `hosts`; the mode is replaced. Always true.
  bool checkHosts(const std::string& domain, const HXServerEpSetByTarget& hosts, uint32_t mode);
  // Adds hosts to the check set and, when there are any, turns checking on.
  void addCheckHosts(const HXServerEpSetByTarget& hosts);
  void setPortList(const std::list<uint16_t>& ports) { portList = ports; }
  void setServerSuffix(const std::string& suffix) { serverSuffix = suffix; }
  void setTimeouts(uint64_t dnsMs, uint64_t checkMs) {
    dnsTimeoutMs = dnsMs;
    checkTimeoutMs = checkMs;
  }

  std::string domain;
  uint32_t mode = 0;
  HXServerEpSetByTarget checkSet;
  std::list<uint16_t> portList;
  std::string serverSuffix = DefaultSuffixAs;
  uint64_t dnsTimeoutMs = kDefaultTimeoutMs;
  uint64_t checkTimeoutMs = kDefaultTimeoutMs;
};

namespace callback {
// The extra of one connectivity result: the address the check ping reported for the host.
struct StickyInfo {
  std::string resolved;
};
}  // namespace callback

using ConnectivityResults = HXServerEpMapByTarget<callback::StickyInfo>;

class DiscoveryCallback {
 public:
  virtual ~DiscoveryCallback() = default;
  virtual void onDiscoveryDone(uint32_t requestId, HXServerEpSetByTarget newHosts,
                               HXServerEpSetByTarget knownFound,
                               HXServerEpSetByTarget knownMissing) = 0;
  virtual void onConnectivityCheckDone(uint32_t requestId, ConnectivityResults results,
                                       HXServerEpSetByTarget failed) = 0;
  virtual void onHostConnected(uint32_t requestId, const HXServerEndpoint& endpoint,
                               const std::string& resolved) = 0;
};

class DiscoveryImpl : public HXDnsCallback {
 public:
  enum RequestState : uint32_t {
    eCreated = 0,
    eSrvLookup = 1,
    eALookup = 2,
    eDnsDone = 3,
    eDnsReporting = 4,
    eDnsReported = 5,
    eChecking = 6,
    eChecksDone = 7,
    eCheckReporting = 8,
    eFinished = 9,
  };

  struct RequestConfig {
    std::shared_ptr<DiscoveryConfig> config;
  };

  class Request : public hx::CallbackWrapper<DiscoveryCallback> {
   public:
    Request(std::weak_ptr<DiscoveryCallback> callback, std::shared_ptr<DiscoveryConfig> config)
        : hx::CallbackWrapper<DiscoveryCallback>(std::move(callback)), config(std::move(config)) {}

    std::shared_ptr<DiscoveryConfig> config;
    uint32_t state = eCreated;
    HXServerEpSetByTarget hosts;  // found by DNS, later the hosts being checked
    ConnectivityResults results;
  };

  class ObserversHolder
      : public hx::ObserverWeakLockedMulti<Request, DiscoveryCallback, RequestConfig> {
   public:
    explicit ObserversHolder(DiscoveryImpl& owner) : m_owner(owner) {}

   protected:
    std::shared_ptr<Request> createCallbackData(std::weak_ptr<DiscoveryCallback> callback,
                                                const RequestConfig& param) override;
    bool beforeErase(uint32_t id, Request& request) override;

   private:
    DiscoveryImpl& m_owner;
  };

  explicit DiscoveryImpl(HXLock& lock);
  ~DiscoveryImpl() override;
  DiscoveryImpl(const DiscoveryImpl&) = delete;
  DiscoveryImpl& operator=(const DiscoveryImpl&) = delete;

  // HXDnsCallbackBase
  void OnCallbackQueryA(const std::string& name, const std::vector<std::string>& list) override;
  void OnCallbackQuerySRV(const std::string& domain, const HXServerEpSetByTarget& servers) override;

  // The check pings' result signal.
  void onServerCheckDone(int id, const char* host, const char* resolved, unsigned short port,
                         unsigned long long ping, const char* domain, const char* serverId,
                         bool flag);

 protected:
  // Advances request `id` by its state.
  void processNL(uint32_t id);
  void resolvSRVNL(uint32_t id, Request& request);
  void resolvArecNL(uint32_t id, Request& request);
  // Stores an A answer in every request pending for `domain` that is in the A phase.
  void applyAddressesNL(const std::string& domain, const std::vector<std::string>& list);
  void checkHostsNL(uint32_t id, Request& request);
  void notifyDiscoveryRes(uint32_t id);
  void notifyConnectivityRes(uint32_t id);
  // Runs `step` (id) on the worker pool after `delayMs` unless the engine is gone by then.
  void schedule(uint32_t id, uint64_t delayMs, const char* name,
                void (DiscoveryImpl::*step)(uint32_t));
  void onSrvTimeout(uint32_t id);
  void onArecTimeout(uint32_t id);
  void onCheckTimeout(uint32_t id);
  void removePendingNL(uint32_t id, const std::string& domain);

  // Whether this engine still lives, for steps that were scheduled before it went.
  struct Life {
    std::recursive_mutex mutex;
    bool alive = true;
  };

  HXLock& m_lock;
  std::multimap<std::string, uint32_t> m_pendingSrv;
  ObserversHolder m_requests{*this};
  std::shared_ptr<Life> m_life = std::make_shared<Life>();
};

}  // namespace hx::servers

class HX_Discovery : public hx::servers::DiscoveryImpl {
 public:
  using hx::servers::DiscoveryImpl::DiscoveryImpl;

  // Registers a request and advances it; its id, or 0 when it is already gone (mode 0) or could
  // not be registered. The configuration's domain is lower-cased first.
  uint32_t runRequest(std::shared_ptr<hx::servers::DiscoveryConfig> config,
                      std::weak_ptr<hx::servers::DiscoveryCallback> callback);
  // DNS discovery only, server ids with the suffix "#vcs".
  uint32_t discovery(const std::string& domain,
                     std::weak_ptr<hx::servers::DiscoveryCallback> callback);
  std::shared_ptr<hx::servers::DiscoveryConfig> getConfig(uint32_t requestId) const;
  void removeRequest(uint32_t requestId);
  // Sets where the id sequence stands (tests of the wrap-around).
  void setRequestSequence(uint32_t value);
};
