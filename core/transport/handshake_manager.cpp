#include "core/transport/handshake_manager.h"

#include <algorithm>

#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/net/loop/zserver.h"

namespace {

// Slack of the time checks: a job that runs a little early still counts as due.
constexpr int64_t kSlackMs = 25;

}  // namespace

HX_NetStreamHMHolder::~HX_NetStreamHMHolder() {
  if (HXHandshakeManagerBase* manager = m_watchingHM.load()) manager->beforeStreamDestroyed(this);
}

HXHandshakeManagerBase::ListenerCallback::~ListenerCallback() = default;

HXHandshakeManagerBase::HXHandshakeManagerBase(uint64_t trial_limit, uint32_t step_interval_ms,
                                               uint32_t trial_lifetime_ms)
    : m_stepInterval(step_interval_ms),
      m_trialLimit(trial_limit),
      m_trialLifetime(trial_lifetime_ms) {}

HXHandshakeManagerBase::~HXHandshakeManagerBase() {
  shutdownJobs();
  // Streams still watched must not call back into a manager that is gone.
  HXAutoLock lock(m_lock);
  for (HX_NetStreamHMHolder* stream : m_watched) stream->setWatchingHM(nullptr);
  for (const TrialConnection& running : m_trials) {
    running.trial->setWatchingHM(nullptr);
    running.trial->setListener(nullptr);
  }
}

void HXHandshakeManagerBase::shutdownJobs() {
  const int32_t state = m_state.load();
  if (state == stateStarted || state == stateRunning) realStop(true);
  std::vector<uint32_t> retired;
  {
    HXAutoLock lock(m_lock);
    retired.swap(m_retiredJobs);
  }
  for (uint32_t id : retired) HXZServer::UnScheduleJob(id, true, true);
}

bool HXHandshakeManagerBase::isOnDuty() const {
  const int32_t state = m_state.load();
  return state == stateStarted || state == stateRunning;
}

size_t HXHandshakeManagerBase::getConnectionCount() {
  HXAutoLock lock(m_lock);
  return m_state.load() == stateRunning ? m_trials.size() : 0;
}

void HXHandshakeManagerBase::arm(uint32_t id, uint64_t delay_ms, bool cancel_pending) {
  if (id != 0) {
    HXZServer::ReScheduleJob(id, static_cast<uint32_t>(std::min<uint64_t>(delay_ms, UINT32_MAX)),
                             cancel_pending, false);
  }
}

bool HXHandshakeManagerBase::start(uint32_t time_limit_ms, uint32_t first_delay_ms) {
  {
    HXAutoLock lock(m_lock);
    if (m_state.load() != stateIdle) return false;
    m_timeLimit = time_limit_ms;
    auto registered = [](HXStoredTask* task, const char* name) {
      task->SetAutoDelete(false);
      return HXZServer::ScheduleUrgentJob(task, name);
    };
    m_addJob =
        registered(HXCallback::Save(this, &HXHandshakeManagerBase::onAddStream), "Hsmgr add");
    m_removeJob =
        registered(HXCallback::Save(this, &HXHandshakeManagerBase::onRemoveStream), "Hsmgr remove");
    m_timeoutJob =
        registered(HXCallback::Save(this, &HXHandshakeManagerBase::onTimeout), "Hsmgr timeover");
    m_state.store(stateStarted);
  }
  return kick(first_delay_ms);
}

bool HXHandshakeManagerBase::kick(uint32_t delay_ms) {
  int32_t state = m_state.load();
  bool started = false;
  if (state == stateStarted) {
    started = m_state.compare_exchange_strong(state, stateRunning);
    if (!started && state != stateRunning) return false;
  } else if (state != stateRunning) {
    return false;
  }
  // The job ids are read under the lock: a stop on another thread clears them.
  uint32_t addJob = 0;
  uint32_t timeoutJob = 0;
  uint32_t timeLimit = 0;
  {
    HXAutoLock lock(m_lock);
    m_nextAddTime = 0;
    addJob = m_addJob;
    timeoutJob = m_timeoutJob;
    timeLimit = m_timeLimit;
  }
  if (started && timeLimit != 0) arm(timeoutJob, timeLimit, true);
  if (delay_ms != 0) {
    arm(addJob, delay_ms, false);
    return true;
  }
  return addStreams(true) != -1;
}

bool HXHandshakeManagerBase::pause() {
  std::vector<HX_NetTrialConnection*> released;
  uint32_t jobs[3];
  {
    HXAutoLock lock(m_lock);
    int32_t expected = stateRunning;
    if (!m_state.compare_exchange_strong(expected, stateStarted)) return false;
    while (!m_trials.empty()) retireNL(m_trials.front().trial, released);
    jobs[0] = m_addJob;
    jobs[1] = m_removeJob;
    jobs[2] = m_timeoutJob;
  }
  recycle(released);
  for (uint32_t id : jobs) {
    if (id != 0) HXZServer::CancelJob(id, false);
  }
  return true;
}

bool HXHandshakeManagerBase::stop() {
  const int32_t state = m_state.load();
  if (state == stateStarted || state == stateRunning) realStop(true);
  return m_state.load() == stateIdle;
}

void HXHandshakeManagerBase::watchForDone(HX_NetStreamHMHolder* stream) {
  if (stream == nullptr) return;
  HXAutoLock lock(m_lock);
  stream->setWatchingHM(this);
  m_watched.insert(stream);
}

void HXHandshakeManagerBase::beforeStreamDestroyed(HX_NetStreamHMHolder* stream) {
  bool all_gone = false;
  {
    HXAutoLock lock(m_lock);
    if (m_watched.erase(stream) == 0) {
      m_trials.remove_if([stream](const TrialConnection& running) {
        return static_cast<HX_NetStreamHMHolder*>(running.trial) == stream;
      });
    }
    if (m_state.load() == stateStopped && m_watched.empty() && m_trials.empty()) {
      m_state.store(stateIdle);
      all_gone = true;
    }
  }
  if (all_gone) {
    if (ListenerCallback* listener = m_listener.load()) listener->onHandshakeManagerDone();
  }
}

void HXHandshakeManagerBase::onHandshakeFinished(HX_NetConnectionBase*,
                                                 hx::NetHandshakeConnectResult, bool) {}

void HXHandshakeManagerBase::onHandshakeFinishedInt(HX_NetConnectionBase* connection,
                                                    hx::NetHandshakeConnectResult result,
                                                    bool usable_now) {
  onHandshakeFinished(connection, result, usable_now);
  if (ListenerCallback* listener = m_listener.load()) {
    listener->onHMTrialConnectDone(connection, result, usable_now);
  }
}

void HXHandshakeManagerBase::retireNL(HX_NetTrialConnection* trial,
                                      std::vector<HX_NetTrialConnection*>& released) {
  m_trials.remove_if([trial](const TrialConnection& running) { return running.trial == trial; });
  trial->setListener(nullptr);
  trial->setWatchingHM(this);
  m_watched.insert(trial);
  released.push_back(trial);
}

void HXHandshakeManagerBase::recycle(const std::vector<HX_NetTrialConnection*>& released) {
  // Outside the lock: a trial may end (and be destroyed) inside connRecycle, which calls back.
  for (HX_NetTrialConnection* trial : released) trial->connRecycle();
}

bool HXHandshakeManagerBase::runStream(HX_NetTrialConnection* trial, int64_t start) {
  trial->setWatchingHM(this);
  trial->setListener(this);
  if (!trial->start()) {
    trial->setWatchingHM(nullptr);
    trial->setListener(nullptr);
    trial->connRecycle();
    return false;
  }
  m_trials.push_back(TrialConnection{trial, start});
  return true;
}

int HXHandshakeManagerBase::addStreams(bool replace_oldest) {
  const uint64_t step = m_stepInterval != 0 ? m_stepInterval : kRecheckPeriod;
  CreateStreamResult result;
  int64_t n = 0;
  bool started_on_empty = false;
  bool first_pass = true;
  for (;;) {
    std::vector<HX_NetTrialConnection*> released;
    bool may_add = false;
    {
      HXAutoLock lock(m_lock);
      if (m_state.load() != stateRunning) return 0;
      const int64_t now = hx::GetTickCount();
      if (first_pass) {
        first_pass = false;
        if (m_nextAddTime > now + kSlackMs) return 0;
        m_nextAddTime = now + static_cast<int64_t>(step);
      }
      n = static_cast<int64_t>(m_trials.size());
      may_add = static_cast<uint64_t>(n) < m_trialLimit;
      // Only a trial that ran before this call is replaced: one just started here stays.
      if (replace_oldest && !may_add && n > 0) {
        retireNL(m_trials.front().trial, released);
        --n;
        may_add = true;
      }
      replace_oldest = false;
      if (n > 0 && may_add && m_stepInterval != 0) {
        may_add = m_trials.back().start + static_cast<int64_t>(m_stepInterval) <= now + kSlackMs;
      }
    }
    recycle(released);
    if (!may_add) break;
    result = CreateStreamResult{};
    if (createStream(result) < 0) break;
    if (result.kind == kUsableNow) {
      onHandshakeFinishedInt(result.trial, hx::NetHandshakeConnected, true);
      continue;
    }
    if (result.kind != kNewTrial || result.trial == nullptr) break;
    bool again = false;
    {
      HXAutoLock lock(m_lock);
      if (m_state.load() != stateRunning) {
        result.trial->connRecycle();
        return 0;
      }
      const bool was_empty = m_trials.empty();
      if (!runStream(result.trial, hx::GetTickCount())) break;
      ++n;
      started_on_empty = started_on_empty || was_empty;
      again = m_stepInterval == 0;
    }
    if (!again) break;
  }
  if (n > 0) {
    HXAutoLock lock(m_lock);
    if (m_state.load() == stateRunning) {
      if (started_on_empty) arm(m_removeJob, m_trialLifetime, true);
      arm(m_addJob, step, true);
    }
    return static_cast<int>(n);
  }
  if (result.kind == kAskLater) {
    arm(m_addJob, std::max<uint64_t>(result.delay, step), true);
    return 0;
  }
  return -1;
}

void HXHandshakeManagerBase::onAddStream() {
  if (addStreams(false) == -1 && m_state.load() == stateRunning) {
    onConnectionFail(hx::NetHandshakeNoConnection);
  }
}

void HXHandshakeManagerBase::onRemoveStream() {
  std::vector<HX_NetTrialConnection*> released;
  {
    HXAutoLock lock(m_lock);
    const int64_t now = hx::GetTickCount();
    while (!m_trials.empty() &&
           m_trials.front().start + static_cast<int64_t>(m_trialLifetime) <= now + kSlackMs) {
      retireNL(m_trials.front().trial, released);
    }
    const int32_t state = m_state.load();
    if (!m_trials.empty() && (state == stateStarted || state == stateRunning)) {
      const int64_t due = m_trials.front().start + m_trialLifetime - now;
      arm(m_removeJob, static_cast<uint64_t>(std::max<int64_t>(due, 0)), true);
    }
  }
  recycle(released);
}

void HXHandshakeManagerBase::onTimeout() {
  if (m_state.load() == stateRunning) onConnectionFail(hx::NetHandshakeTimeout);
}

void HXHandshakeManagerBase::onConnectionFail(hx::NetHandshakeConnectResult result) {
  {
    HXAutoLock lock(m_lock);
    if (m_state.load() != stateIdle) m_state.store(stateStopped);
  }
  realStop(false);
  onHandshakeFinishedInt(nullptr, result, false);
}

void HXHandshakeManagerBase::realStop(bool wait) {
  uint32_t jobs[3];
  {
    HXAutoLock lock(m_lock);
    jobs[0] = m_addJob;
    jobs[1] = m_removeJob;
    jobs[2] = m_timeoutJob;
  }
  for (uint32_t id : jobs) {
    if (id != 0) HXZServer::UnScheduleJob(id, wait, true);
  }
  std::vector<HX_NetTrialConnection*> released;
  {
    HXAutoLock lock(m_lock);
    if (!wait) {
      for (uint32_t id : jobs) {
        if (id != 0) m_retiredJobs.push_back(id);
      }
    }
    m_addJob = m_removeJob = m_timeoutJob = 0;
    while (!m_trials.empty()) retireNL(m_trials.front().trial, released);
    m_state.store(m_watched.empty() ? stateIdle : stateStopped);
  }
  recycle(released);
}

void HXHandshakeManagerBase::onTrialConnectDone(HX_NetTrialConnection* trial, bool success) {
  {
    HXAutoLock lock(m_lock);
    const auto found = std::find_if(m_trials.begin(), m_trials.end(),
                                    [trial](const TrialConnection& t) { return t.trial == trial; });
    if (found == m_trials.end()) return;
    m_trials.erase(found);
    trial->setWatchingHM(nullptr);
    trial->setListener(nullptr);
  }
  if (success && m_state.load() == stateRunning) {
    onHandshakeFinishedInt(trial, hx::NetHandshakeConnected, false);
  }
  trial->connRecycle();
}

HXHandshakeManager::ConnectionSupplier::~ConnectionSupplier() = default;

void HXHandshakeManager::ConnectionSupplier::onHandshakeFinished(HX_NetConnectionBase*,
                                                                 hx::NetHandshakeConnectResult,
                                                                 bool) {}

HXHandshakeManager::~HXHandshakeManager() { shutdownJobs(); }

int HXHandshakeManager::createStream(CreateStreamResult& result) {
  ConnectionSupplier* supplier = m_supplier.load();
  return supplier != nullptr ? supplier->createStream(result) : -1;
}

void HXHandshakeManager::onHandshakeFinished(HX_NetConnectionBase* connection,
                                             hx::NetHandshakeConnectResult result,
                                             bool usable_now) {
  if (ConnectionSupplier* supplier = m_supplier.load()) {
    supplier->onHandshakeFinished(connection, result, usable_now);
  }
}
