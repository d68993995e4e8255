// The transport manager's timed servers-list events: the scheduler job "TrSess event" of the
// target generation runs the due servers-list updates and better-host checks.
#include <algorithm>

#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/client/transport_manager.h"
#include "core/net/loop/zserver.h"
#include "core/transport/servers_list.h"

namespace {

constexpr uint64_t kSlackMs = 25;

uint64_t NowMs() { return static_cast<uint64_t>(hx::GetTickCount()); }

uint32_t DelayUntil(uint64_t due, uint64_t now) {
  if (now + kSlackMs >= due) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(due - now, UINT32_MAX));
}

}  // namespace

// The event job is a chain of one-shot jobs: each arm schedules a run that carries the arm's
// number, and only the run of the latest arm does anything. Cancelling an arm is taking a new
// number; the scheduler deletes every run's task, so nothing is left to the manager to free.
void HX_TransportManager::armEventJob(uint32_t delayMs) {
  const uint32_t arm = ++m_eventJobArm;
  HXZServer::ScheduleJob(HXCallback::Save(this, &HX_TransportManager::eventJobRun, m_eventJobGeneration, arm),
                         delayMs, "TrSess event");
}

void HX_TransportManager::eventJobRun(uint32_t generation, uint32_t arm) {
  {
    HXAutoLock lock(m_lock);
    if (arm != m_eventJobArm) return;
  }
  eventJobHandler(generation);
}

void HX_TransportManager::eventRunJob() {
  HXAutoLock lock(m_lock);
  m_events.clear();
  const uint32_t generation = m_targetGeneration;
  if (m_eventJobActive && m_eventJobGeneration == generation) {
    ++m_eventJobArm;  // the pending run is void
    return;
  }
  m_eventJobActive = true;
  m_eventJobGeneration = generation;
  armEventJob(0);
}

void HX_TransportManager::eventAdd(uint32_t generation, TrEvent event, uint64_t due) {
  HXAutoLock lock(m_lock);
  if (generation != m_targetGeneration) return;
  const bool wasEmpty = m_events.empty();
  const uint64_t earliest = wasEmpty ? 0 : m_events.begin()->first;
  for (auto it = m_events.begin(); it != m_events.end();) {
    if (it->second != event) {
      ++it;
    } else if (it->first <= due) {
      return;  // an earlier request of the kind stands
    } else {
      it = m_events.erase(it);
    }
  }
  m_events.emplace(due, event);
  if ((wasEmpty || due < earliest) && m_eventJobActive) armEventJob(DelayUntil(due, NowMs()));
}

void HX_TransportManager::eventJobHandler(uint32_t generation) {
  std::vector<TrEvent> due;
  uint64_t seen = 0;
  {
    HXAutoLock lock(m_lock);
    if (generation != m_targetGeneration) return;
    const uint64_t now = NowMs();
    if (isConferencesExist(true)) {
      // Nothing runs during a conference; the next look comes four minutes later at the earliest.
      if (!m_events.empty()) {
        const uint64_t wait = std::max<uint64_t>(m_events.begin()->first > now ? m_events.begin()->first - now : 0,
                                                 timing().eventMinIntervalMs.load());
        armEventJob(static_cast<uint32_t>(std::min<uint64_t>(wait, UINT32_MAX)));
      }
      return;
    }
    while (!m_events.empty() && m_events.begin()->first <= now + kSlackMs) {
      due.push_back(m_events.begin()->second);
      m_events.erase(m_events.begin());
    }
    seen = m_events.empty() ? 0 : m_events.begin()->first;
  }
  for (const TrEvent event : due) {
    if (event == eEventUpdateServersList) {
      eventImplUpdateServersList(generation);
    } else {
      onLoop(0, &HX_TransportManager::eventImplCheckBetterHostNetThread, generation);
    }
  }
  HXAutoLock lock(m_lock);
  if (generation == m_targetGeneration && !m_events.empty() && m_events.begin()->first == seen) {
    armEventJob(DelayUntil(seen, NowMs()));
  }
}

void HX_TransportManager::eventImplUpdateServersList(uint32_t generation) {
  auto servers = getServersList();
  uint64_t next = HX_ServersList::kDnsPeriod;
  const uint64_t minimum = timing().eventMinIntervalMs.load();
  if (servers && servers->Update(generation, false, &next)) {
    const uint64_t now = NowMs();
    eventAdd(generation, eEventCheckBetterHost, now + timing().betterHostDelayMs.load());
    eventAdd(generation, eEventUpdateServersList, now + std::max<uint64_t>(next * 1000, minimum));
  } else {
    eventAdd(generation, eEventUpdateServersList, NowMs() + minimum);
  }
}

void HX_TransportManager::eventImplCheckBetterHostNetThread(uint32_t generation) {
  const int32_t state = getStateTrs();
  if (state != eConnected && state != eLoggedIn) return;
  auto servers = getServersList();
  if (!servers) return;
  HXServerEndpoint current;
  servers->GetHostDescription(current, GetServerAddress(), GetServerPort());
  {
    HXAutoLock lock(m_lock);
    if (generation != m_targetGeneration || generation != m_eventJobGeneration) return;
    HXServerEndpoint best;
    if (!servers->getBestHost(generation, best)) return;
    if (!best.shouldSwitchFrom(current, nowSeconds())) return;
    m_ctrl.params.setServerAddress(best.getHost(), best.getPort());
    m_ctrl.restartKeepingParams();
    if (getSid() != m_ctrl.params.getSID()) m_ctrl.params.setCID(std::string());
    servers->addRedirect(generation, best.getHost(), best.getPort());
  }
  reconnectServer();
}
