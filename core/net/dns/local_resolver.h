#pragma once
// LocalResolver: the HXDNSLocal pool. One resolving job, registered when the pool is built and
// re-armed for every new lookup while fewer runs than runners are busy, takes lookups from the
// queue oldest first; so up to `threadCount` system lookups run at the same time and their
// reports arrive in the order in which they finish.
//
// Threads: queryA, abandonQuery and stop may be called from any thread. The queue is touched
// only under the queue lock; the system lookup and the listener call happen outside it. A report
// holds the report lock, which stop() takes to detach the listener, so no report reaches the
// listener after stop() returned.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/base/thread_pool.h"
#include "core/net/dns/dns_local.h"

class LocalResolver : public HXDNSLocal,
                      public HXThreadPool,
                      public std::enable_shared_from_this<LocalResolver> {
 public:
  // The system lookup: fills the list and answers whether it found an address. Replaceable so
  // that tests can hold lookups at will.
  using Lookup = std::function<bool(const char* host, std::vector<std::string>& list)>;

  // How long stop(true) waits for lookups in progress before leaving them to finish on their own.
  static constexpr int64_t kStopWaitMs = 3000;

  // Builds and starts the pool. Own it through a shared pointer: stop() relies on that.
  LocalResolver(Listener* listener, uint32_t queueLimit, uint32_t threadCount,
                Lookup lookup = dns_resolv_A_rec);
  ~LocalResolver() override;

  bool queryA(uint32_t requestId, const char* name) override;
  void abandonQuery(uint32_t requestId) override;
  bool stop(bool wait) override;

  // getaddrinfo on `host` with no service and no hints: every IPv4 and IPv6 address found,
  // as unique texts in text order, replaces `list`. False (list unchanged) when none was found.
  static bool dns_resolv_A_rec(const char* host, std::vector<std::string>& list);

 private:
  struct Query {
    uint32_t requestId = 0;
    std::string name;
  };

  // The job: takes queued lookups until the queue is empty or the pool is ending.
  void resolvQuery();
  void report(const Query& query, const std::vector<std::string>& addresses);
  // Keeps the pool alive on a thread of its own until its last run has ended.
  void outliveRunningLookups();

  uint32_t m_jobId = 0;
  const uint32_t m_queueLimit;
  const uint32_t m_threadCount;
  const Lookup m_lookup;
  HXLock m_lock;  // guards the queue
  std::list<Query> m_queue;
  std::atomic<uint32_t> m_running{0};  // runs of the job in progress
  std::atomic<bool> m_outliving{false};
  HXLock m_reportLock;  // guards m_listener and is held during a report
  Listener* m_listener;
};
