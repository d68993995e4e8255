#pragma once
// HXDNSLocal: the system resolver (getaddrinfo) behind a small queue, asked by the DNS client in
// parallel with its own queries. Lookups are (request id, name) pairs; only successful ones are
// reported, to the listener, on one of the pool's threads.
//
// Ownership is shared: a pool whose stop could not wait for a lookup blocked inside the system
// resolver keeps itself alive until that lookup returns, and then goes away by itself.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class HXDNSLocal {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // A lookup found at least one address; `addresses` are texts in text order.
    virtual void onQueryAResolvedLocal(uint32_t requestId, const std::string& name,
                                       const std::vector<std::string>& addresses) = 0;
  };

  virtual ~HXDNSLocal() = default;

  // Queues a lookup; false for a null name. A full queue drops its oldest lookup unreported.
  virtual bool queryA(uint32_t requestId, const char* name) = 0;
  // Withdraws the first queued lookup with this id (one already running is not stopped).
  virtual void abandonQuery(uint32_t requestId) = 0;
  // Ends the pool: the queue is emptied and the listener hears nothing more once this returns.
  // With `wait`, waits a bounded time for lookups in progress. True when the pool has ended.
  virtual bool stop(bool wait) = 0;

  // A started pool of `threadCount` runners with a queue of at most `queueLimit` lookups.
  // The listener must outlive the pool's stop() (or the pool, when it is never stopped).
  static std::shared_ptr<HXDNSLocal> create(Listener* listener, uint32_t queueLimit,
                                            uint32_t threadCount);
};
