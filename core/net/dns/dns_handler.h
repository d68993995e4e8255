#pragma once
// HXDNSHandler: the client core's own DNS client. For every lookup it asks all usable name
// servers at once over UDP (an A and an AAAA query each, or one SRV query with an EDNS0 record),
// asks the system resolver in parallel for address lookups, and delivers the first non-empty
// answer. Addresses are cached for their TTL, at most a minute, and handed out in turn. On
// networks with NAT64 it finds the prefix through "ipv4only.arpa" and synthesises IPv6
// addresses for IPv4 answers and IPv4 literals. Built-in fallback servers (a deployment setting,
// name_server_settings.h) are asked only while the fallback switch is on.
//
// The network loop owns the client: its thread creates it when it starts and deletes it when it
// ends; everyone else reaches it through the loop's static forwarders. The client has no name
// servers and sends nothing until the first Rebind and SetLocalServersList.
//
// Only answers from the queried server's address and port (scope included) are taken, and
// message ids are random. Every lookup has a deadline that fires by itself on the loop's thread.
//
// Threads: the lookups, revokeCallback, enableKvoDns, Rebind, SetLocalServersList and stop may be
// called from any thread; socket events arrive on the loop's thread, system-resolver answers on
// the pool's threads. One recursive lock guards every member except the state flags, the request
// id counter and the fallback switch, which are atomic. Callbacks are always called with the
// lock released, after they were detached from their request under it: answers of name servers
// and deadline failures on the loop's thread (or on the thread of a lookup call whose expiry pass
// found a due request), answers of the system resolver on a pool thread.
//
// Between its detachment and its call a callback call is registered (a second, innermost lock
// guards the register, which is never held while a callback runs). revokeCallback drops the
// registered calls of the callback that have not started and waits for those that run on other
// threads, so a revoked callback is never called once revokeCallback has returned. A callback may
// use the client while it is being called (start lookups, revoke itself or others); whoever
// revokes or destroys a callback must not hold a lock that the callback's answer methods take.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/base/lock.h"
#include "core/net/address/sock_addr.h"
#include "core/net/dns/address_cache.h"
#include "core/net/dns/dns64_prefix.h"
#include "core/net/dns/dns_answer.h"
#include "core/net/dns/dns_local.h"
#include "core/net/dns/dns_message.h"
#include "core/net/dns/name_server_settings.h"
#include "core/net/loop/dns_callback.h"
#include "core/wire/server_endpoint.h"

class HXDNSSocket;

class HXDNSHandler : public HXDNSLocal::Listener {
 public:
  using ServerList = hx::dns::NameServerList;
  using CachedARec = hx::dns::CachedARec;
  using CachedARecSet = hx::dns::CachedARecSet;

  // State flags.
  static constexpr uint32_t kBound4 = 0x1;
  static constexpr uint32_t kBound6 = 0x2;
  static constexpr uint32_t kUnavailable4 = 0x4;
  static constexpr uint32_t kUnavailable6 = 0x8;
  static constexpr uint32_t kLocalListGiven = 0x10;

  // Request types: an address lookup (A and AAAA queries), an SRV lookup, a DNS64 test.
  static constexpr uint16_t kRequestAddress = 1;
  static constexpr uint16_t kRequestSrv = 33;
  static constexpr uint16_t kRequestDns64Test = 28;

  // Timers of the first socket.
  static constexpr unsigned kDeadlineTimer = 1;
  static constexpr unsigned kRebindTimer = 2;
  // Retries of a bind that failed on both families wait this long, doubling up to the maximum.
  static constexpr uint32_t kRebindFirstDelayMs = 1000;
  static constexpr uint32_t kRebindMaxDelayMs = 60000;
  static constexpr int64_t kDns64TestTimeMs = 5000;
  static constexpr size_t kMessageSize = 4096;

  struct NameServer {
    static constexpr uint32_t kDns64 = 0x1;
    static constexpr uint32_t kKvoDns = 0x2;

    std::vector<hx::dns::Pref64> pref64;  // filled when DNS64 was detected here
    uint32_t flags = 0;
    std::string address;  // as configured
    HXSockAddr sockAddr;
    uint32_t id = 0;

    bool isDns64() const { return (flags & kDns64) != 0; }
    void setDns64() { flags |= kDns64; }
    bool isKvoDns() const { return (flags & kKvoDns) != 0; }
    void setKvoDns() { flags |= kKvoDns; }
  };

  class Dns64Helper;

  struct ClientRequest {
    uint32_t id = 0;
    int64_t deadline = 0;  // tick ms
    uint32_t firstSequence = 0;
    std::string name;    // as the caller gave it
    std::string domain;  // SRV lookups: reported back to the callback
    uint16_t type = kRequestAddress;
    bool systemLookupPending = false;
    HXDnsCallbackBase* callback = nullptr;  // null once answered or withdrawn
    std::string asciiName;                  // the punycode form when it differs from the name
    bool listForm = false;
    // A DNS64 test's own callback, kept alive while an answer is being delivered to it.
    std::shared_ptr<Dns64Helper> dns64Test;

    const std::string& queryName() const { return asciiName.empty() ? name : asciiName; }
  };

  struct NsQuery {
    ClientRequest* request = nullptr;  // the request outlives its queries
    std::vector<uint8_t> message;
    uint16_t messageId = 0;
    uint32_t serverId = 0;
    size_t sent = 0;  // bytes already sent
  };

  // Creates both sockets (unbound) and the system-resolver pool; on the loop's thread.
  HXDNSHandler();
  // On the loop's thread: fails the lookups still pending and hands the sockets back.
  ~HXDNSHandler() override;
  HXDNSHandler(const HXDNSHandler&) = delete;
  HXDNSHandler& operator=(const HXDNSHandler&) = delete;

  // One address of a cached or numeric name at once (in turn, when there are several) and no
  // callback; else "" and the answer comes later: OnCallbackQueryA (name, address or null).
  std::string QueryA(const std::string& name, HXDnsCallbackBase* callback, uint32_t timeLimitMs);
  // As QueryA, but true with every address appended to `list` (in text order); the later answer
  // comes to the list form of OnCallbackQueryA (empty list: failure).
  bool QueryAMulti(const std::string& name, HXDnsCallbackBase* callback,
                   std::vector<std::string>& list, uint32_t timeLimitMs);
  // Always starts a lookup (SRV answers are not cached): OnCallbackQuerySRV (domain, servers;
  // an empty set on failure). Returns true.
  bool QuerySRV(const std::string& service, const std::string& domain, HXDnsCallbackBase* callback,
                uint32_t timeLimitMs);
  // No answer reaches `callback` after this returned: answers not yet started are dropped, and
  // one being delivered on another thread is waited for. Called from inside one of the
  // callback's own answers, it returns at once and only that answer is still running.
  void revokeCallback(HXDnsCallbackBase* callback);
  // The fallback switch; read whenever a server list for a lookup or a DNS64 test is prepared.
  void enableKvoDns(bool on) { m_kvoDns.store(on); }
  // Forgets the local server list and rebinds both sockets; the server set is rebuilt once both
  // have reported and a list was given again. Returns true.
  bool Rebind();
  // Stores the servers (address text, port) and rebuilds the server set when both sockets have
  // reported. Returns true.
  bool SetLocalServersList(const ServerList& servers);
  // Ends socket and pool use (waiting a bounded time for the pool) and fails pending lookups.
  void stop();

  void onQueryAResolvedLocal(uint32_t requestId, const std::string& name,
                             const std::vector<std::string>& addresses) override;

  // Socket side, on the loop's thread.
  void socketBound(int family, bool ok);
  void socketFailed();
  void sendNext(HXDNSSocket* socket);
  // One datagram from `from`.
  void ParseQueryHelper(const uint8_t* data, size_t length, const HXSockAddr& from);
  void onSocketTimer(unsigned id);

 private:
  using RequestPtr = std::shared_ptr<ClientRequest>;

  // A callback call between its detachment and its end, in the register of such calls.
  struct Delivery {
    HXDnsCallbackBase* callback = nullptr;
    bool revoked = false;  // revoked before it started: it is never made
    bool running = false;
    std::thread::id thread;  // where it runs
  };
  using Deliveries = std::list<Delivery>;

  // A callback call prepared under the lock and made after it.
  struct Notice {
    HXDnsCallbackBase* callback = nullptr;
    RequestPtr request;
    std::vector<std::string> addresses;  // address lookups; empty = failure
    HXServerEpSetByTarget servers;       // SRV lookups; empty = failure
    Deliveries::iterator delivery;       // its entry in the register
  };
  using Notices = std::vector<Notice>;

  // Binding and the server set (under the lock).
  void rebindInt();
  void rebindKeepingServers();
  void setupServersList();
  void resendPendingRequests();
  void scheduleRebindRetry();
  std::vector<uint32_t> prepareLocalServersList();
  uint32_t getNextSequence(size_t count) const;
  uint32_t getClReqUuid();
  HXDNSSocket* socketOfFamily(uint8_t family) const;
  HXDNSSocket* timerSocket() const;

  // Lookups (under the lock).
  RequestPtr queryACommon(const std::string& name, const std::string& asciiName,
                          HXDnsCallbackBase* callback, uint32_t timeLimitMs, bool listForm);
  uint32_t queueAddressQueries(ClientRequest& request, const std::vector<uint32_t>& servers,
                               uint32_t sequence);
  uint32_t queueSrvQueries(ClientRequest& request, const std::vector<uint32_t>& servers,
                           uint32_t sequence);
  bool InsertQueryHelperA(uint32_t sequence, ClientRequest& request, uint16_t type,
                          const NameServer& server);
  bool InsertQueryHelperSRV(uint32_t sequence, ClientRequest& request, const NameServer& server);
  bool insertQueryCommon(uint32_t sequence, NsQuery&& query, const NameServer& server);
  void enterRequest(const RequestPtr& request);
  bool getARecNumeric(const std::string& name);
  bool isNSAddr(const HXIpAddress& address) const;

  // Answers.
  const NameServer* serverOfSender(const HXSockAddr& from) const;
  void SetupQueryHelperA(const hx::dns::DnsAnswer& answer, uint32_t serverId);
  void SetupQueryHelperSRV(const hx::dns::DnsAnswer& answer, uint32_t serverId);
  void finishFailedQuery(uint16_t messageId, uint32_t serverId);
  // The sequence of the first query with this id from this server whose request is of one of
  // the types (and, when `name` is given, asks for that name); 0 when none.
  uint32_t lookupNsQueryByNsReqId(uint16_t messageId, uint32_t serverId, bool srv,
                                  const std::string* name) const;
  void cacheAnswerAddress(const ClientRequest& request, const NameServer* server,
                          const hx::dns::AddressAnswer& address, std::vector<std::string>& list);

  // Finishing queries and requests.
  void removeNsQueryLock(uint32_t sequence);
  void removeQuery(uint32_t sequence);
  void removeNsQueries(const ClientRequest& request);
  bool hasNsQueries(const ClientRequest& request) const;
  void expireQueries();
  void failAllRequests();
  void takeFailure(const RequestPtr& request, Notices& notices);
  // Detaches the request's callback into a registered notice (under the lock).
  void takeNotice(const RequestPtr& request, Notices& notices, std::vector<std::string> addresses,
                  HXServerEpSetByTarget servers);
  // Makes the calls of the notices that were not revoked, and empties the register of them.
  void deliver(Notices& notices);
  // One notice's call (no lock held).
  static void call(const Notice& notice);
  void armDeadlineTimer(int64_t deadline);
  void armNextDeadline();

  // DNS64.
  void dns64RunTest();
  void dns64CheckAnswer(const ClientRequest& request, uint32_t serverId);
  void dns64CheckTestEnd();
  bool dns64TestsInProgress() const { return !m_dns64Tests.empty(); }

  static int64_t now();

  std::atomic<uint32_t> m_flags{0};
  std::atomic<uint32_t> m_requestIds{0};
  std::atomic<bool> m_kvoDns{false};

  HXLock m_lock;
  hx_res_state m_resState;
  std::map<uint32_t, std::shared_ptr<Dns64Helper>> m_dns64Tests;  // by request id
  std::map<uint32_t, NameServer> m_servers;                       // by server id
  ServerList m_localServers;
  hx::dns::AddressCache m_cache;
  std::vector<uint32_t> m_dns64Servers;
  std::list<uint32_t> m_sendQueue;  // query sequences, oldest first
  std::map<uint32_t, RequestPtr> m_requests;
  std::map<uint32_t, NsQuery> m_queries;        // by sequence
  std::multimap<uint16_t, uint32_t> m_idIndex;  // message id -> sequence
  uint32_t m_sequence = 0;
  std::mt19937 m_random;
  HXDNSSocket* m_socket4 = nullptr;
  HXDNSSocket* m_socket6 = nullptr;
  std::shared_ptr<HXDNSLocal> m_local;
  bool m_timerArmed = false;
  int64_t m_timerDue = 0;        // when the armed deadline timer fires
  uint32_t m_rebindDelayMs = 0;  // the next retry's delay; 0: no bind failure in a row

  // The register of callback calls; its lock is taken under m_lock, never the other way round.
  std::mutex m_deliveryMutex;
  std::condition_variable m_deliveryEnded;
  Deliveries m_deliveries;
};
