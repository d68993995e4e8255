// The transport's watch over an established link: the periodic life check, the on-demand ping
// and the transport control messages they send.

#include <algorithm>

#include "core/base/tick_clock.h"
#include "core/net/loop/zserver.h"
#include "core/transport/handshake_simple.h"
#include "core/transport/transport.h"
#include "core/transport/transport_connection.h"
#include "core/transport/transport_packet_manager.h"
#include "core/wire/client_message.h"

namespace {

constexpr char kPingJobName[] = "HXZTransport ping";
constexpr uint32_t kPingCheckDelayMs = 3000;
constexpr uint32_t kLeastLifeCheckDelayMs = 1000;
// A ping counts the server silent at its first check unless it has left the client by then.
constexpr int32_t kPingSilentChecks = 6;
constexpr int32_t kSilentChecksBeforeLoss = 5;
constexpr uint32_t kControlTimeLimit = 5000;

}  // namespace

uint32_t HXZTransport::LifeCheckDelay(int64_t period) {
  return static_cast<uint32_t>(std::clamp<int64_t>(period, kLeastLifeCheckDelayMs, INT32_MAX));
}

bool HXZTransport::pingServer() {
  int counter = 0;
  {
    // The state is checked under the lock: a failure that entered state 5 meanwhile has reported
    // the connection lost already, and a ping of it would report it a second time.
    HXAutoLock lock(*this);
    if (m_state.load() != stateConnected) return false;
    counter = m_connectionCounter.fetch_add(1) + 1;
    m_silentChecks.store(kPingSilentChecks);
    m_firstSilentSequence = m_sequence.load();
    SendTransportPacket(hx::transport::managing::ping);
  }
  scheduleCheckPingJob(counter, kPingCheckDelayMs);
  return true;
}

void HXZTransport::UpdateLifeTime() { m_silentChecks.store(0); }

// The server counts as silent when, over several checks in a row, nothing arrived while the
// client sent messages that have not left it. Silence without outgoing data is only answered
// with a ping once the idle time-out has passed since the last queued message.
void HXZTransport::onCheckLifeTime(int counter) {
  uint32_t delay = 0;
  {
    HXAutoLock lock(*this);
    if (counter != m_connectionCounter.load()) return;
    HXZTransportConnection* connection = m_connection.load();
    const uint32_t sequence = m_sequence.load();
    const int32_t silent = m_silentChecks.load();
    const bool pending = !m_packetManager->QueueEmpty() ||
                         (connection != nullptr && connection->getSendQueueSize() != 0);
    const int64_t idle = m_handshakeSimple->GetIdleTimeout();
    if (silent == 0) {
      m_firstSilentSequence = sequence;
      m_silentChecks.store(1);
    } else if (sequence != m_firstSilentSequence && pending) {
      if (m_silentChecks.fetch_add(1) >= kSilentChecksBeforeLoss) {
        _disconnectServer();
        HXZServer::ScheduleNetworkJob(HXGuardedCall(m_guard, &HXZTransport::notifyServerUnavailableSockThread,
                                                    static_cast<long>(2 * idle), m_connectionCounter.load()),
                                      0);
        return;
      }
    }
    delay = LifeCheckDelay(silent > 1 ? idle / 4 : idle / 2);
    if (!pending && !m_handshakeSimple->GetKeepAlive() && hx::GetTickCount() >= m_lastQueuedTime + idle) {
      SendTransportPacket(hx::transport::managing::ping);
    }
  }
  reScheduleCheckPingJob(delay);
}

void HXZTransport::notifyServerUnavailableSockThread(long reason, int counter) {
  if (counter != m_connectionCounter.load()) return;
  emitServerUnavailable(reason);
}

void HXZTransport::scheduleCheckPingJob(int counter, uint64_t delayMs) {
  HXStoredTask* task = HXGuardedCall(m_guard, &HXZTransport::onCheckLifeTime, counter);
  task->SetAutoDelete(false);  // the job is re-armed after each run
  const uint32_t delay = static_cast<uint32_t>(std::min<uint64_t>(delayMs, UINT32_MAX));
  resetCheckPingJob(HXZServer::ScheduleJob(task, delay, kPingJobName));
}

void HXZTransport::resetCheckPingJob(uint32_t jobId) {
  uint32_t old = 0;
  {
    HXAutoLock lock(*this);
    old = std::exchange(m_pingJobId, jobId);
  }
  if (old != 0) HXZServer::UnScheduleJob(old, false, true);
}

void HXZTransport::reScheduleCheckPingJob(uint64_t delayMs) {
  uint32_t id = 0;
  {
    HXAutoLock lock(*this);
    id = m_pingJobId;
  }
  const uint32_t delay = static_cast<uint32_t>(std::min<uint64_t>(delayMs, UINT32_MAX));
  if (id != 0) HXZServer::ReScheduleJob(id, delay, false, true);
}

void HXZTransport::SendTransportPacket(hx::transport::managing code) {
  const char text[2] = {static_cast<char>(code), '\0'};
  const uint8_t body = 0;
  QueuePacketFirst(new HX_ClientMessage(nullptr, text, nullptr, kControlTimeLimit, &body, 1,
                                        GetNextSequence(), nullptr, nullptr, nullptr, nullptr,
                                        nullptr));
}
