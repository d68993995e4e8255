// The DNS client's bookkeeping of finished queries and requests: failure reports, the expiry
// pass, the deadline timer and the delivery of callbacks.

#include <algorithm>
#include <limits>

#include "core/net/dns/dns64_helper.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/dns/dns_socket.h"

void HXDNSHandler::removeNsQueryLock(uint32_t sequence) {
  Notices notices;
  {
    HXAutoLock lock(m_lock);
    const auto query = m_queries.find(sequence);
    if (query == m_queries.end()) return;
    const uint32_t requestId = query->second.request->id;
    removeQuery(sequence);
    const auto found = m_requests.find(requestId);
    if (found == m_requests.end()) return;
    const RequestPtr request = found->second;
    if (request->callback != nullptr && request->systemLookupPending) return;
    if (hasNsQueries(*request)) return;
    m_requests.erase(found);
    takeFailure(request, notices);
  }
  deliver(notices);
  HXAutoLock lock(m_lock);
  if (dns64TestsInProgress()) dns64CheckTestEnd();
}

void HXDNSHandler::removeQuery(uint32_t sequence) {
  const auto query = m_queries.find(sequence);
  if (query == m_queries.end()) return;
  const auto range = m_idIndex.equal_range(query->second.messageId);
  for (auto it = range.first; it != range.second;) {
    it = it->second == sequence ? m_idIndex.erase(it) : std::next(it);
  }
  m_queries.erase(query);  // its send-queue entry is dropped when the sender meets it
}

void HXDNSHandler::removeNsQueries(const ClientRequest& request) {
  // The queries of one request have consecutive sequence numbers from its first one.
  for (auto it = m_queries.lower_bound(request.firstSequence);
       it != m_queries.end() && it->second.request == &request;) {
    const uint32_t sequence = it->first;
    ++it;
    removeQuery(sequence);
  }
}

bool HXDNSHandler::hasNsQueries(const ClientRequest& request) const {
  const auto it = m_queries.lower_bound(request.firstSequence);
  return it != m_queries.end() && it->second.request == &request;
}

void HXDNSHandler::expireQueries() {
  Notices notices;
  bool expired = false;
  {
    HXAutoLock lock(m_lock);
    const int64_t current = now();
    for (auto it = m_requests.begin(); it != m_requests.end();) {
      if (current < it->second->deadline) {
        ++it;
        continue;
      }
      removeNsQueries(*it->second);
      takeFailure(it->second, notices);
      it = m_requests.erase(it);
      expired = true;
    }
  }
  deliver(notices);
  if (!expired) return;
  HXAutoLock lock(m_lock);
  if (dns64TestsInProgress()) dns64CheckTestEnd();
}

void HXDNSHandler::failAllRequests() {
  Notices notices;
  {
    HXAutoLock lock(m_lock);
    for (const auto& [id, request] : m_requests) takeFailure(request, notices);
    m_requests.clear();
    m_queries.clear();
    m_idIndex.clear();
    m_sendQueue.clear();
    m_dns64Tests.clear();
  }
  deliver(notices);
}

void HXDNSHandler::takeFailure(const RequestPtr& request, Notices& notices) {
  if (request->callback == nullptr) return;
  takeNotice(request, notices, {}, {});
}

void HXDNSHandler::takeNotice(const RequestPtr& request, Notices& notices,
                              std::vector<std::string> addresses, HXServerEpSetByTarget servers) {
  // Registered together with the detachment, under the client's lock: a revocation either
  // still finds the callback in its request or finds this call in the register.
  Deliveries::iterator delivery;
  {
    std::lock_guard<std::mutex> lock(m_deliveryMutex);
    delivery = m_deliveries.insert(m_deliveries.end(), Delivery{request->callback});
  }
  notices.push_back(
      Notice{request->callback, request, std::move(addresses), std::move(servers), delivery});
  request->callback = nullptr;
}

void HXDNSHandler::deliver(Notices& notices) {
  for (Notice& notice : notices) {
    {
      std::lock_guard<std::mutex> lock(m_deliveryMutex);
      if (notice.delivery->revoked) {
        m_deliveries.erase(notice.delivery);
        continue;
      }
      notice.delivery->running = true;
      notice.delivery->thread = std::this_thread::get_id();
    }
    call(notice);
    {
      std::lock_guard<std::mutex> lock(m_deliveryMutex);
      m_deliveries.erase(notice.delivery);
    }
    m_deliveryEnded.notify_all();
  }
}

void HXDNSHandler::call(const Notice& notice) {
  if (!notice.callback->AsyncQuerySupported()) return;
  const ClientRequest& request = *notice.request;
  if (request.type == kRequestSrv) {
    notice.callback->OnCallbackQuerySRV(request.domain, notice.servers);
  } else if (request.listForm) {
    notice.callback->OnCallbackQueryA(request.name, notice.addresses);
  } else {
    notice.callback->OnCallbackQueryA(
        request.name.c_str(),
        notice.addresses.empty() ? nullptr : notice.addresses.front().c_str());
  }
}

void HXDNSHandler::revokeCallback(HXDnsCallbackBase* callback) {
  {
    HXAutoLock lock(m_lock);
    for (const auto& [id, request] : m_requests) {
      if (request->callback == callback) request->callback = nullptr;
    }
  }
  // Calls detached before: those not started are dropped, those running elsewhere waited for.
  // A call running on this thread is the caller's own frame (a callback revoking itself).
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(m_deliveryMutex);
  for (Delivery& delivery : m_deliveries) {
    if (delivery.callback == callback && !delivery.running) delivery.revoked = true;
  }
  m_deliveryEnded.wait(lock, [&] {
    for (const Delivery& delivery : m_deliveries) {
      if (delivery.callback == callback && delivery.running && delivery.thread != self) {
        return false;
      }
    }
    return true;
  });
}

void HXDNSHandler::armDeadlineTimer(int64_t deadline) {
  HXDNSSocket* socket = timerSocket();
  if (socket == nullptr || (m_timerArmed && m_timerDue <= deadline)) return;
  m_timerArmed = true;
  m_timerDue = deadline;
  const int64_t delay =
      std::clamp<int64_t>(deadline - now(), 0, std::numeric_limits<uint32_t>::max());
  socket->startTimer(kDeadlineTimer, static_cast<uint32_t>(delay));
}

void HXDNSHandler::armNextDeadline() {
  if (m_requests.empty()) return;
  int64_t earliest = std::numeric_limits<int64_t>::max();
  for (const auto& [id, request] : m_requests) earliest = std::min(earliest, request->deadline);
  armDeadlineTimer(earliest);
}
