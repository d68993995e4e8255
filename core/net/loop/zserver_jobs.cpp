// Jobs: the worker pool's background jobs, network jobs on the loop's thread, and the release
// of connects that waited for an address.

#include "core/base/stored_task.h"
#include "core/base/thread_pool.h"
#include "core/net/address/native_address_text.h"
#include "core/net/loop/zserver.h"

using hx::zcmd::CallbackMessage;
using hx::zcmd::SimpleMessage;

namespace {

constexpr uint32_t kUrgentQueue = 0;
constexpr uint32_t kNormalQueue = 1;

// A due tick of 0 means "not armed" to the scheduler; the first millisecond of the clock must
// still arm.
uint64_t armedDue(uint64_t tick) { return tick != 0 ? tick : 1; }

uint32_t scheduleOn(HXThreadPool* pool, HXStoredTask* task, uint64_t due, uint32_t queue,
                    const char* name) {
  if (pool == nullptr) {
    if (task != nullptr && task->IsAutoDelete()) delete task;
    return 0;
  }
  return pool->ScheduleTask(due, task, queue, name);
}

}  // namespace

uint32_t HXZServer::ScheduleJob(HXStoredTask* task, uint32_t delay_ms, const char* name) {
  HXThreadPool* pool = m_Instance != nullptr ? m_Instance->m_pool.get() : nullptr;
  return scheduleOn(pool, task, armedDue(now() + delay_ms), kNormalQueue, name);
}

uint32_t HXZServer::ScheduleJob(HXStoredTask* task, const std::string& name) {
  HXThreadPool* pool = m_Instance != nullptr ? m_Instance->m_pool.get() : nullptr;
  return scheduleOn(pool, task, 0, kNormalQueue, name.c_str());
}

uint32_t HXZServer::ScheduleUrgentJob(HXStoredTask* task, uint32_t delay_ms, const char* name) {
  HXThreadPool* pool = m_Instance != nullptr ? m_Instance->m_pool.get() : nullptr;
  return scheduleOn(pool, task, armedDue(now() + delay_ms), kUrgentQueue, name);
}

uint32_t HXZServer::ScheduleUrgentJob(HXStoredTask* task, const std::string& name) {
  HXThreadPool* pool = m_Instance != nullptr ? m_Instance->m_pool.get() : nullptr;
  return scheduleOn(pool, task, 0, kUrgentQueue, name.c_str());
}

int HXZServer::ReScheduleJob(uint32_t id, uint32_t delay_ms, bool cancel_pending, bool wait) {
  if (m_Instance == nullptr) return -1;
  return m_Instance->m_pool->ReScheduleTask(id, armedDue(now() + delay_ms), cancel_pending, wait);
}

int HXZServer::UnScheduleJob(uint32_t id, bool wait, bool delete_task) {
  if (m_Instance == nullptr) return -1;
  return m_Instance->m_pool->RemoveTask(id, wait, delete_task);
}

int HXZServer::CancelJob(uint32_t id, bool wait) {
  if (m_Instance == nullptr) return -1;
  return m_Instance->m_pool->CancelTask(id, wait);
}

bool HXZServer::ScheduleNetworkJob(HXStoredTask* task, uint32_t delay_ms) {
  if (task == nullptr) return false;
  CallbackMessage job;
  job.task = task;
  job.due = now() + delay_ms;
  if (m_Instance != nullptr && m_Instance->sendRecord(&job, sizeof job)) return true;
  if (task->IsAutoDelete()) delete task;
  return false;
}

// Answers of name lookups and endpoint holders may come on any thread; the resolve queue
// belongs to the loop's thread, so the release runs there.
void HXZServer::onEPAddrResolved(const HXZAEndpointHolder* holder) {
  if (onLoopThread()) {
    releaseResolved(holder);
    return;
  }
  // The holder is only compared, never used, on the loop's thread: it may be gone by then.
  ScheduleNetworkJob(HXCallback::Save(this, &HXZServer::releaseResolved, holder), 0);
}

void HXZServer::OnCallbackQueryA(const char* name, const char* address) {
  if (name == nullptr || address == nullptr) return;
  if (onLoopThread()) {
    releaseResolvedName(name);
    return;
  }
  ScheduleNetworkJob(HXCallback::Save(this, &HXZServer::releaseResolvedName, std::string(name)), 0);
}

void HXZServer::releaseResolved(const HXZAEndpointHolder* holder) {
  HXAutoLock lock(m_loopLock);
  for (auto it = m_resolveQueue.begin(); it != m_resolveQueue.end();) {
    const SimpleMessage& entry = it->second;
    if (!isRegistered(entry.socket, entry.serial)) {
      it = m_resolveQueue.erase(it);
    } else if (entry.handler->GetAddress().get() == holder) {
      sendRecord(&entry, sizeof entry);
      it = m_resolveQueue.erase(it);
    } else {
      ++it;
    }
  }
}

void HXZServer::releaseResolvedName(std::string name) {
  HXAutoLock lock(m_loopLock);
  for (auto it = m_resolveQueue.begin(); it != m_resolveQueue.end();) {
    const SimpleMessage& entry = it->second;
    if (!isRegistered(entry.socket, entry.serial)) {
      it = m_resolveQueue.erase(it);
      continue;
    }
    const std::shared_ptr<HXZAEndpointHolder>& endpoint = entry.handler->GetAddress();
    if (endpoint != nullptr && parseZAddrUri(endpoint->getAddrStr(), nullptr) == name) {
      sendRecord(&entry, sizeof entry);
      it = m_resolveQueue.erase(it);
    } else {
      ++it;
    }
  }
}
