#pragma once
// HX_ServersList: decides which server host the client connects to and keeps what it learns
// about hosts. It owns the servers-list database ("serverlist.sqlite" in the working folder), the
// candidate iterator and a discovery engine, and it is that engine's callback.
//
// The transport manager points it at a transport target (setTarget, with a request id), asks for
// the next host to try, feeds it redirects, runs its periodic Update, reports the host it
// connected to, stores the servers list a login returns (SaveEndpoints) and asks for a better
// host; the conference helper asks for the host of a meeting's server (FindMeetingServer).
// Request-scoped calls carry the request id of the last setTarget; a call with another id is
// ignored, so late answers of an abandoned attempt cannot disturb the current one.
//
// Lifetime: always held by a shared pointer (discovery requests hold it weakly). The list, and
// with it the discovery engine, must outlive the check pings they started (at most the check
// limit); the transport session that owns the list is destroyed only after the client object has
// shut the network loop down, which ensures it.
//
// Threads: every public operation may be called from any thread. The list's lock guards the
// iterator and is the discovery engine's lock; long operations copy what they need under it and
// work on the database (which serialises itself) without it. Discovery answers, check answers and
// the recheck job run on the network loop or its worker pool. FindMeetingServer blocks its caller
// for up to its time limit while the answers arrive on the network loop: it must not be called on
// the loop's thread, where it could only time out.

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/conference/conference_type.h"
#include "core/storage/server_list_db.h"
#include "core/transport/discovery.h"
#include "core/transport/domain_servers_list.h"
#include "core/transport/servers_list_iterator.h"
#include "core/wire/endpoint_record.h"
#include "core/wire/transport_connection_param.h"

class HX_TransportTarget;

class HX_ServersList : public hx::servers::DiscoveryCallback,
                       public std::enable_shared_from_this<HX_ServersList> {
 public:
  // The configuration of this list's discovery requests: suffix "#as", both limits 15000 ms.
  class DiscoveryConfigSL : public hx::servers::DiscoveryConfig {
   public:
    DiscoveryConfigSL() { setTimeouts(s_dnsTimeoutMs.load(), s_checkTimeoutMs.load()); }
    // The limits of configurations made afterwards (tests shorten them).
    static void SetDefaultTimeouts(uint64_t dnsMs, uint64_t checkMs) {
      s_dnsTimeoutMs.store(dnsMs);
      s_checkTimeoutMs.store(checkMs);
    }

   private:
    static inline std::atomic<uint64_t> s_dnsTimeoutMs{kDefaultTimeoutMs};
    static inline std::atomic<uint64_t> s_checkTimeoutMs{kDefaultTimeoutMs};
  };

  static constexpr uint64_t kDnsPeriod = 86400;        // s: DNS data are refreshed daily
  static constexpr uint64_t kHelperAge = 604800;       // s
  static constexpr uint32_t kRecheckDelayMs = 600000;  // after a discovery found nothing
  static constexpr uint32_t kDnsQueryLimitMs = 12000;

  // Opens (under the global database lock, read-write, recreated when unusable) the database
  // file at `dir` (a folder ending in "/", or "" for the current one).
  explicit HX_ServersList(const std::string& dir);
  ~HX_ServersList() override;

  std::shared_ptr<HX_ServersListDBFile> getMainDb() const { return m_mainDb; }
  HX_Discovery& discoveryHandler() { return m_discovery; }
  // The database in use: the target's own, or the main one.
  std::shared_ptr<HX_ServersListDB> getCurrentDb() const;

  // The current database becomes the target's (or the main one) and the iterator starts the
  // request `requestId` from the target.
  void setTarget(const HX_TransportTarget& target, uint32_t requestId);

  // The next host to try and its port (see SlIterator::getNextServer).
  std::string GetNextServerList(const char* domain, const char* lastHost, uint16_t& port,
                                bool reset);
  void addRedirect(uint32_t requestId, const std::string& host, uint16_t port);
  // The best stored host of the request's domains by check result; false when there is none or
  // the id is not current.
  bool getBestHost(uint32_t requestId, HXServerEndpoint& out);

  // Refreshes DNS data (cloud targets, daily) and checks the hosts that are due, one discovery
  // request per domain. False when the id is not current or there are no domains. `nextUpdate`,
  // when given, receives the seconds after which the next update has something to do (<= 86400).
  bool Update(uint32_t requestId, bool forced, uint64_t* nextUpdate);
  bool updateDomain(bool useDns, const std::string& domain, bool forced, uint64_t now,
                    uint64_t* nextUpdate);
  bool isDnsUpdateRequired(const std::string& domain, uint64_t now) const;

  // hx::servers::DiscoveryCallback
  void onDiscoveryDone(uint32_t requestId, HXServerEpSetByTarget newHosts,
                       HXServerEpSetByTarget knownFound,
                       HXServerEpSetByTarget knownMissing) override;
  void onConnectivityCheckDone(uint32_t requestId, hx::servers::ConnectivityResults results,
                               HXServerEpSetByTarget failed) override;
  void onHostConnected(uint32_t requestId, const HXServerEndpoint& endpoint,
                       const std::string& resolved) override;
  // The recheck after a discovery that found nothing: runs `config` again unless the domain's
  // DNS data have become fresh meanwhile.
  void onTimeRecheckDNS(std::shared_ptr<hx::servers::DiscoveryConfig> config);

  // Records the connection to `endpoint` (reached at `resolved`); with the current id its domain
  // joins the iterator's domains.
  void SetTransportSessionEp(uint32_t requestId, const HXServerEndpoint& endpoint,
                             const std::string& resolved);
  // The stored row of the host and port.
  bool GetHostDescription(HXServerEndpoint& out, const std::string& host, uint16_t port);
  // Describes the host a finished connection went to (its SID, host, port and domain, and the
  // address it was reached at); false when the description is uncertain.
  bool GetHostDescription(HXServerEndpoint& out, const HX_TransportConnectionParam& connection,
                          const std::string& resolved);

  // Stores a login's servers list; the candidates are rebuilt at the next request. The endpoint
  // of the list that the connection went to when `wantEndpoint`, else a default one.
  HXServerEndpoint SaveEndpoints(const HX_DomainServersList& list,
                                 const HX_TransportConnectionParam& connection,
                                 const char* domainHint, bool wantEndpoint);
  bool updateServerEndpointsList(const std::string& domain, const std::string& serverId,
                                 const HXServerEpList& newHosts,
                                 const HX_TransportConnectionParam& connection,
                                 HXServerEndpoint* out);

  // The host of a meeting's server: the current one when it is that server, else the first of
  // its stored hosts that answers a check ping within `timeLimitMs` (true), else the best stored
  // host or a made-up default (false). Blocks; never call it on the network loop's thread.
  bool FindMeetingServer(HXServerEndpoint& out, const HXServerEndpoint& current,
                         const std::string& domain, const std::string& serverId,
                         uint32_t timeLimitMs, HX_Conference_Type type);
  void onFindServerCheckDone(int round, const char* host, const char* resolved, unsigned short port,
                             unsigned long long ping, const char* domain, const char* serverId,
                             bool flag);

  // One transport endpoint per stored host of the server; false when there is none.
  bool getServerEpList(const std::string& serverId, HX_TransportEndpointList& out);
  void InvalidateServer(const std::string& serverId);
  void InvalidateHostPort(const std::string& domain, const std::string& host, uint16_t port);

  // Emitted after a host reported in forced mode has been recorded.
  hx::Signal0<void> updated;

 private:
  uint64_t now() const;

  // The lock comes first: the discovery engine uses it until the engine is gone.
  mutable HXLock m_lock;
  HX_Discovery m_discovery{m_lock};
  hx::servers::SlIterator m_iterator;
  std::shared_ptr<HX_ServersListDBFile> m_mainDb;
  std::shared_ptr<HX_ServersListDB> m_db;
  HXEvent m_found{false};
  std::atomic<uint32_t> m_round{0};
  // The round check, the write and the read of the found endpoint form one critical section:
  // a late answer of a round must not write while the searcher reads or the next search drops it.
  HXLock m_foundLock;
  std::unique_ptr<HXServerEndpoint> m_foundEndpoint;
};
