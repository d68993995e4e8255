#include "core/net/dns/local_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <set>
#include <thread>

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"

namespace {

constexpr uint64_t kLeadTimeMs = 25;
constexpr int64_t kPoolStopTimeoutMs = 40000;

}  // namespace

std::shared_ptr<HXDNSLocal> HXDNSLocal::create(Listener* listener, uint32_t queueLimit,
                                               uint32_t threadCount) {
  return std::make_shared<LocalResolver>(listener, queueLimit, threadCount);
}

LocalResolver::LocalResolver(Listener* listener, uint32_t queueLimit, uint32_t threadCount,
                             Lookup lookup)
    : HXThreadPool(threadCount, 1, "LocalResolver", kLeadTimeMs, kPoolStopTimeoutMs),
      m_queueLimit(queueLimit),
      m_threadCount(threadCount),
      m_lookup(std::move(lookup)),
      m_listener(listener) {
  HXAutoLock lock(m_lock);
  Start();
  // Registered but not armed: every queryA re-arms it.
  m_jobId =
      ScheduleTask(0, HXCallback::Save(this, &LocalResolver::resolvQuery), 0, "LocalResolver");
  Recycle(m_jobId, true);
}

LocalResolver::~LocalResolver() {
  {
    HXAutoLock lock(m_lock);
    m_queue.clear();
  }
  {
    HXAutoLock report(m_reportLock);
    m_listener = nullptr;
  }
  // The runs use this object's members: they must be over before those go.
  RemoveTask(m_jobId, false, true);
  if (!Stop(stopTimeout())) Wait();
}

bool LocalResolver::queryA(uint32_t requestId, const char* name) {
  if (name == nullptr) return false;
  HXAutoLock lock(m_lock);
  const size_t before = m_queue.size();
  while (!m_queue.empty() && m_queue.size() >= m_queueLimit) m_queue.pop_front();
  m_queue.push_back(Query{requestId, name});
  const uint32_t running = m_running.load();
  if (running < m_threadCount) {
    ReScheduleTask(m_jobId, 0, false, false);
  } else if (before >= m_queueLimit / 2) {
    ios_log("LocalResolver queue len %zu + %u running", m_queue.size(), running);
  }
  return true;
}

void LocalResolver::abandonQuery(uint32_t requestId) {
  HXAutoLock lock(m_lock);
  for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
    if (it->requestId == requestId) {
      m_queue.erase(it);
      return;
    }
  }
}

bool LocalResolver::stop(bool wait) {
  {
    HXAutoLock lock(m_lock);
    m_queue.clear();
  }
  {
    // Waits for a report in progress; later ones find no listener.
    HXAutoLock report(m_reportLock);
    m_listener = nullptr;
  }
  RemoveTask(m_jobId, false, true);  // the job goes with its task once its runs have ended
  const bool ended = Stop(wait ? kStopWaitMs : 0);
  if (!ended) outliveRunningLookups();
  return ended;
}

void LocalResolver::outliveRunningLookups() {
  std::shared_ptr<LocalResolver> self = weak_from_this().lock();
  if (self == nullptr || m_outliving.exchange(true)) return;
  // A system lookup cannot be interrupted. The waiting thread holds the last reference in the
  // end, so the pool is deleted there, once nothing runs on it any more.
  std::thread([self = std::move(self)] { self->Wait(); }).detach();
}

void LocalResolver::resolvQuery() {
  ++m_running;
  for (;;) {
    Query query;
    {
      HXAutoLock lock(m_lock);
      if (m_queue.empty() || IsTermRequest()) {
        // Counted down under the queue lock: a lookup queued after this point sees the run gone
        // and arms the job again, instead of being left in a queue that nobody takes from.
        --m_running;
        return;
      }
      query = std::move(m_queue.front());
      m_queue.pop_front();
    }
    std::vector<std::string> addresses;
    if (m_lookup(query.name.c_str(), addresses)) report(query, addresses);
  }
}

void LocalResolver::report(const Query& query, const std::vector<std::string>& addresses) {
  HXAutoLock report(m_reportLock);
  if (m_listener == nullptr || IsTermRequest()) return;
  m_listener->onQueryAResolvedLocal(query.requestId, query.name, addresses);
}

bool LocalResolver::dns_resolv_A_rec(const char* host, std::vector<std::string>& list) {
  if (host == nullptr) return false;
  addrinfo* results = nullptr;
  if (getaddrinfo(host, nullptr, nullptr, &results) != 0) return false;
  std::set<std::string> found;
  for (const addrinfo* it = results; it != nullptr; it = it->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    const void* address = nullptr;
    if (it->ai_addr == nullptr) continue;
    if (it->ai_family == AF_INET) {
      address = &reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr;
    } else if (it->ai_family == AF_INET6) {
      address = &reinterpret_cast<const sockaddr_in6*>(it->ai_addr)->sin6_addr;
    } else {
      continue;
    }
    if (inet_ntop(it->ai_family, address, text, sizeof text) != nullptr) found.insert(text);
  }
  freeaddrinfo(results);
  if (found.empty()) return false;
  list.assign(found.begin(), found.end());
  return true;
}
