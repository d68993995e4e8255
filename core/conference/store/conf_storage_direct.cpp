// The conference store's handling of direct connections between clients: the outcome of the
// TCP streams supervisor's pings, the peers' probes reaching the TCP listener, and the time
// limit of a call's direct tests.
#include "core/base/stored_task.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/loop/zserver.h"
#include "core/transport/ping_record.h"
#include "core/transport/zero_handshake_ping.h"

namespace {

// Only a verified private call that is still being set up takes a direct connection.
bool TakesDirectConnection(const HX_Conference* conference) {
  return conference != nullptr && conference->getType() == 0 && conference->isVerified() &&
         conference->getState() == conference::kStateRequested;
}

}  // namespace

void HX_ConfStorage::onDirectConnectPingDone(const HXZeroHandshakeSimple* ping) {
  if (ping == nullptr) return;
  ConferenceLock lock;
  if (!getConferenceLock(lock, ping->GetConference())) return;
  lock->directConnectTcpSave(lock, ping->GetTo(), ping->GetResult() == hx::ping::kResultSuccess,
                             ping->GetTrialId(), ping->GetLocalAddr(), ping->GetRemoteAddr());
}

// The probe's peer is GetTo(): the accepting side swaps the request's names into its own view.
void HX_ConfStorage::onWantAcceptDirectRequest(const HXZeroHandshakeSimple* probe, bool& accept) {
  accept = false;
  if (probe == nullptr || GetForceDisableDirectConnection()) return;
  HXAutoLock guard(m_wlock);
  if (probe->GetContentVersion() <= 0) {
    // An old probe names no conference: any call waiting for a direct connection takes it.
    for (const auto& [id, conference] : m_table) {
      if (TakesDirectConnection(conference.get())) {
        accept = true;
        return;
      }
    }
    return;
  }
  HX_Conference* conference = getConferenceNL(probe->GetConference());
  accept = TakesDirectConnection(conference) && conference->getPeer(probe->GetTo()) != nullptr;
}

void HX_ConfStorage::onDirectAcceptAvailable(const HXZeroHandshakeSimple* probe) {
  if (probe == nullptr) return;
  const int32_t version = probe->GetContentVersion();
  HXAutoLock guard(m_wlock);
  HX_Conference* conference = nullptr;
  if (version == 1) {
    conference = getConferenceNL(probe->GetConference());
  } else if (version == 0) {
    conference = m_active;
  }
  if (!TakesDirectConnection(conference)) return;
  conference->directAccept(probe->GetLocalAddr(), probe->GetRemoteAddr(), probe->GetTo(), version);
}

void HX_ConfStorage::scheduleDirectConnectCheck(int32_t id, uint32_t delayMs) {
  scheduleJob(HXCallback::Save(this, &HX_ConfStorage::onDirectConnectTimeout, id), delayMs,
              "DC check timer(2)");
}

void HX_ConfStorage::onDirectConnectTimeout(int32_t id) {
  ConferenceLock lock;
  if (!getConferenceLock(lock, id)) return;
  lock->directConnectTestEnd(lock, 4);
}
